// The fleet publisher as the serve command runs it: an MQTT client on a
// thread of its own, woken by each journalled event, reconnecting on its
// own after any failure for as long as the agent runs.
#pragma once

#include "watch/agent.h"
#include "core/event.h"
#include "core/settings.h"
#include "watch/statistics.h"

#include <functional>
#include <memory>
#include <string>

namespace cashdrawer::agent {

class FleetService {
public:
    virtual ~FleetService() = default;
    // What /v1/health and the log tell of it: "state", and "cause" when
    // it is not connected.
    virtual Json Status() const = 0;
    virtual void SetJournalHealth(bool ok, const std::string& failure) = 0;
    // Says offline on the broker (no Will for a clean stop), saves the
    // acknowledged seq and ends the client.
    virtual void Stop() = 0;
};

// Call before agent.Start(). Nothing, with `error`, when the client cannot
// be set up (a broker that cannot be reached is no error: it is retried).
// `countedSoFar`: the agent's statistics as loaded at its start.
std::unique_ptr<FleetService> StartFleetService(const AgentSettings& settings, Agent& agent,
                                                const std::string& libraryVersion,
                                                std::function<void(const std::string&)> log, std::string& error,
                                                const Statistics* countedSoFar = nullptr);

} // namespace cashdrawer::agent
