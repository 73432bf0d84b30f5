// The drawers' statistics kept as each event is journalled, not recounted
// for each question: the agent adds every event it journals, and saves
// the figures now and then beside the journal (statistics-snapshot.json),
// with the seq and the hash of the last line they cover. A start reads the
// snapshot and only the lines after it, so a journal of years answers as
// fast as a new one.
//
// The snapshot is checked against the journal before it is trusted: a
// snapshot whose line is not in the journal under that hash (a journal
// restored, wiped or edited, a snapshot copied from another till) is
// dropped, and the figures are counted again from the journal's start.
#pragma once

#include "core/agent_mutex.h"
#include "core/event.h"
#include "watch/statistics.h"

#include <cstdint>
#include <string>

namespace cashdrawer::agent {

inline constexpr const char* kStatisticsSnapshotFile = "statistics-snapshot.json";

class StatisticsKeeper {
public:
    // The figures are saved after this many events, and at the end.
    static constexpr uint64_t kSaveEvery = 1000;

    explicit StatisticsKeeper(std::string journalFolder) : folder_(std::move(journalFolder)) {}

    // What a load found that a technician should hear of.
    struct LoadReport {
        std::string snapshot; // why the snapshot was dropped
        std::string journal;  // why the count stops before the journal's end
        std::string Describe() const;
    };
    // Counts up to the journal's end, from the snapshot when it matches the
    // journal.
    LoadReport Load();
    // An event the agent has just journalled, in seq order.
    void Add(const JournalledEvent& event);
    Statistics Figures() const;
    // Writes the snapshot of the figures as they stand (when any event came
    // since the last); false, with `error`, when it could not be.
    bool Save(std::string& error);

private:
    mutable AgentMutex mutex_;
    std::string folder_;
    Statistics statistics_;
    std::string lastHash_; // of the last line counted
    uint64_t unsaved_ = 0; // events counted since the last save
};

} // namespace cashdrawer::agent
