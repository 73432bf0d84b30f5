#include "watch/statistics_keeper.h"

#include "core/json_text.h"
#include "journal/journal_cursor.h"
#include "journal/journal_line.h"
#include "os/durable_files.h"
#include "os/owner_only_file.h"

#include <filesystem>
#include <mutex>

namespace cashdrawer::agent {
namespace {

namespace fs = std::filesystem;

std::string SnapshotPath(const std::string& folder) {
    const std::u8string path = (fs::path(std::u8string(folder.begin(), folder.end())) / kStatisticsSnapshotFile).u8string();
    return std::string(path.begin(), path.end());
}

struct Snapshot {
    uint64_t seq = 0;
    std::string hash;
    Statistics statistics;
};

// The snapshot a file holds, when it is one the agent wrote: its seq a
// journal's, its hash 64 digits, and its figures whole and covering that seq.
std::optional<Snapshot> ParseSnapshot(const std::string& text) {
    const Json json = ParseJsonText(text);
    Snapshot snapshot;
    snapshot.seq = FieldOr(json, "seq", uint64_t{0});
    snapshot.hash = FieldOr(json, "hash", std::string());
    auto statistics = Statistics::FromJson(json.is_object() && json.contains("statistics") ? json["statistics"] : Json());
    if (snapshot.seq == 0 || snapshot.seq > kMaxSeq || snapshot.hash.size() != 64 || !statistics ||
        statistics->LastSeq() != snapshot.seq) {
        return std::nullopt;
    }
    snapshot.statistics = std::move(*statistics);
    return snapshot;
}

} // namespace

std::string StatisticsKeeper::LoadReport::Describe() const {
    return snapshot + (snapshot.empty() || journal.empty() ? "" : "; ") + journal;
}

StatisticsKeeper::LoadReport StatisticsKeeper::Load() {
    const auto text = ReadFileBytes(SnapshotPath(folder_), kMaxSmallFileBytes);
    const auto snapshot = text ? ParseSnapshot(*text) : std::nullopt;
    LoadReport report;
    JournalCursor cursor(folder_);
    Statistics statistics;
    std::string lastHash;
    if (snapshot) {
        // The snapshot's own line, under its hash, or nothing of it counts.
        cursor.SeekAfter(snapshot->seq - 1);
        std::string found;
        cursor.Read(1, [&](const JournalledEvent& event) {
            if (event.seq == snapshot->seq) {
                found = HashOfLine(event.line);
            }
        });
        if (found == snapshot->hash) {
            statistics = snapshot->statistics;
            lastHash = found;
        } else {
            report.snapshot = std::string(kStatisticsSnapshotFile) + " (to seq " + std::to_string(snapshot->seq) +
                   ") does not match the journal: the statistics are counted again from its start";
            cursor.SeekAfter(0);
        }
    } else if (text) {
        report.snapshot = std::string(kStatisticsSnapshotFile) +
                          " is not one the agent wrote: the statistics are counted again from the journal's start";
    }
    // (In batches: the lines are counted as they are read, never held.)
    while (cursor.Read(4096, [&](const JournalledEvent& event) {
        statistics.Add(event);
        lastHash = HashOfLine(event.line);
    }) != 0) {
    }
    if (!cursor.Problem().empty()) {
        report.journal = "the statistics stop at seq " + std::to_string(cursor.Position()) + ": " + cursor.Problem();
    }
    std::lock_guard lock(mutex_);
    statistics_ = std::move(statistics);
    lastHash_ = std::move(lastHash);
    unsaved_ = snapshot && lastHash_ == snapshot->hash ? 0 : statistics_.Events();
    return report;
}

void StatisticsKeeper::Add(const JournalledEvent& event) {
    bool due = false;
    {
        std::lock_guard lock(mutex_);
        if (event.seq <= statistics_.LastSeq()) {
            return; // counted at the load already
        }
        statistics_.Add(event);
        lastHash_ = HashOfLine(event.line);
        due = ++unsaved_ >= kSaveEvery;
    }
    if (due) {
        std::string ignored; // (a failed save costs a longer count at the next start, nothing else)
        Save(ignored);
    }
}

Statistics StatisticsKeeper::Figures() const {
    std::lock_guard lock(mutex_);
    return statistics_;
}

bool StatisticsKeeper::Save(std::string& error) {
    Json snapshot;
    {
        std::lock_guard lock(mutex_);
        if (unsaved_ == 0 || statistics_.LastSeq() == 0) {
            return true;
        }
        snapshot = Json{{"seq", statistics_.LastSeq()}, {"hash", lastHash_}, {"statistics", statistics_.ToJson()}};
        unsaved_ = 0;
    }
    return WriteOwnerOnlyFile(SnapshotPath(folder_), snapshot.dump() + "\n", error);
}

} // namespace cashdrawer::agent
