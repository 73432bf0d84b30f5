// A build without an MQTT client (the Windows agent, for now): the fleet is
// watched from a Linux machine, or with any MQTT client (topics in the README).
#include "fleet/fleet_view.h"

#include <ostream>

namespace cashdrawer::agent {

int WatchFleet(const FleetWatchOptions&, std::ostream&, std::ostream& err) {
    err << "cashdrawer-agent: fleet watch: this build of the agent has no MQTT client; watch from a Linux machine's "
           "agent, or subscribe to cashdrawer/v1/# with any MQTT client\n";
    return 1;
}

} // namespace cashdrawer::agent
