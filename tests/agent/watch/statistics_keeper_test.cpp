// The statistics kept as events are journalled: counted on from a saved
// snapshot after a restart, and counted anew when the snapshot does not
// match the journal it claims to cover.
#include "agent_test_support.h"
#include "journal/journal_cursor.h"
#include "journal/journal_line.h"
#include "watch/statistics_keeper.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace cashdrawer::agent::testing {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kT0 = 1'765'000'000'000;

// Kicks of drawer A, each confirmed opened, then a closing after 250 ms.
void Kicks(Journal& journal, int count, std::function<void(const JournalledEvent&)> told = nullptr) {
    for (int i = 0; i < count; ++i) {
        for (const Event& event : {Event{kind::kKick, Json{{"drawer", "A"}, {"outcome", "opened"}}},
                                   Event{kind::kClosed, Json{{"drawer", "A"}, {"raw", 0}, {"openMs", 250}}}}) {
            const auto written = journal.Append(event, kT0);
            ASSERT_TRUE(written);
            if (told) {
                told(*written);
            }
        }
    }
}

// What a whole count of the journal gives: the figures to match.
Statistics Recounted(const std::string& folder) {
    Statistics statistics;
    for (const auto& event : ReadAll(folder)) {
        statistics.Add(event);
    }
    return statistics;
}

std::string SnapshotPath(const TempFolder& folder) { return (fs::path(folder.path()) / kStatisticsSnapshotFile).string(); }

TEST(StatisticsKeeper, KeepsCountAsEventsComeAndAfterARestartReadsOnlyTheLinesAfterItsSnapshot) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path());
        StatisticsKeeper keeper(folder.path());
        EXPECT_EQ(keeper.Load().Describe(), "") << "no snapshot yet, nothing to say";
        Kicks(*journal, 3, [&](const JournalledEvent& event) { keeper.Add(event); });
        EXPECT_EQ(keeper.Figures().ToJson(), Recounted(folder.path()).ToJson());
        std::string error;
        ASSERT_TRUE(keeper.Save(error)) << error;
        Kicks(*journal, 2); // journalled while no agent counted (a crash before the save)
    }
    const Json saved = Json::parse(ReadText(SnapshotPath(folder)));
    EXPECT_EQ(saved["seq"], 6u);
    EXPECT_EQ(saved["hash"], HashOfLine(ReadAll(folder.path()).at(5).line));
    // The lines the snapshot covers are spoilt: a keeper that read them
    // again would stop at the first.
    const std::string first = JournalFilePath(folder.path(), 1);
    auto lines = Lines(ReadText(first));
    lines[2].replace(lines[2].find("\"opened\""), 8, "\"kicked\"");
    WriteText(first, Joined(lines));
    StatisticsKeeper keeper(folder.path());
    EXPECT_EQ(keeper.Load().Describe(), "");
    const Statistics figures = keeper.Figures();
    EXPECT_EQ(figures.LastSeq(), 10u);
    EXPECT_EQ(figures.Events(), 10u);
    EXPECT_EQ(figures.Drawers().at("A").goodOpens, 5u);
    EXPECT_EQ(figures.Drawers().at("A").openTotalMs, 1250u);
    // An event the load counted already is not counted twice.
    // Lines past the snapshot are something new to save.
    std::string error;
    ASSERT_TRUE(keeper.Save(error)) << error;
    EXPECT_EQ(Json::parse(ReadText(SnapshotPath(folder)))["seq"], 10u);
    JournalCursor last(folder.path());
    last.SeekAfter(9);
    last.Read(1, [&](const JournalledEvent& event) { keeper.Add(event); });
    EXPECT_EQ(last.Position(), 10u);
    EXPECT_EQ(keeper.Figures().Events(), 10u);
}

