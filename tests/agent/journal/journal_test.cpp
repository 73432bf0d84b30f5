#include "agent_test_support.h"

#include "journal/journal_cursor.h"
#include "journal/journal_line.h"
#include "journal/sha256.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

namespace cashdrawer::agent {
namespace {

using namespace testing;

Event Opened(const std::string& drawer) {
    Event event{kind::kOpened};
    event.fields["drawer"] = drawer;
    event.fields["raw"] = 1;
    return event;
}

TEST(Sha256, KnownDigests) {
    EXPECT_EQ(Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(UtcTime, FormatsRfc3339WithMilliseconds) {
    const struct {
        int64_t millis;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {951782400123, "2000-02-29T00:00:00.123Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
        {1796733296789, "2026-12-08T12:34:56.789Z"},
        {253402300799999, "9999-12-31T23:59:59.999Z"},
        // The month ends where the day-of-year arithmetic turns over.
        {1775001599999, "2026-03-31T23:59:59.999Z"},
        {1801396800000, "2027-01-31T12:00:00.000Z"},
        // Before 0000-03-01 the 400-year era is a negative one.
        {-62162121600000, "0000-02-29T00:00:00.000Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatUtcMillis(c.millis), c.text) << c.millis;
    }
}

TEST(JournalLine, HashCoversTheLineWithoutItsOwnHash) {
    const std::string line = ComposeLine(7, "2026-12-08T12:34:56.789Z", Opened("RN340_CashA"), kGenesisHash);
    const std::string withoutHash = "{\"seq\":7,\"time\":\"2026-12-08T12:34:56.789Z\",\"kind\":\"opened\","
                                    "\"drawer\":\"RN340_CashA\",\"raw\":1,\"prev\":\"" + kGenesisHash + "\"}";
    EXPECT_EQ(line, withoutHash.substr(0, withoutHash.size() - 1) + ",\"hash\":\"" + Sha256Hex(withoutHash) + "\"}");

    ParsedLine parsed;
    ASSERT_EQ(CheckLine(line, parsed), LineProblem::None);
    EXPECT_EQ(parsed.event.seq, 7u);
    EXPECT_EQ(parsed.event.kind, "opened");
    EXPECT_EQ(parsed.event.fields, (Json{{"drawer", "RN340_CashA"}, {"raw", 1}}));
    EXPECT_EQ(parsed.prev, kGenesisHash);
    EXPECT_EQ(parsed.hash, Sha256Hex(withoutHash));
}

TEST(JournalLine, RefusesWhatIsNotAnUnalteredLine) {
    const std::string line = ComposeLine(3, "2026-12-08T12:34:56.789Z", Opened("A"), kGenesisHash);
    std::string raw = line;
    raw.replace(raw.find("\"raw\":1"), 7, "\"raw\":0");
    std::string upperHash = line;
    upperHash.replace(upperHash.size() - 3, 1, "A");
    const struct {
        std::string text;
        LineProblem problem;
    } cases[] = {
        {raw, LineProblem::HashMismatch},
        {line.substr(0, line.size() - 1), LineProblem::NotJournalLine},
        {upperHash, LineProblem::NotJournalLine},
        {"{\"hash\":\"" + std::string(64, 'a') + "\"}", LineProblem::NotJournalLine},
        {"", LineProblem::NotJournalLine},
    };
    for (const auto& c : cases) {
        ParsedLine parsed;
        EXPECT_EQ(CheckLine(c.text, parsed), c.problem) << c.text;
    }
    // Each field a line must have, missing or of the wrong type: no journal
    // line, whatever its hash.
    const std::string tail = ",\"hash\":\"" + std::string(64, 'a') + "\"}";
    for (const char* fields : {
             R"({"time":"t","kind":"k","prev":"p")",         R"({"seq":-1,"time":"t","kind":"k","prev":"p")",
             R"({"seq":"1","time":"t","kind":"k","prev":"p")", R"({"seq":1,"kind":"k","prev":"p")",
             R"({"seq":1,"time":5,"kind":"k","prev":"p")",    R"({"seq":1,"time":"t","prev":"p")",
             R"({"seq":1,"time":"t","kind":[],"prev":"p")",   R"({"seq":1,"time":"t","kind":"k")",
             R"({"seq":1,"time":"t","kind":"k","prev":null)", R"(["seq",1,"time","t","kind","k","prev","p")",
         }) {
        ParsedLine parsed;
        EXPECT_EQ(CheckLine(std::string(fields) + tail, parsed), LineProblem::NotJournalLine) << fields;
    }
    ParsedLine whole;
    EXPECT_EQ(CheckLine(R"({"seq":1,"time":"t","kind":"k","prev":"p")" + tail, whole), LineProblem::HashMismatch);

    ParsedLine changed; // read all the same, so verify can name its seq
    ASSERT_EQ(CheckLine(raw, changed), LineProblem::HashMismatch);
    EXPECT_EQ(changed.event.seq, 3u);
    EXPECT_EQ(changed.event.fields["raw"], 0);
}

// A line nested far deeper than any the agent writes, with a hash tail
// that looks right: refused as no journal line, without recursing into it.
// The seq a reader skips a line by, read from the line's start alone.
TEST(JournalLine, ASeqIsPeekedFromTheLinesStartOnly) {
    const struct {
        std::string line;
        std::optional<uint64_t> seq;
    } rows[] = {
        {R"({"seq":12,"time":"x"})", 12},
        {R"({"seq":0,)", 0},
        {R"({"seq":9007199254740991,)", kMaxSeq},          // 16 digits
        {R"({"seq":1234567890123456,)", 1234567890123456}, // 16 digits, the most read
        {R"({"seq":12345678901234567,)", std::nullopt},    // 17: no seq of ours
        {R"({"seq":,)", std::nullopt},
        {R"({"seq":12})", std::nullopt},
        {R"({"seq":12)", std::nullopt},
        {R"({"seq":-1,)", std::nullopt},
        {R"({"seq": 12,)", std::nullopt},
        {R"({"sek":12,)", std::nullopt},
        {R"( {"seq":12,)", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(PeekSeq(row.line), row.seq) << row.line;
    }
}

// A line's hash is the 64 characters before its closing `"}`; a text too
// short to end so has none (and is never read past its start).
TEST(JournalLine, TheHashIsTheSixtyFourCharactersBeforeTheClosingQuote) {
    const std::string hash(64, 'a');
    EXPECT_EQ(HashOfLine(hash + "\"}"), hash) << "66 characters: the shortest with a hash";
    EXPECT_EQ(HashOfLine("{" + hash + "\"}"), hash);
    EXPECT_EQ(HashOfLine(hash.substr(1) + "\"}"), "") << "65 characters";
    EXPECT_EQ(HashOfLine(""), "");
    const std::string line = ComposeLine(3, FormatUtcMillis(0), Opened("A"), kGenesisHash);
    ParsedLine parsed;
    ASSERT_EQ(CheckLine(line, parsed), LineProblem::None);
    EXPECT_EQ(HashOfLine(line), parsed.hash);
}

TEST(JournalLine, ALineNestedDeeperThanAnyOfOursIsNoLine) {
    const std::string tail = R"(,"prev":"p","hash":")" + std::string(64, 'a') + "\"}";
    ParsedLine parsed;
    for (const std::size_t depth : {std::size_t{65}, std::size_t{300000}}) {
        const std::string line = R"({"seq":1,"time":"t","kind":"k","x":)" + std::string(depth, '[') +
                                 std::string(depth, ']') + tail;
        EXPECT_EQ(CheckLine(line, parsed), LineProblem::NotJournalLine) << depth;
    }
}

TEST(Journal, NumbersOnAcrossRestartsAndChainsEachLineToTheOneBefore) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path());
        ASSERT_EQ(journal->Append(Opened("A"), 1000)->seq, 1u);
        ASSERT_EQ(journal->Append(Opened("B"), 2000)->seq, 2u);
    }
    {
        auto journal = OpenJournal(folder.path());
        EXPECT_EQ(journal->LastSeq(), 2u);
        const auto third = journal->Append(Opened("C"), 3000);
        ASSERT_TRUE(third);
        EXPECT_EQ(third->seq, 3u);
        EXPECT_EQ(third->time, "1970-01-01T00:00:03.000Z");
    }
    const auto events = ReadAll(folder.path());
    ASSERT_EQ(events.size(), 3u);
    std::string prev = kGenesisHash;
    for (const auto& event : events) {
        ParsedLine parsed;
        ASSERT_EQ(CheckLine(event.line, parsed), LineProblem::None);
        EXPECT_EQ(parsed.prev, prev) << event.seq;
        prev = parsed.hash;
    }
    EXPECT_EQ(events[2].fields["drawer"], "C");
}

// What an event stream replays to a client that comes back: the events
// past the one it saw last, and the newest number, also when it saw them all.
TEST(Journal, ReplaysThePastAfterAClientsLastEventAndNamesTheNewest) {
    TempFolder folder;
    const auto replay = [&](uint64_t after) {
        std::vector<uint64_t> seqs;
        JournalCursor cursor(folder.path());
        cursor.SeekAfter(after);
        cursor.Read(100, [&](const JournalledEvent& e) { seqs.push_back(e.seq); });
        return std::make_pair(NewestJournalSeq(folder.path()), seqs);
    };
    EXPECT_EQ(replay(0), std::make_pair(uint64_t{0}, std::vector<uint64_t>{})) << "no journal yet";
    {
        auto journal = OpenJournal(folder.path());
        for (const char* drawer : {"A", "B", "C"}) {
            ASSERT_TRUE(journal->Append(Opened(drawer), 1000));
        }
    }
    EXPECT_EQ(replay(0), std::make_pair(uint64_t{3}, std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(replay(1), std::make_pair(uint64_t{3}, std::vector<uint64_t>{2, 3}));
    EXPECT_EQ(replay(3), std::make_pair(uint64_t{3}, std::vector<uint64_t>{}));
    EXPECT_EQ(replay(UINT64_MAX), std::make_pair(uint64_t{3}, std::vector<uint64_t>{}));
}

TEST(JournalVerify, SaysHowMuchAWholeJournalHolds) {
    TempFolder folder;
    JournalReport report;
    ReadAll(folder.path(), &report);
    EXPECT_EQ(report.Describe(), "the journal is empty");
    auto journal = OpenJournal(folder.path());
    ASSERT_TRUE(journal->Append(Opened("A"), 0));
    ReadAll(folder.path(), &report);
    EXPECT_EQ(report.Describe(), "the journal is whole: 1 line, seq 1 to 1");
    ASSERT_TRUE(journal->Append(Opened("B"), 0));
    ReadAll(folder.path(), &report);
    EXPECT_EQ(report.Describe(), "the journal is whole: 2 lines, seq 1 to 2");
    ReadAll(folder / "missing", &report);
    EXPECT_EQ(report.Describe(), "no such journal folder");
    EXPECT_TRUE(report.unreadable);
}

// A long journal's verify says how far it has come: after each file, its
// number of the newest's, and the lines and seq read so far.
TEST(JournalVerify, TellsItsProgressAfterEachFile) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path(), 4096);
        for (int i = 0; i < 9; ++i) {
            ASSERT_TRUE(journal->Append(Event{kind::kOpened, Json{{"note", std::string(1500, 'x')}}}, 0));
        }
    }
    std::vector<std::string> told;
    const JournalReport report = ReadJournal(
        folder.path(), [](const JournalledEvent&) {},
        [&](const JournalProgress& p) {
            told.push_back(std::to_string(p.file) + "/" + std::to_string(p.files) + " " + std::to_string(p.lines) + " " +
                           std::to_string(p.lastSeq));
        });
    ASSERT_TRUE(report.ok);
    const auto files = ListJournalFiles(folder.path());
    ASSERT_EQ(told.size(), files.size());
    uint64_t lines = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        lines += Lines(ReadText(files[i].path)).size();
        EXPECT_EQ(told[i], std::to_string(i + 1) + "/" + std::to_string(files.size()) + " " + std::to_string(lines) + " " +
                               std::to_string(lines));
    }
    EXPECT_EQ(lines, 9u);
}

// A journal folder this account may not list (made by another, mode 0700)
// is no empty journal: the report says it cannot be read. (Run as root,
// the test reads as nobody; under another account it is skipped.)
TEST(JournalVerify, AFolderThatCannotBeListedIsNoEmptyJournal) {
    if (::getuid() != 0) {
        GTEST_SKIP() << "needs root to read as another account";
    }
    TempFolder folder;
    auto journal = OpenJournal(folder.path());
    ASSERT_TRUE(journal->Append(Opened("A"), 0));
    journal.reset();
    ASSERT_EQ(::chmod(folder.path().c_str(), 0700), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(3);
        }
        JournalReport report;
        ReadAll(folder.path(), &report);
        ::_exit(!report.ok && report.unreadable && report.lines == 0 &&
                        report.Describe() == "the journal folder cannot be read: Permission denied"
                    ? 0
                    : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: no change of account; 1: read as empty or worded otherwise";
    // Its owner reads it whole, and that is not "unreadable".
    JournalReport report;
    ReadAll(folder.path(), &report);
    EXPECT_TRUE(report.ok);
    EXPECT_FALSE(report.unreadable);
}

TEST(Journal, RotatesBySizeAndTheChainRunsOnAcrossFiles) {
    TempFolder folder;
    const std::size_t lineBytes = ComposeLine(1, FormatUtcMillis(0), Opened("A"), kGenesisHash).size() + 1;
    // The first line names the chain too: `,"chain":"` + 32 hex digits + `"`.
    const std::size_t chainBytes = 44;
    {
        // Room for two lines a file.
        auto journal = OpenJournal(folder.path(), 2 * lineBytes + chainBytes);
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(journal->Append(Opened("A"), 0));
        }
    }
    const auto files = ListJournalFiles(folder.path());
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(Lines(ReadText(files[0].path)).size(), 2u);
    EXPECT_EQ(Lines(ReadText(files[1].path)).size(), 2u);
    EXPECT_EQ(Lines(ReadText(files[2].path)).size(), 1u);
    EXPECT_EQ(std::filesystem::path(files[2].path).filename(), "journal-000003.jsonl");
    {
        auto journal = OpenJournal(folder.path(), 2 * lineBytes + chainBytes);
        ASSERT_EQ(journal->Append(Opened("A"), 0)->seq, 6u); // into the third file, which had room
    }
    EXPECT_EQ(ListJournalFiles(folder.path()).size(), 3u);
    EXPECT_EQ(ReadAll(folder.path()).size(), 6u);
}

// A journal of five lines over two files, and what verify says of each
// way of altering it.
TEST(JournalVerify, NamesTheFirstLineThatWasAltered) {
    struct Case {
        const char* what;
        std::function<void(std::vector<std::string>& first, std::vector<std::string>& second)> alter;
        const char* file;
        uint64_t line;
        std::optional<uint64_t> seq;
        uint64_t lastWholeSeq;
        const char* problem;
    };
    const Case cases[] = {
        {"one field changed", [](auto& first, auto&) { first[1].replace(first[1].find("\"B\""), 3, "\"X\""); },
         "journal-000001.jsonl", 2, 2, 1, "the line was changed"},
        {"one line removed", [](auto& first, auto&) { first.erase(first.begin() + 1); }, "journal-000001.jsonl", 2, 3, 1,
         "seq 3 where 2 was due"},
        {"two lines swapped", [](auto&, auto& second) { std::swap(second[0], second[1]); }, "journal-000002.jsonl", 1, 5,
         3, "seq 5 where 4 was due"},
        {"a line copied in", [](auto& first, auto&) { first.insert(first.begin() + 2, first[1]); },
         "journal-000001.jsonl", 3, 2, 2, "seq 2 where 3 was due"},
        {"the first line removed", [](auto& first, auto&) { first.erase(first.begin()); }, "journal-000001.jsonl", 1, 2,
         0, "seq 2 where 1 was due"},
        // Re-hashed lines whose link alone is wrong, at the boundaries: the
        // journal's first line, and a file's first line.
        {"the journal's first line linked to another",
         [](auto& first, auto&) { first[0] = ComposeLine(1, FormatUtcMillis(0), Opened("A"), std::string(63, '0') + "1"); },
         "journal-000001.jsonl", 1, 1, 0, "its prev is not the hash of the line before"},
        {"a file's first line linked to another",
         [](auto& first, auto& second) {
             std::string prev = first[2].substr(first[2].size() - 66, 64);
             prev[0] = prev[0] == 'a' ? 'b' : 'a';
             second[0] = ComposeLine(4, FormatUtcMillis(0), Opened("D"), prev);
         },
         "journal-000002.jsonl", 1, 4, 3, "its prev is not the hash of the line before"},
    };
    for (const Case& c : cases) {
        TempFolder folder;
        {
            auto journal = OpenJournal(folder.path());
            for (const char* drawer : {"A", "B", "C"}) {
                ASSERT_TRUE(journal->Append(Opened(drawer), 0));
            }
        }
        {
            auto journal = OpenJournal(folder.path(), 1); // every line from now on in a file of its own
            ASSERT_TRUE(journal->Append(Opened("D"), 0));
        }
        // Put D and E into the second file together, as a bigger limit would.
        {
            auto journal = OpenJournal(folder.path());
            ASSERT_TRUE(journal->Append(Opened("E"), 0));
        }
        const auto files = ListJournalFiles(folder.path());
        ASSERT_EQ(files.size(), 2u);
        auto first = Lines(ReadText(files[0].path));
        auto second = Lines(ReadText(files[1].path));
        ASSERT_EQ(second.size(), 2u);
        c.alter(first, second);
        WriteText(files[0].path, Joined(first));
        WriteText(files[1].path, Joined(second));

        JournalReport report;
        ReadAll(folder.path(), &report);
        EXPECT_FALSE(report.ok) << c.what;
        EXPECT_EQ(report.file, c.file) << c.what;
        EXPECT_EQ(report.lineNumber, c.line) << c.what;
        EXPECT_EQ(report.seq, c.seq) << c.what;
        EXPECT_EQ(report.lastSeq, c.lastWholeSeq) << c.what;
        EXPECT_NE(report.problem.find(c.problem), std::string::npos) << c.what << ": " << report.problem;
    }
}

TEST(JournalVerify, ALineEditedWithItsHashRecomputedBreaksTheNextLinesPrev) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path());
        for (const char* drawer : {"A", "B", "C"}) {
            ASSERT_TRUE(journal->Append(Opened(drawer), 0));
        }
    }
    const std::string path = JournalFilePath(folder.path(), 1);
    auto lines = Lines(ReadText(path));
    ParsedLine second;
    ASSERT_EQ(CheckLine(lines[1], second), LineProblem::None);
    lines[1] = ComposeLine(2, second.event.time, Opened("forged"), second.prev);
    WriteText(path, Joined(lines));

    JournalReport report;
    ReadAll(folder.path(), &report);
    EXPECT_FALSE(report.ok);
    EXPECT_EQ(report.lineNumber, 3u);
    EXPECT_EQ(report.seq, 3u);
    EXPECT_NE(report.problem.find("its prev is not the hash of the line before"), std::string::npos);
}

