// The agent's core: it reads each watched drawer, turns what it sees and
// what it is asked to do into numbered events, and has each one journalled
// before it tells anybody. One thread drives it (the serve loop); the
// bridge and the publisher to come read the journal, not this object.
#pragma once

#include "core/agent_clock.h"
#include "watch/drawer_access.h"
#include "core/event.h"
#include "journal/journal.h"
#include "core/settings.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace cashdrawer::agent {

// What a kick came to.
struct KickAnswer {
    int result = 0;       // the library's answer
    std::string outcome;  // "opened", "not-opened", "kicked", "unknown-drawer", "unreachable", "bad-argument"
    std::string reason;   // the library's words when it failed
    uint64_t seq = 0;     // the kick's journal line; 0 when the journal failed
};

// Who asked for a kick and why, as the till's page tells it: loss
// prevention reads these beside each kick in the journal. Empty when not told.
struct KickNote {
    std::string cashier;
    std::string reason;
};

struct AgentHealth {
    bool journalOk = true;
    std::string journalFailure;
    std::size_t eventsWaiting = 0; // events not yet journalled
    uint64_t eventsLost = 0;       // dropped while the journal failed, since the start
};

class Agent {
public:
    // Events waiting for a failing journal, at most; past it the oldest go,
    // and their number is journalled once the journal takes lines again.
    static constexpr std::size_t kMaxWaiting = 1024;
    // A calendar clock that moves this far against the steady clock between
    // two polls (set by hand, a bad time server, a dead battery) is an event:
    // the journal's times jump there, and a reader must know why.
    static constexpr int64_t kClockJumpMs = 60'000;

    Agent(const AgentSettings& settings, DrawerAccess& drawers, Journal& journal, AgentClock& clock);

    // Told of each event once it is in the journal.
    void OnEvent(std::function<void(const JournalledEvent&)> listener) { listeners_.push_back(std::move(listener)); }
    // Told when the journal starts failing and when it takes lines again.
    void OnHealthChange(std::function<void(const AgentHealth&)> listener) { healthListener_ = std::move(listener); }

    void Start();
    // One status read of every drawer; a change is an event.
    void Poll();
    KickAnswer Kick(const std::string& drawerId, const std::string& by, bool confirm, int timeoutMs,
                    const KickNote& note = {});
    void Stop(const std::string& reason);

    AgentHealth Health() const { return health_; }
    bool Watches(const std::string& drawerId) const;

private:
    struct DrawerWatch {
        WatchedDrawer settings;
        enum class Seen { Nothing, Unreachable, State } seen = Seen::Nothing;
        int raw = -1;
        int64_t sinceMicros = 0; // when the present state (or unreachability) began
        bool alarmed = false;    // left-open already raised for this opening (set anew at each state
                                 // change, the first included: this first value is never read)
    };

    void Read(DrawerWatch& watch, int64_t now);
    void WatchTheCalendar();
    bool IsOpen(const DrawerWatch& watch) const { return watch.settings.openWhen && watch.raw == *watch.settings.openWhen; }
    // Queues the event with the present time and journals what it can.
    void Emit(Event event);
    void Flush();
    void SetJournalHealth(bool ok);
    // The event, journalled now; its seq or 0.
    uint64_t EmitNow(Event event);

    AgentSettings settings_;
    DrawerAccess& drawers_;
    Journal& journal_;
    AgentClock& clock_;
    std::vector<DrawerWatch> watches_;
    std::vector<std::function<void(const JournalledEvent&)>> listeners_;
    std::function<void(const AgentHealth&)> healthListener_;
    struct Waiting {
        Event event;
        int64_t unixMillis;
    };
    std::deque<Waiting> waiting_;
    uint64_t lostUnreported_ = 0;
    std::optional<int64_t> calendarOffsetMs_; // calendar minus steady time, at the last poll
    AgentHealth health_;
};

} // namespace cashdrawer::agent
