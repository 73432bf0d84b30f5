// `fleet watch` on our own MQTT client, over any byte stream to the broker
// (the Windows agent's WebSocket): CONNECT, SUBSCRIBE to cashdrawer/v1/#
// at QoS 1, every publication into the FleetView, the table or JSON
// printed as the options say; a lost connection is dialled again a second
// later, as the Linux watch does.
#pragma once

#include "fleet/fleet_view.h"
#include "fleet/stream_fleet.h"

#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace cashdrawer::agent {

struct WatchLogin {
    std::string username;
    std::string password; // empty: none
};

// 0 once the broker took the watch, 1 when it never did. `interrupted` is
// asked every tenth of a second.
int WatchFleetOver(BrokerDialer& dialer, const FleetWatchOptions& options, const std::optional<WatchLogin>& login,
                   std::ostream& out, std::ostream& err, const std::function<bool()>& interrupted,
                   int keepAliveSeconds = 30);

} // namespace cashdrawer::agent