TEST(JournalVerify, AMissingFileAndACutLastLineAreNamed) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path(), 1);
        for (const char* drawer : {"A", "B", "C"}) {
            ASSERT_TRUE(journal->Append(Opened(drawer), 0));
        }
    }
    const std::string third = JournalFilePath(folder.path(), 3);
    const std::string text = ReadText(third);
    WriteText(third, text.substr(0, text.size() - 10));
    JournalReport report;
    ReadAll(folder.path(), &report);
    EXPECT_TRUE(report.cutOff);
    EXPECT_EQ(report.file, "journal-000003.jsonl");
    EXPECT_EQ(report.lineNumber, 1u);
    EXPECT_EQ(report.lastSeq, 2u);
    EXPECT_EQ(report.Describe(),
              "journal-000003.jsonl line 1: the last line is cut off (a crash while it was written); "
              "the last whole seq before it is 2");

    std::filesystem::remove(JournalFilePath(folder.path(), 2));
    ReadAll(folder.path(), &report);
    EXPECT_FALSE(report.cutOff);
    EXPECT_EQ(report.file, "journal-000003.jsonl");
    EXPECT_EQ(report.problem, "the file before it, journal-000002.jsonl, is missing");
}

TEST(Journal, SetsACutLastLineAsideAndGoesOnFromTheLastWholeSeq) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path());
        ASSERT_TRUE(journal->Append(Opened("A"), 0));
        ASSERT_TRUE(journal->Append(Opened("B"), 0));
    }
    const std::string path = JournalFilePath(folder.path(), 1);
    const std::string whole = ReadText(path);
    const std::string torn = "{\"seq\":3,\"time\":\"1970-01-01T00:0";
    WriteText(path, whole + torn);

    auto journal = OpenJournal(folder.path());
    EXPECT_EQ(journal->LastSeq(), 2u);
    EXPECT_EQ(ReadText(path), whole);
    EXPECT_EQ(ReadText(JournalFilePath(folder.path(), 1, ".torn")), torn);
    const auto found = journal->TakeStartEvents();
    ASSERT_EQ(found.size(), 1u); // a torn line is no alarm: only the crash's own write is lost
    const Event& setAside = found.front();
    EXPECT_EQ(setAside.kind, "torn-line-set-aside");
    EXPECT_EQ(setAside.fields, (Json{{"file", "journal-000001.torn"}, {"bytes", torn.size()}, {"afterSeq", 2}}));
    EXPECT_TRUE(journal->TakeStartEvents().empty());
    ASSERT_EQ(journal->Append(setAside, 0)->seq, 3u);
    EXPECT_EQ(ReadAll(folder.path()).size(), 3u);
}


