// The drawers' statistics, read from the journal alone, so they survive
// restarts and any copy of the journal gives the same figures:
//
//   DrawerGoodOpenCount    a kick whose opening the sensor saw (confirmed)
//   DrawerFailedOpenCount  a confirmed kick the drawer did not follow, or
//                          a kick that could not reach the drawer
//   unconfirmedKicks       a kick without the sensor's word
//   openings, open time    from each closing after an opening (total, longest)
//   leftOpenAlarms, unreachable periods and their time
#pragma once

#include "core/event.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace cashdrawer::agent {

struct DrawerStatistics {
    uint64_t goodOpens = 0;
    uint64_t failedOpens = 0;
    uint64_t unconfirmedKicks = 0;
    uint64_t openings = 0;
    uint64_t openTotalMs = 0;
    uint64_t longestOpenMs = 0;
    uint64_t leftOpenAlarms = 0;
    uint64_t unreachablePeriods = 0;
    uint64_t unreachableTotalMs = 0;

    friend bool operator==(const DrawerStatistics&, const DrawerStatistics&) = default;
};

class Statistics {
public:
    void Add(const JournalledEvent& event);

    const std::map<std::string, DrawerStatistics>& Drawers() const { return drawers_; }
    uint64_t Events() const { return events_; }
    uint64_t LastSeq() const { return lastSeq_; }

    Json ToJson() const;
    std::string ToText() const;
    // The figures ToJson wrote, back; nothing for any other text (a file
    // on disk is anybody's to edit: a count that is no count refuses all).
    static std::optional<Statistics> FromJson(const Json& json);

private:
    std::map<std::string, DrawerStatistics> drawers_;
    uint64_t events_ = 0;
    uint64_t lastSeq_ = 0;
};

} // namespace cashdrawer::agent
