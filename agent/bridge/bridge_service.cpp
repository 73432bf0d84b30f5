#include "bridge/bridge_service.h"

#include "bridge/bridge.h"
#include "watch/drawer_board.h"
#include "watch/event_hub.h"
#include "bridge/http_server.h"
#include "journal/journal.h"
#include "journal/journal_alarms.h"
#include "bridge/pairing.h"
#include "watch/statistics.h"

namespace cashdrawer::agent {
namespace {

class AgentBackend final : public BridgeBackend {
public:
    AgentBackend(const AgentSettings& settings, Agent& agent, AgentMutex& agentLock, std::string libraryVersion,
                 std::function<Json()> fleetStatus)
        : journalFolder_(settings.journalFolder), agent_(agent), agentLock_(agentLock), board_(settings.drawers),
          libraryVersion_(std::move(libraryVersion)), fleetStatus_(std::move(fleetStatus)) {}

    // From the agent's thread, under its lock, once the journal has the event.
    void Take(const JournalledEvent& event) {
        std::lock_guard lock(boardLock_);
        board_.Add(event);
    }

    std::vector<DrawerView> Drawers() override {
        std::lock_guard lock(boardLock_);
        return board_.All();
    }
    KickAnswer Kick(const std::string& drawer, const std::string& by, bool confirm, int timeoutMs) override {
        std::lock_guard lock(agentLock_);
        return agent_.Kick(drawer, by, confirm, timeoutMs);
    }
    Json Statistics() override {
        cashdrawer::agent::Statistics statistics;
        ReadJournal(journalFolder_, [&](const JournalledEvent& event) { statistics.Add(event); });
        return statistics.ToJson();
    }
    std::string LibraryVersion() override { return libraryVersion_; }
    Json Fleet() override { return fleetStatus_ ? fleetStatus_() : BridgeBackend::Fleet(); }
    Json JournalAlarms() override { return OpenJournalAlarms(journalFolder_); }

private:
    std::string journalFolder_;
    Agent& agent_;
    AgentMutex& agentLock_;
    AgentMutex boardLock_;
    DrawerBoard board_;
    std::string libraryVersion_;
    std::function<Json()> fleetStatus_;
};

class RunningBridge final : public BridgeService {
public:
    RunningBridge(const AgentSettings& settings, Agent& agent, AgentMutex& agentLock, const std::string& libraryVersion,
                  std::function<void(const std::string&)> log, std::function<Json()> fleetStatus)
        : backend_(settings, agent, agentLock, libraryVersion, std::move(fleetStatus)), store_(MakeFolderPairingStore(settings.journalFolder)),
          desk_(*store_), clock_(),
          bridge_(BridgeSettings{static_cast<uint16_t>(settings.bridgePort), settings.kickGuardMs}, backend_, desk_,
                  [this] { return clock_.SteadyMicros(); }, [this] { return clock_.UnixMillis(); }),
          server_(HttpServerOptions{static_cast<uint16_t>(settings.bridgePort)}, bridge_, hub_,
                  [folder = settings.journalFolder](uint64_t after, const std::function<void(const JournalledEvent&)>& each) {
                      return ReplayJournal(folder, after, each);
                  },
                  std::move(log)) {}

    bool Start(std::string& error) {
        if (!server_.Start(error)) {
            return false;
        }
        bridge_.SetPort(server_.Port());
        return true;
    }
    // Only once serving: the agent's listener outlives no bridge.
    void Attach(Agent& agent) {
        agent.OnEvent([this](const JournalledEvent& event) {
            backend_.Take(event);
            hub_.Publish(event);
        });
    }
    uint16_t Port() const override { return server_.Port(); }

private:
    AgentBackend backend_;
    std::unique_ptr<PairingStore> store_;
    PairingDesk desk_;
    SystemAgentClock clock_;
    EventHub hub_;
    Bridge bridge_;
    HttpServer server_;
};

} // namespace

std::unique_ptr<BridgeService> StartBridgeService(const AgentSettings& settings, Agent& agent, AgentMutex& agentLock,
                                                  const std::string& libraryVersion,
                                                  std::function<void(const std::string&)> log, std::string& error,
                                                  std::function<Json()> fleetStatus) {
    auto bridge = std::make_unique<RunningBridge>(settings, agent, agentLock, libraryVersion, std::move(log),
                                                  std::move(fleetStatus));
    if (!bridge->Start(error)) {
        return nullptr;
    }
    bridge->Attach(agent);
    return bridge;
}

} // namespace cashdrawer::agent
