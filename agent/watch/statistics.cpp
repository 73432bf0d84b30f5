#include "watch/statistics.h"

#include <algorithm>

namespace cashdrawer::agent {
namespace {

// A count or a time in ms: an event as the agent made it may hold a signed
// number where its journal line, read back, holds an unsigned one.
uint64_t Field(const JournalledEvent& event, const char* key) {
    const auto found = event.fields.find(key);
    if (found == event.fields.end() || !found->is_number_integer()) {
        return 0;
    }
    return found->is_number_unsigned() ? found->get<uint64_t>()
                                       : static_cast<uint64_t>(std::max<int64_t>(found->get<int64_t>(), 0));
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

namespace {

// The figures of one drawer in the order ToJson writes them.
constexpr struct {
    const char* key;
    uint64_t DrawerStatistics::*count;
} kDrawerFigures[] = {
    {"DrawerGoodOpenCount", &DrawerStatistics::goodOpens},
    {"DrawerFailedOpenCount", &DrawerStatistics::failedOpens},
    {"unconfirmedKicks", &DrawerStatistics::unconfirmedKicks},
    {"openings", &DrawerStatistics::openings},
    {"openTotalMs", &DrawerStatistics::openTotalMs},
    {"longestOpenMs", &DrawerStatistics::longestOpenMs},
    {"leftOpenAlarms", &DrawerStatistics::leftOpenAlarms},
    {"unreachablePeriods", &DrawerStatistics::unreachablePeriods},
    {"unreachableTotalMs", &DrawerStatistics::unreachableTotalMs},
};

} // namespace

Json Statistics::ToJson() const {
    Json all = Json::object();
    all["events"] = events_;
    all["lastSeq"] = lastSeq_;
    all["drawers"] = Json::object();
    for (const auto& [id, c] : drawers_) {
        Json one = Json::object();
        for (const auto& figure : kDrawerFigures) {
            one[figure.key] = c.*figure.count;
        }
        all["drawers"][id] = one;
    }
    return all;
}

std::optional<Statistics> Statistics::FromJson(const Json& json) {
    const Json* drawers = json.is_object() && json.contains("drawers") ? &json["drawers"] : nullptr;
    if (drawers == nullptr || !drawers->is_object() || !json.contains("events") || !json["events"].is_number_unsigned() ||
        !json.contains("lastSeq") || !json["lastSeq"].is_number_unsigned()) {
        return std::nullopt;
    }
    Statistics statistics;
    statistics.events_ = json["events"].get<uint64_t>();
    statistics.lastSeq_ = json["lastSeq"].get<uint64_t>();
    for (const auto& [id, figures] : drawers->items()) {
        DrawerStatistics counts;
        for (const auto& figure : kDrawerFigures) {
            if (!figures.is_object() || !figures.contains(figure.key) || !figures[figure.key].is_number_unsigned()) {
                return std::nullopt;
            }
            counts.*figure.count = figures[figure.key].get<uint64_t>();
        }
        statistics.drawers_[id] = counts;
    }
    return statistics;
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
