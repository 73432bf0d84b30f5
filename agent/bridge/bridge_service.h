// The bridge as the serve command runs it: the agent's events fed to the
// drawer board and the event streams, kicks handed to the agent under its
// lock, pairings beside the journal, and the HTTP server on the loopback
// addresses.
#pragma once

#include "watch/agent.h"
#include "core/agent_mutex.h"
#include "core/settings.h"
#include "bridge/http_server.h"
#include "watch/statistics_keeper.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace cashdrawer::agent {

class BridgeService {
public:
    virtual ~BridgeService() = default;
    virtual uint16_t Port() const = 0;
};

// An event stream's reader of the journal: a cursor of its own, sought
// again only when the stream asks for another place than where it stopped.
std::unique_ptr<JournalReader> MakeCursorReader(const std::string& journalFolder);

// Call before agent.Start(), so that the board sees the first states.
// Nothing, with `error`, when the port cannot be bound.
// The statistics are the keeper's, which the agent feeds.
std::unique_ptr<BridgeService> StartBridgeService(const AgentSettings& settings, Agent& agent, AgentMutex& agentLock,
                                                  const StatisticsKeeper& statistics, const std::string& libraryVersion,
                                                  std::function<void(const std::string&)> log, std::string& error,
                                                  std::function<Json()> fleetStatus = nullptr);

} // namespace cashdrawer::agent
