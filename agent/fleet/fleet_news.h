// What a fleet client's network side tells its pump, and how the pump
// hands it on to the publisher and the agent's log: the same for every
// client (libmosquitto's on Linux, our own on Windows).
#pragma once

#include "fleet/fleet_publisher.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cashdrawer::agent {

struct FleetNews {
    enum class Kind { Connected, Refused, Dropped, Acked } kind;
    int messageId = 0;
    std::string cause;
    int64_t retryInMs = 0; // a failure's: the wait before the next attempt
};

class FleetNewsDesk {
public:
    FleetNewsDesk(std::string brokerUrl, std::function<void(const std::string&)> log)
        : brokerUrl_(std::move(brokerUrl)), log_(std::move(log)) {}

    // Each piece of news to the publisher, in order; a connection and each
    // new cause of failure to the log (a failure told again in the same
    // words is not logged again until a session was had).
    void Apply(FleetPublisher& publisher, const std::vector<FleetNews>& news, int64_t unixNowMs);

private:
    std::string brokerUrl_;
    std::function<void(const std::string&)> log_;
    std::string lastLoggedCause_;
};

// Whether the news holds the acknowledgement of `messageId`.
bool AckedAmong(const std::vector<FleetNews>& news, int messageId);

} // namespace cashdrawer::agent