TEST(Journal, AJournalFileThatCannotBeReadIsNamed) {
    TempFolder folder;
    std::filesystem::create_directory(JournalFilePath(folder.path(), 1)); // a folder where a file belongs
    Journal::OpenStatus status{};
    std::string error;
    EXPECT_FALSE(Journal::Open(JournalOptions{folder.path()}, status, error));
    EXPECT_EQ(status, Journal::OpenStatus::Unusable);
    EXPECT_EQ(error, JournalFilePath(folder.path(), 1) + ": cannot be read: not a regular file");
    JournalReport report;
    ReadAll(folder.path(), &report);
    EXPECT_EQ(report.Describe(),
              "journal-000001.jsonl line 1: the file cannot be read: not a regular file; the last whole seq before it is 0");
    EXPECT_TRUE(report.unreadable);
}

TEST(Journal, ASecondWriterIsRefused) {
    TempFolder folder;
    auto first = OpenJournal(folder.path());
    Journal::OpenStatus status{};
    std::string error;
    EXPECT_FALSE(Journal::Open(JournalOptions{folder.path()}, status, error));
    EXPECT_EQ(status, Journal::OpenStatus::HeldByAnother);
    EXPECT_NE(error.find("another agent writes this journal"), std::string::npos) << error;
    first.reset();
    EXPECT_TRUE(Journal::Open(JournalOptions{folder.path()}, status, error)) << error;
}

