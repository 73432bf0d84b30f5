#include "bridge/bridge_service.h"

#include "bridge/bridge.h"
#include "watch/drawer_board.h"
#include "watch/event_hub.h"
#include "bridge/http_server.h"
#include "journal/journal.h"
#include "journal/journal_alarms.h"
#include "bridge/pairing.h"
#include "journal/journal_cursor.h"
#include "watch/statistics_keeper.h"

namespace cashdrawer::agent {
namespace {

class CursorReader final : public JournalReader {
public:
    explicit CursorReader(const std::string& folder) : folder_(folder), cursor_(folder) {}
    std::size_t Read(uint64_t afterSeq, std::size_t max, const std::function<void(const JournalledEvent&)>& each) override {
        if (cursor_.Position() != afterSeq || !cursor_.Problem().empty()) {
            cursor_.SeekAfter(afterSeq);
        }
        return cursor_.Read(max, each);
    }
    uint64_t NewestSeq() override { return NewestJournalSeq(folder_); }
    std::string Problem() override { return cursor_.Problem(); }

private:
    std::string folder_;
    JournalCursor cursor_;
};


class AgentBackend final : public BridgeBackend {
public:
    AgentBackend(const AgentSettings& settings, Agent& agent, AgentMutex& agentLock, const StatisticsKeeper& statistics,
                 std::string libraryVersion, std::function<Json()> fleetStatus)
        : journalFolder_(settings.journalFolder), agent_(agent), agentLock_(agentLock), statistics_(statistics),
          board_(settings.drawers),
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
    KickAnswer Kick(const std::string& drawer, const std::string& by, bool confirm, int timeoutMs,
                    const KickNote& note) override {
        std::lock_guard lock(agentLock_);
        return agent_.Kick(drawer, by, confirm, timeoutMs, note);
    }
    // Kept as events come: a read of the journal never holds this answer.
    Json Statistics() override { return statistics_.Figures().ToJson(); }
    std::string LibraryVersion() override { return libraryVersion_; }
    Json Fleet() override { return fleetStatus_ ? fleetStatus_() : BridgeBackend::Fleet(); }
    Json JournalAlarms() override { return OpenJournalAlarms(journalFolder_); }

private:
    std::string journalFolder_;
    Agent& agent_;
    AgentMutex& agentLock_;
    const StatisticsKeeper& statistics_;
    AgentMutex boardLock_;
    DrawerBoard board_;
    std::string libraryVersion_;
    std::function<Json()> fleetStatus_;
};

class RunningBridge final : public BridgeService {
public:
    RunningBridge(const AgentSettings& settings, Agent& agent, AgentMutex& agentLock, const StatisticsKeeper& statistics,
                  const std::string& libraryVersion, std::function<void(const std::string&)> log,
                  std::function<Json()> fleetStatus)
        : backend_(settings, agent, agentLock, statistics, libraryVersion, std::move(fleetStatus)), store_(MakeFolderPairingStore(settings.journalFolder)),
          desk_(*store_), clock_(),
          bridge_(BridgeSettings{static_cast<uint16_t>(settings.bridgePort), settings.kickGuardMs}, backend_, desk_,
                  [this] { return clock_.SteadyMicros(); }, [this] { return clock_.UnixMillis(); }),
          server_(HttpServerOptions{static_cast<uint16_t>(settings.bridgePort)}, bridge_, hub_,
                  [folder = settings.journalFolder] { return MakeCursorReader(folder); },
                  std::move(log)) {
        // The agent journals nothing before it starts, after the bridge:
        // the journal's end now is where a new stream starts until then.
        hub_.StartAt(NewestJournalSeq(settings.journalFolder));
    }

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

std::unique_ptr<JournalReader> MakeCursorReader(const std::string& journalFolder) {
    return std::make_unique<CursorReader>(journalFolder);
}

std::unique_ptr<BridgeService> StartBridgeService(const AgentSettings& settings, Agent& agent, AgentMutex& agentLock,
                                                  const StatisticsKeeper& statistics, const std::string& libraryVersion,
                                                  std::function<void(const std::string&)> log, std::string& error,
                                                  std::function<Json()> fleetStatus) {
    auto bridge = std::make_unique<RunningBridge>(settings, agent, agentLock, statistics, libraryVersion, std::move(log),
                                                  std::move(fleetStatus));
    if (!bridge->Start(error)) {
        return nullptr;
    }
    bridge->Attach(agent);
    return bridge;
}

} // namespace cashdrawer::agent