// Each of these is not the snapshot of this journal: the figures are
// counted again from the journal's start, and the agent says why.
TEST(StatisticsKeeper, ASnapshotThatDoesNotMatchTheJournalIsDroppedAndTheFiguresCountedAnew) {
    const auto replaced = [](const char* key, Json value) {
        return [key, value](Json snapshot) {
            snapshot[key] = value;
            return snapshot.dump();
        };
    };
    const struct {
        const char* what;
        std::function<std::string(Json)> alter; // the good snapshot (seq 4) in, the file's text out
        const char* said;
    } rows[] = {
        {"a hash one digit off",
         [](Json snapshot) {
             std::string hash = snapshot["hash"];
             hash[63] = hash[63] == '0' ? '1' : '0';
             snapshot["hash"] = hash;
             return snapshot.dump();
         },
         "(to seq 4) does not match the journal"},
        {"the hash of the line before", nullptr, "(to seq 4) does not match the journal"},
        {"a seq past the journal's end",
         [](Json snapshot) {
             snapshot["seq"] = 7;
             snapshot["statistics"]["lastSeq"] = 7;
             return snapshot.dump();
         },
         "(to seq 7) does not match the journal"},
        {"figures for another seq", [](Json snapshot) { snapshot["statistics"]["lastSeq"] = 3; return snapshot.dump(); },
         "is not one the agent wrote"},
        {"seq 0", [](Json snapshot) { snapshot["seq"] = 0; snapshot["statistics"]["lastSeq"] = 0; return snapshot.dump(); },
         "is not one the agent wrote"},
        {"a count below zero",
         [](Json snapshot) { snapshot["statistics"]["drawers"]["A"]["openings"] = -1; return snapshot.dump(); },
         "is not one the agent wrote"},
        {"a count missing",
         [](Json snapshot) { snapshot["statistics"]["drawers"]["A"].erase("leftOpenAlarms"); return snapshot.dump(); },
         "is not one the agent wrote"},
        {"a hash too short", replaced("hash", "abc"), "is not one the agent wrote"},
        {"no figures at all", [](Json snapshot) { snapshot.erase("statistics"); return snapshot.dump(); },
         "is not one the agent wrote"},
        {"a list, not an object", [](Json snapshot) { return Json::array({snapshot}).dump(); },
         "is not one the agent wrote"},
        {"not JSON", [](Json) { return std::string("{\"seq\":4,"); }, "is not one the agent wrote"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        TempFolder folder;
        auto journal = OpenJournal(folder.path());
        {
            StatisticsKeeper keeper(folder.path());
            keeper.Load();
            Kicks(*journal, 2, [&](const JournalledEvent& event) { keeper.Add(event); });
            std::string error;
            ASSERT_TRUE(keeper.Save(error)) << error;
        }
        Json snapshot = Json::parse(ReadText(SnapshotPath(folder)));
        // The snapshot claims more than it holds: one kick that never was.
        snapshot["statistics"]["drawers"]["A"]["DrawerGoodOpenCount"] = 3;
        if (row.alter) {
            WriteText(SnapshotPath(folder), row.alter(snapshot));
        } else {
            snapshot["hash"] = HashOfLine(ReadAll(folder.path()).at(2).line);
            WriteText(SnapshotPath(folder), snapshot.dump());
        }
        Kicks(*journal, 1);
        StatisticsKeeper keeper(folder.path());
        const std::string said = keeper.Load().Describe();
        EXPECT_NE(said.find(std::string(kStatisticsSnapshotFile) + " " + row.said), std::string::npos) << said;
        EXPECT_NE(said.find("counted again from"), std::string::npos) << said;
        EXPECT_EQ(keeper.Figures().ToJson(), Recounted(folder.path()).ToJson());
        EXPECT_EQ(keeper.Figures().Drawers().at("A").goodOpens, 3u);
    }
}

// The snapshot goes out every so many events, so a crash costs a short
// count at the next start; a keeper with nothing new writes nothing.
TEST(StatisticsKeeper, SavesEverySoManyEventsAndOnlyWhenThereIsSomethingNew) {
    TempFolder folder;
    auto journal = OpenJournal(folder.path());
    StatisticsKeeper keeper(folder.path());
    keeper.Load();
    std::string error;
    EXPECT_TRUE(keeper.Save(error));
    EXPECT_FALSE(fs::exists(SnapshotPath(folder))) << "nothing counted, nothing to save";
    Kicks(*journal, static_cast<int>(StatisticsKeeper::kSaveEvery / 2) - 1, [&](const JournalledEvent& e) { keeper.Add(e); });
    ASSERT_TRUE(journal->Append(Event{kind::kKick, Json{{"drawer", "A"}, {"outcome", "kicked"}}}, kT0));
    EXPECT_FALSE(fs::exists(SnapshotPath(folder))) << "one event short of the count";
    keeper.Add(ReadAll(folder.path()).at(StatisticsKeeper::kSaveEvery - 2));
    ASSERT_FALSE(fs::exists(SnapshotPath(folder)));
    const auto written = journal->Append(Event{kind::kKick, Json{{"drawer", "A"}, {"outcome", "kicked"}}}, kT0);
    keeper.Add(*written);
    ASSERT_TRUE(fs::exists(SnapshotPath(folder)));
    EXPECT_EQ(Json::parse(ReadText(SnapshotPath(folder)))["seq"], StatisticsKeeper::kSaveEvery);
    const std::string saved = ReadText(SnapshotPath(folder));
    fs::remove(SnapshotPath(folder));
    EXPECT_TRUE(keeper.Save(error));
    EXPECT_FALSE(fs::exists(SnapshotPath(folder))) << "saved already: nothing new";
    // A start on a snapshot that covers the whole journal has nothing new
    // to save either.
    WriteText(SnapshotPath(folder), saved);
    StatisticsKeeper restarted(folder.path());
    EXPECT_EQ(restarted.Load().Describe(), "");
    fs::remove(SnapshotPath(folder));
    EXPECT_TRUE(restarted.Save(error));
    EXPECT_FALSE(fs::exists(SnapshotPath(folder))) << "loaded whole from the snapshot: nothing new";
}

// An event as the agent hands it may hold signed numbers where its line,
// read back, holds unsigned ones: both count the same, and a negative one
// (nobody's time) counts nothing.
TEST(Statistics, SignedAndUnsignedTimesCountTheSame) {
    const struct {
        Json openMs;
        uint64_t total;
    } rows[] = {{Json(250), 250}, {Json(uint64_t{250}), 250}, {Json(0), 0}, {Json(1), 1}, {Json(-5), 0}, {Json(-1), 0}};
    for (const auto& row : rows) {
        Statistics statistics;
        statistics.Add(JournalledEvent{1, "", kind::kClosed, Json{{"drawer", "A"}, {"raw", 0}, {"openMs", row.openMs}}, ""});
        EXPECT_EQ(statistics.Drawers().at("A").openTotalMs, row.total) << row.openMs.dump();
        EXPECT_EQ(statistics.Drawers().at("A").openings, 1u) << row.openMs.dump();
    }
}

// Past a line that is not as written, the count stops and says where.
TEST(StatisticsKeeper, ACountThatMeetsAnAlteredLineStopsThereAndSaysSo) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path());
        Kicks(*journal, 3);
    }
    const std::string first = JournalFilePath(folder.path(), 1);
    auto lines = Lines(ReadText(first));
    lines[3].replace(lines[3].find("250"), 3, "999");
    WriteText(first, Joined(lines));
    StatisticsKeeper keeper(folder.path());
    const auto report = keeper.Load();
    EXPECT_EQ(report.snapshot, "");
    EXPECT_EQ(report.journal,
              "the statistics stop at seq 3: journal-000001.jsonl: a line after seq 3 is not a whole, unaltered journal line");
    EXPECT_EQ(keeper.Figures().Events(), 3u);
}

} // namespace
} // namespace cashdrawer::agent::testing
