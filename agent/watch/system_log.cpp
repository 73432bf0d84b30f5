#include "watch/system_log.h"

#include "core/json_text.h"

#include <array>

namespace cashdrawer::agent {
namespace {

// The message ids of agent/agent_messages.mc, by kind. A kind added later
// gets 100 ("another event") until it has its own.
struct KindEntry {
    const char* kind;
    uint16_t eventId;
    LogSeverity severity;
};
constexpr std::array kKinds{
    KindEntry{kind::kAgentStarted, 1, LogSeverity::Information},
    KindEntry{kind::kAgentStopped, 2, LogSeverity::Information},
    KindEntry{kind::kOpened, 10, LogSeverity::Information},
    KindEntry{kind::kClosed, 11, LogSeverity::Information},
    KindEntry{kind::kStateChanged, 12, LogSeverity::Information},
    KindEntry{kind::kKick, 20, LogSeverity::Information},
    KindEntry{kind::kLeftOpen, 30, LogSeverity::Warning},
    KindEntry{kind::kUnreachable, 40, LogSeverity::Error},
    KindEntry{kind::kReachable, 41, LogSeverity::Information},
    KindEntry{kind::kTornLineSetAside, 50, LogSeverity::Warning},
    KindEntry{kind::kEventsLost, 51, LogSeverity::Error},
    KindEntry{kind::kJournalCut, 52, LogSeverity::Error},
    KindEntry{kind::kJournalAltered, 53, LogSeverity::Error},
    KindEntry{kind::kClockJumped, 54, LogSeverity::Warning},
};
constexpr uint16_t kOtherEventId = 100;

} // namespace

SystemLogEntry SystemLogEntryOf(const JournalledEvent& event) {
    SystemLogEntry entry{kOtherEventId, LogSeverity::Information, ""};
    for (const KindEntry& known : kKinds) {
        if (event.kind == known.kind) {
            entry.eventId = known.eventId;
            entry.severity = known.severity;
        }
    }
    // A kick that did not open the drawer is worth a look.
    const std::string outcome = FieldOr(event.fields, "outcome", std::string());
    if (event.kind == kind::kKick && outcome != "opened" && outcome != "kicked") {
        entry.severity = LogSeverity::Warning;
    }
    const std::string drawer = FieldOr(event.fields, "drawer", std::string());
    entry.text = event.kind + (drawer.empty() ? "" : " " + drawer) + " (seq " + std::to_string(event.seq) +
                 "): " + event.line;
    return entry;
}

} // namespace cashdrawer::agent
