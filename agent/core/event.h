// An event of the drawer agent: what happened (its kind) and its fields.
// It gets its sequence number and time when the journal takes it.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace cashdrawer::agent {

// Objects keep their keys in the order written: a journal line's text is
// its hash's input, so it must come out the same every time.
using Json = nlohmann::ordered_json;

struct Event {
    std::string kind;
    Json fields = Json::object();
};

// An event as the journal holds it.
struct JournalledEvent {
    uint64_t seq = 0;
    std::string time; // UTC, RFC 3339 with milliseconds
    std::string kind;
    Json fields = Json::object();
    std::string line; // the journal's line, without its line end
};

// The kinds, as journal lines and consumers spell them.
namespace kind {
inline constexpr const char* kAgentStarted = "agent-started";
inline constexpr const char* kAgentStopped = "agent-stopped";
inline constexpr const char* kOpened = "opened";
inline constexpr const char* kClosed = "closed";
inline constexpr const char* kStateChanged = "state-changed"; // no polarity set: the raw bit only
inline constexpr const char* kUnreachable = "unreachable";
inline constexpr const char* kReachable = "reachable";
inline constexpr const char* kKick = "kick";
inline constexpr const char* kLeftOpen = "left-open";
inline constexpr const char* kTornLineSetAside = "torn-line-set-aside";
inline constexpr const char* kEventsLost = "events-lost";
// Alarms the journal raises at a start: lines lost since the last run (its
// end before what it had written or the head office acknowledged), or lines
// found changed and set aside. They stay open until acknowledged.
inline constexpr const char* kJournalCut = "journal-cut";
inline constexpr const char* kJournalAltered = "journal-altered";
// The calendar clock moved against the steady clock: journal times jump.
inline constexpr const char* kClockJumped = "clock-jumped";
} // namespace kind

} // namespace cashdrawer::agent
