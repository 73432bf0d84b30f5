#include "watch/agent.h"

#include "journal/journal_line.h"

#include <algorithm>

namespace cashdrawer::agent {
namespace {

// The words for a kick's result; a confirmed kick's 1 is an opening seen
// by the sensor, a plain kick's 1 only that the pulse went out.
const char* KickOutcome(bool confirm, int result) {
    switch (result) {
    case 1: return confirm ? "opened" : "kicked";
    case 0: return confirm ? "not-opened" : "unexpected";
    case -1: return "unknown-drawer";
    case -2: return "unreachable";
    case -3: return "bad-argument";
    default: return "unexpected";
    }
}

} // namespace

Agent::Agent(const AgentSettings& settings, DrawerAccess& drawers, Journal& journal, AgentClock& clock)
    : settings_(settings), drawers_(drawers), journal_(journal), clock_(clock) {
    for (const WatchedDrawer& drawer : settings_.drawers) {
        watches_.push_back(DrawerWatch{drawer});
    }
}

bool Agent::Watches(const std::string& drawerId) const {
    return std::any_of(watches_.begin(), watches_.end(), [&](const DrawerWatch& w) { return w.settings.id == drawerId; });
}

void Agent::Start() {
    for (Event& found : journal_.TakeStartEvents()) {
        Emit(std::move(found));
    }
    Event started{kind::kAgentStarted};
    started.fields["version"] = drawers_.Version();
    started.fields["library"] = drawers_.Location();
    started.fields["pollMs"] = settings_.pollMs;
    started.fields["drawers"] = Json::array();
    for (const DrawerWatch& watch : watches_) {
        started.fields["drawers"].push_back(watch.settings.id);
    }
    Emit(std::move(started));
    Poll();
}

void Agent::Poll() {
    Flush(); // a journal that failed may take lines again
    WatchTheCalendar();
    const int64_t now = clock_.SteadyMicros();
    for (DrawerWatch& watch : watches_) {
        Read(watch, now);
    }
}

void Agent::WatchTheCalendar() {
    const int64_t calendarMs = clock_.UnixMillis();
    const int64_t offsetMs = calendarMs - clock_.SteadyMicros() / 1000;
    if (calendarOffsetMs_) {
        const int64_t jumpMs = offsetMs - *calendarOffsetMs_;
        if (jumpMs > kClockJumpMs || jumpMs < -kClockJumpMs) {
            Event event{kind::kClockJumped};
            event.fields["expected"] = FormatUtcMillis(calendarMs - jumpMs);
            event.fields["now"] = FormatUtcMillis(calendarMs);
            event.fields["jumpMs"] = jumpMs;
            Emit(std::move(event));
        }
    }
    // (A time server's slow slewing moves the offset a little each poll:
    // measured from the last poll, it never adds up to a jump.)
    calendarOffsetMs_ = offsetMs;
}

void Agent::Read(DrawerWatch& watch, int64_t now) {
    const std::string& id = watch.settings.id;
    const int state = drawers_.GetCashStatus(id);
    if (state != 0 && state != 1) {
        if (watch.seen != DrawerWatch::Seen::Unreachable) {
            Event event{kind::kUnreachable};
            event.fields["drawer"] = id;
            event.fields["result"] = state;
            event.fields["reason"] = drawers_.LastError();
            watch.seen = DrawerWatch::Seen::Unreachable;
            watch.sinceMicros = now;
            Emit(std::move(event));
        }
        return;
    }
    if (watch.seen == DrawerWatch::Seen::Unreachable) {
        Event event{kind::kReachable};
        event.fields["drawer"] = id;
        event.fields["unreachableMs"] = (now - watch.sinceMicros) / 1000;
        Emit(std::move(event));
    }
    if (watch.seen != DrawerWatch::Seen::State || watch.raw != state) {
        const bool wasOpen = watch.seen == DrawerWatch::Seen::State && IsOpen(watch);
        const int64_t openMicros = now - watch.sinceMicros;
        watch.seen = DrawerWatch::Seen::State;
        watch.raw = state;
        watch.sinceMicros = now;
        watch.alarmed = false;
        const char* kindName = !watch.settings.openWhen ? kind::kStateChanged
                               : IsOpen(watch)         ? kind::kOpened
                                                       : kind::kClosed;
        Event event{kindName};
        event.fields["drawer"] = id;
        event.fields["raw"] = state;
        if (wasOpen) {
            event.fields["openMs"] = openMicros / 1000;
        }
        Emit(std::move(event));
    }
    const int64_t limitMicros = static_cast<int64_t>(settings_.leftOpenMs) * 1000;
    if (IsOpen(watch) && settings_.leftOpenMs > 0 && !watch.alarmed && now - watch.sinceMicros >= limitMicros) {
        watch.alarmed = true;
        Event event{kind::kLeftOpen};
        event.fields["drawer"] = id;
        event.fields["openMs"] = (now - watch.sinceMicros) / 1000;
        Emit(std::move(event));
    }
}

KickAnswer Agent::Kick(const std::string& drawerId, const std::string& by, bool confirm, int timeoutMs,
                       const KickNote& note) {
    KickAnswer answer;
    answer.result = confirm ? drawers_.OpenCashConfirmed(drawerId, timeoutMs) : drawers_.OpenCash(drawerId);
    answer.outcome = KickOutcome(confirm, answer.result);
    if (answer.result < 0 || (confirm && answer.result == 0)) {
        answer.reason = drawers_.LastError();
    }
    Event event{kind::kKick};
    event.fields["drawer"] = drawerId;
    event.fields["by"] = by;
    event.fields["confirm"] = confirm;
    event.fields["result"] = answer.result;
    event.fields["outcome"] = answer.outcome;
    if (!answer.reason.empty()) {
        event.fields["reason"] = answer.reason;
    }
    // "reason" on a kick line is the library's words when it failed, as it
    // always was; the cashier's reason has a name of its own.
    if (!note.cashier.empty()) {
        event.fields["cashier"] = note.cashier;
    }
    if (!note.reason.empty()) {
        event.fields["kickReason"] = note.reason;
    }
    Emit(std::move(event));
    answer.seq = waiting_.empty() ? journal_.LastSeq() : 0;
    // What the kick did shows at once, not a poll later.
    const int64_t now = clock_.SteadyMicros();
    for (DrawerWatch& watch : watches_) {
        if (watch.settings.id == drawerId) {
            Read(watch, now);
        }
    }
    return answer;
}

void Agent::Stop(const std::string& reason) {
    Event event{kind::kAgentStopped};
    event.fields["reason"] = reason;
    Emit(std::move(event));
}

void Agent::Emit(Event event) {
    if (waiting_.size() >= kMaxWaiting) {
        waiting_.pop_front();
        ++lostUnreported_;
        ++health_.eventsLost;
    }
    waiting_.push_back(Waiting{std::move(event), clock_.UnixMillis()});
    Flush();
}

void Agent::Flush() {
    while (!waiting_.empty() || lostUnreported_ > 0) {
        std::optional<JournalledEvent> written;
        if (lostUnreported_ > 0) {
            // Said first: the events after the gap are the ones kept.
            Event lost{kind::kEventsLost};
            lost.fields["count"] = lostUnreported_;
            lost.fields["why"] = "the journal could not be written";
            written = journal_.Append(lost, clock_.UnixMillis());
            if (written) {
                lostUnreported_ = 0;
            }
        } else {
            written = journal_.Append(waiting_.front().event, waiting_.front().unixMillis);
            if (written) {
                waiting_.pop_front();
            }
        }
        if (!written) {
            health_.journalFailure = journal_.Failure();
            health_.eventsWaiting = waiting_.size();
            SetJournalHealth(false);
            return;
        }
        for (const auto& listener : listeners_) {
            listener(*written);
        }
    }
    health_.journalFailure.clear();
    health_.eventsWaiting = 0;
    SetJournalHealth(true);
}

void Agent::SetJournalHealth(bool ok) {
    const bool changed = health_.journalOk != ok;
    health_.journalOk = ok;
    if (changed && healthListener_) {
        healthListener_(health_);
    }
}

} // namespace cashdrawer::agent
