// A build without an MQTT client: the Windows agent, until one is added
// behind FleetService. Its health and --help say that it publishes nothing;
// a chain collects its events from the Windows Event Log instead.
#include "fleet/fleet_service.h"

namespace cashdrawer::agent {

bool FleetPublishingBuilt() { return false; }

std::unique_ptr<FleetService> StartFleetService(const AgentSettings&, Agent&, const std::string&,
                                                std::function<void(const std::string&)>, std::string& error,
                                                const Statistics*) {
    error = "this build of the agent has no MQTT client: its events go to the system's event log only";
    return nullptr;
}

} // namespace cashdrawer::agent