TEST(Journal, AFolderThatCannotBeMadeIsUnusable) {
    TempFolder folder;
    WriteText(folder / "file", "not a folder");
    Journal::OpenStatus status{};
    std::string error;
    EXPECT_FALSE(Journal::Open(JournalOptions{folder / "file/journal"}, status, error));
    EXPECT_EQ(status, Journal::OpenStatus::Unusable);
    EXPECT_EQ(error, folder / "file/journal/journal.lock: Not a directory");
}

TEST(Journal, AFullDiskLeavesWholeLinesAndTheNumberUnused) {
    TempFolder folder;
    auto journal = OpenJournal(folder.path());
    ASSERT_TRUE(journal->Append(Opened("A"), 0));
    const std::string path = JournalFilePath(folder.path(), 1);
    const std::string before = ReadText(path);
    {
        FileSizeLimit limit(before.size() + 40); // part of the next line fits
        EXPECT_FALSE(journal->Append(Opened("B"), 0));
        EXPECT_NE(journal->Failure().find("File too large"), std::string::npos) << journal->Failure();
    }
    EXPECT_EQ(ReadText(path), before);
    EXPECT_EQ(journal->LastSeq(), 1u);
    const auto next = journal->Append(Opened("B"), 0);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->seq, 2u);
    EXPECT_TRUE(journal->Failure().empty());
    EXPECT_EQ(ReadAll(folder.path()).size(), 2u);
}

