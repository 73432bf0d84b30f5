#include "watch/statistics.h"

#include <algorithm>

namespace cashdrawer::agent {
namespace {

uint64_t Field(const JournalledEvent& event, const char* key) {
    const auto found = event.fields.find(key);
    return found != event.fields.end() && found->is_number_unsigned() ? found->get<uint64_t>() : 0;
}

std::string Text(const JournalledEvent& event, const char* key) {
    const auto found = event.fields.find(key);
    return found != event.fields.end() && found->is_string() ? found->get<std::string>() : std::string();
}

} // namespace

void Statistics::Add(const JournalledEvent& event) {
    ++events_;
    lastSeq_ = event.seq;
    const std::string drawer = Text(event, "drawer");
    if (drawer.empty()) {
        return; // the agent's own events
    }
    DrawerStatistics& counts = drawers_[drawer];
    if (event.kind == kind::kKick) {
        const std::string outcome = Text(event, "outcome");
        if (outcome == "opened") {
            ++counts.goodOpens;
        } else if (outcome == "not-opened" || outcome == "unreachable") {
            ++counts.failedOpens;
        } else if (outcome == "kicked") {
            ++counts.unconfirmedKicks;
        }
    } else if (event.kind == kind::kClosed && event.fields.contains("openMs")) {
        const uint64_t openMs = Field(event, "openMs");
        ++counts.openings;
        counts.openTotalMs += openMs;
        counts.longestOpenMs = std::max(counts.longestOpenMs, openMs);
    } else if (event.kind == kind::kLeftOpen) {
        ++counts.leftOpenAlarms;
    } else if (event.kind == kind::kUnreachable) {
        ++counts.unreachablePeriods;
    } else if (event.kind == kind::kReachable) {
        counts.unreachableTotalMs += Field(event, "unreachableMs");
    }
}

Json Statistics::ToJson() const {
    Json all = Json::object();
    all["events"] = events_;
    all["lastSeq"] = lastSeq_;
    all["drawers"] = Json::object();
    for (const auto& [id, c] : drawers_) {
        Json one = Json::object();
        one["DrawerGoodOpenCount"] = c.goodOpens;
        one["DrawerFailedOpenCount"] = c.failedOpens;
        one["unconfirmedKicks"] = c.unconfirmedKicks;
        one["openings"] = c.openings;
        one["openTotalMs"] = c.openTotalMs;
        one["longestOpenMs"] = c.longestOpenMs;
        one["leftOpenAlarms"] = c.leftOpenAlarms;
        one["unreachablePeriods"] = c.unreachablePeriods;
        one["unreachableTotalMs"] = c.unreachableTotalMs;
        all["drawers"][id] = one;
    }
    return all;
}

std::string Statistics::ToText() const {
    std::string text = "From " + std::to_string(events_) + " journal events (to seq " + std::to_string(lastSeq_) + "):\n";
    for (const auto& [id, c] : drawers_) {
        text += id + "\n";
        text += "  DrawerGoodOpenCount    " + std::to_string(c.goodOpens) + "\n";
        text += "  DrawerFailedOpenCount  " + std::to_string(c.failedOpens) + "\n";
        text += "  kicks unconfirmed      " + std::to_string(c.unconfirmedKicks) + "\n";
        text += "  openings               " + std::to_string(c.openings) + ", open " + std::to_string(c.openTotalMs) +
                " ms in all, " + std::to_string(c.longestOpenMs) + " ms at the longest\n";
        text += "  left-open alarms       " + std::to_string(c.leftOpenAlarms) + "\n";
        text += "  unreachable            " + std::to_string(c.unreachablePeriods) + " times, " +
                std::to_string(c.unreachableTotalMs) + " ms in all\n";
    }
    return text;
}

} // namespace cashdrawer::agent