// kill -9 while appending as fast as it can: whatever the moment, the
// journal verifies or has a cut last line only, and the next writer sets
// that line aside and goes on from the last whole seq.
TEST(Journal, AKillMidWriteCostsAtMostTheLastLine) {
    TempFolder folder;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Journal::OpenStatus status{};
        std::string error;
        auto journal = Journal::Open(JournalOptions{folder.path(), 4096}, status, error);
        for (;;) {
            Event event{kind::kKick};
            event.fields["drawer"] = std::string(200, 'k'); // long lines: more time inside each write
            journal->Append(event, 0);
        }
    }
    ::usleep(150'000);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    JournalReport report;
    ReadAll(folder.path(), &report);
    ASSERT_TRUE(report.ok || report.cutOff) << report.Describe();
    ASSERT_GT(report.lastSeq, 0u);
    const uint64_t lastWhole = report.lastSeq;

    auto journal = OpenJournal(folder.path(), 4096);
    EXPECT_EQ(journal->LastSeq(), lastWhole);
    EXPECT_EQ(journal->TakeStartEvents().size(), report.cutOff ? 1u : 0u);
    ASSERT_EQ(journal->Append(Opened("after"), 0)->seq, lastWhole + 1);
    ReadAll(folder.path(), &report);
    EXPECT_TRUE(report.ok) << report.Describe();
}

} // namespace
} // namespace cashdrawer::agent
