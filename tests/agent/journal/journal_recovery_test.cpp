// What the journal does at its opening with a journal that is not as it
// left it: lines lost, lines changed, a stray file, links and FIFOs put
// where its files belong. It never takes them silently, never stops the
// agent over them, and never numbers a line with a seq that may have been
// seen before.
#include "agent_test_support.h"

#include "journal/journal_cursor.h"
#include "journal/journal_line.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>

namespace cashdrawer::agent {
namespace {

using namespace testing;
namespace fs = std::filesystem;

Event Opened(const std::string& drawer) {
    Event event{kind::kOpened};
    event.fields["drawer"] = drawer;
    event.fields["raw"] = 1;
    return event;
}

class JournalRecovery : public ::testing::Test {
public: // (the damage table's lambdas reach in)
    // Three lines a file (the first file's first line is longer: it names the chain).
    const uint64_t fileBytes = 3 * (ComposeLine(1, FormatUtcMillis(0), Opened("A"), kGenesisHash).size() + 1) + 44;

    // `lines` events, closed cleanly: the head is saved.
    void Write(int lines) {
        auto journal = OpenJournal(folder.path(), fileBytes);
        for (int i = 0; i < lines; ++i) {
            ASSERT_TRUE(journal->Append(Opened("A"), 1000 * i));
        }
        chain = journal->ChainId();
    }
    std::unique_ptr<Journal> Reopen(uint64_t acknowledged = 0) {
        Journal::OpenStatus status{};
        std::string error;
        JournalOptions options{folder.path(), fileBytes};
        options.acknowledgedSeq = acknowledged;
        auto journal = Journal::Open(options, status, error);
        EXPECT_TRUE(journal) << error;
        return journal;
    }
    // The start events journalled, as the agent does first, then one more.
    std::vector<JournalledEvent> JournalStartEvents(Journal& journal) {
        std::vector<JournalledEvent> written;
        for (const Event& event : journal.TakeStartEvents()) {
            written.push_back(*journal.Append(event, 0));
        }
        written.push_back(*journal.Append(Opened("after"), 0));
        return written;
    }
    std::string Path(uint32_t number, const char* extension = ".jsonl") const {
        return JournalFilePath(folder.path(), number, extension);
    }
    // Line `index` (from 0) of a file replaced.
    void ReplaceLine(uint32_t number, std::size_t index, const std::string& line) {
        auto lines = Lines(ReadText(Path(number)));
        lines.at(index) = line;
        std::string text;
        for (const auto& each : lines) {
            text += each + "\n";
        }
        WriteText(Path(number), text);
    }

    TempFolder folder;
    std::string chain;
};

TEST_F(JournalRecovery, LostLinesRaiseACutAndTheNumberingSkipsPastEverySeqThatMayHaveBeenSeen) {
    const struct {
        const char* name;
        std::vector<uint32_t> filesDeleted; // of 1-4 (lines 1-3, 4-6, 7-9, 10)
        uint64_t acknowledged;
        uint64_t expectedSeq; // 0: no alarm
        const char* expectedFrom;
        uint64_t foundSeq;
    } cases[] = {
        {"the newest files deleted; the head remembers seq 10", {3, 4}, 0, 10, "journal-head.json", 6},
        {"every file deleted, the head kept", {1, 2, 3, 4}, 0, 10, "journal-head.json", 0},
        {"the head office acknowledged far past the end", {}, 99999999, 99999999, "fleet-acked.json", 10},
        {"the head office acknowledged one past the end", {}, 11, 11, "fleet-acked.json", 10},
        {"the head office acknowledged the end", {}, 10, 0, "", 10},
        {"the head office acknowledged less", {}, 9, 0, "", 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(folder.path());
        Write(10);
        const std::string headHash = Lines(ReadText(Path(4))).back().substr(Lines(ReadText(Path(4))).back().size() - 66, 64);
        for (uint32_t number : c.filesDeleted) {
            fs::remove(Path(number));
        }
        auto journal = Reopen(c.acknowledged);
        ASSERT_TRUE(journal);
        EXPECT_EQ(journal->ChainId(), chain) << "the same till's chain, lines lost from it";
        const auto written = JournalStartEvents(*journal);
        if (c.expectedSeq == 0) {
            ASSERT_EQ(written.size(), 1u);
            EXPECT_EQ(written[0].seq, 11u);
            continue;
        }
        ASSERT_EQ(written.size(), 2u);
        const JournalledEvent& alarm = written[0];
        EXPECT_EQ(alarm.kind, "journal-cut");
        const uint64_t next = c.expectedSeq + kMaxEventsInFlight + 1;
        EXPECT_EQ(alarm.seq, next);
        EXPECT_EQ(alarm.fields["expectedSeq"], c.expectedSeq);
        EXPECT_EQ(alarm.fields["expectedFrom"], c.expectedFrom);
        EXPECT_EQ(alarm.fields["foundSeq"], c.foundSeq);
        EXPECT_EQ(alarm.fields["nextSeq"], next);
        EXPECT_EQ(alarm.fields.contains("expectedHash"), std::string(c.expectedFrom) == "journal-head.json");
        if (alarm.fields.contains("expectedHash")) {
            EXPECT_EQ(alarm.fields["expectedHash"], headHash);
        }
        EXPECT_EQ(written[1].seq, next + 1);

        // verify: every line as written, the alarm named; the cursor
        // (the publisher's and the streams' road) reads across the jump.
        JournalReport report;
        ReadAll(folder.path(), &report);
        EXPECT_TRUE(report.ok) << report.Describe();
        ASSERT_EQ(report.alarms.size(), 1u);
        EXPECT_EQ(report.alarms[0].rfind("seq " + std::to_string(next) + " journal-cut: the journal ends at seq " +
                                             std::to_string(c.foundSeq) + ", before seq " + std::to_string(c.expectedSeq),
                                         0),
                  0u)
            << report.alarms[0];
        JournalCursor cursor(folder.path(), 100);
        cursor.SeekAfter(c.acknowledged);
        std::vector<uint64_t> seqs;
        cursor.Read(100, [&](const JournalledEvent& event) { seqs.push_back(event.seq); });
        EXPECT_EQ(cursor.Problem(), "");
        ASSERT_GE(seqs.size(), 2u);
        EXPECT_EQ(std::vector<uint64_t>(seqs.end() - 2, seqs.end()), (std::vector<uint64_t>{next, next + 1}));
    }
}

// A re-imaged till: journal, head and all gone. A new chain, which the
// head office tells from the old one; nothing to raise an alarm about.
TEST_F(JournalRecovery, AJournalWipedWholeStartsANewChain) {
    Write(4);
    fs::remove_all(folder.path());
    auto journal = Reopen();
    EXPECT_NE(journal->ChainId(), chain);
    EXPECT_EQ(journal->ChainId().size(), 32u);
    const auto written = JournalStartEvents(*journal);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].seq, 1u);
    EXPECT_EQ(written[0].fields["chain"], journal->ChainId());
    EXPECT_EQ(ChainIdOf(written[0]), journal->ChainId());
}

TEST_F(JournalRecovery, LinesThatDoNotFollowAreSetAsideAndTheJournalGoesOn) {
    const struct {
        const char* name;
        std::function<void(JournalRecovery&)> damage; // of file 3: seq 7, 8, 9
        uint64_t line;                                // the first set aside, in file 3
        uint64_t linesSetAside;
        const char* problem;
        uint64_t highestSeen;
    } cases[] = {
        {"the last line edited",
         [](JournalRecovery& t) {
             std::string text = ReadText(t.Path(3));
             text.replace(text.rfind("\"drawer\":\"A\""), 12, "\"drawer\":\"Z\"");
             WriteText(t.Path(3), text);
         },
         3, 1, "the line was changed: its hash does not match its text", 9},
        {"a middle line edited",
         [](JournalRecovery& t) {
             std::string text = ReadText(t.Path(3));
             text.replace(text.find("\"raw\":1", text.find('\n')), 7, "\"raw\":0");
             WriteText(t.Path(3), text);
         },
         2, 2, "the line was changed: its hash does not match its text", 9},
        {"the file's first line edited: the link to the file before",
         [](JournalRecovery& t) {
             std::string text = ReadText(t.Path(3));
             text[text.find("\"prev\":\"") + 8] ^= 1; // one hex digit of the link
             WriteText(t.Path(3), text);
         },
         1, 3, "the line was changed: its hash does not match its text", 9},
        {"the last line re-hashed with seq 2^64-1",
         [](JournalRecovery& t) {
             const auto lines = Lines(ReadText(t.Path(3)));
             const std::string prev = lines[1].substr(lines[1].size() - 66, 64);
             t.ReplaceLine(3, 2, ComposeLine(std::numeric_limits<uint64_t>::max(), FormatUtcMillis(0), Opened("A"), prev));
         },
         3, 1, "the line does not follow the one before it in the chain", 9},
        {"the last line re-hashed as a jump that is no alarm",
         [](JournalRecovery& t) {
             const auto lines = Lines(ReadText(t.Path(3)));
             const std::string prev = lines[1].substr(lines[1].size() - 66, 64);
             t.ReplaceLine(3, 2, ComposeLine(20, FormatUtcMillis(0), Opened("A"), prev));
         },
         3, 1, "the line does not follow the one before it in the chain", 20},
        {"a line that is no journal line",
         [](JournalRecovery& t) { WriteText(t.Path(3), ReadText(t.Path(3)) + "hello\n"); }, 4, 1, "not a journal line",
         10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(folder.path());
        Write(9);
        const auto before = Lines(ReadText(Path(3)));
        c.damage(*this);
        const auto damaged = Lines(ReadText(Path(3)));
        auto journal = Reopen();
        ASSERT_TRUE(journal) << "the agent serves on";
        const auto written = JournalStartEvents(*journal);
        ASSERT_EQ(written.size(), 2u);
        const JournalledEvent& alarm = written[0];
        EXPECT_EQ(alarm.kind, "journal-altered");
        EXPECT_EQ(alarm.fields["problem"], c.problem);
        EXPECT_EQ(alarm.fields["file"], "journal-000003.jsonl");
        EXPECT_EQ(alarm.fields["line"], c.line);
        EXPECT_EQ(alarm.fields["lines"], c.linesSetAside);
        EXPECT_EQ(alarm.fields["setAside"], "journal-000003.altered");
        EXPECT_EQ(alarm.fields["expectedSeq"], 6 + c.line);
        const uint64_t next = c.highestSeen + kMaxEventsInFlight + 1;
        EXPECT_EQ(alarm.seq, next);
        // The lines set aside are kept, byte for byte; the file keeps those before.
        std::string setAside;
        for (std::size_t i = c.line - 1; i < damaged.size(); ++i) {
            setAside += damaged[i] + "\n";
        }
        EXPECT_EQ(ReadText(Path(3, ".altered")), setAside);
        const auto kept = Lines(ReadText(Path(3)));
        ASSERT_GE(kept.size(), c.line - 1); // (the new lines after them, or in the next file)
        EXPECT_EQ(std::vector<std::string>(kept.begin(), kept.begin() + (c.line - 1)),
                  std::vector<std::string>(before.begin(), before.begin() + (c.line - 1)));
        JournalReport report;
        ReadAll(folder.path(), &report);
        EXPECT_TRUE(report.ok) << report.Describe();
        EXPECT_EQ(report.alarms.size(), 1u);
    }
}

// The journal's first file starts at the genesis: its first line re-hashed
// onto another link is set aside. A journal whose first files are gone
// starts where its oldest line says, up to the largest seq, where its
// numbering ends (no line is ever numbered past it, nor from 0 again).
TEST_F(JournalRecovery, TheFirstLineOfTheFirstFileLinksToTheGenesisAndALaterFirstFileToItself) {
    {
        auto journal = OpenJournal(folder.path());
        ASSERT_TRUE(journal->Append(Opened("A"), 0));
    }
    fs::remove(folder / "journal-head.json");
    WriteText(Path(1), ComposeLine(1, FormatUtcMillis(0), Opened("A"), std::string(63, '0') + "1") + "\n");
    {
        auto journal = Reopen();
        const auto written = JournalStartEvents(*journal);
        ASSERT_EQ(written.size(), 2u);
        EXPECT_EQ(written[0].kind, "journal-altered");
        EXPECT_EQ(written[0].fields["problem"], "the line does not follow the one before it in the chain");
    }
    // A later file alone: its first line is taken as it stands, and the
    // lines after it must follow it.
    fs::remove_all(folder.path());
    fs::create_directories(folder.path());
    const std::string tenth = ComposeLine(10, FormatUtcMillis(0), Opened("A"), std::string(64, '7'));
    WriteText(Path(3), tenth + "\n" + ComposeLine(11, FormatUtcMillis(0), Opened("A"), std::string(64, '8')) + "\n");
    {
        auto journal = Reopen();
        const auto written = JournalStartEvents(*journal);
        ASSERT_EQ(written.size(), 2u);
        EXPECT_EQ(written[0].kind, "journal-altered");
        EXPECT_EQ(written[0].fields["line"], 2);
        EXPECT_EQ(written[0].fields["expectedPrev"], HashOfLine(tenth));
    }
    fs::remove_all(folder.path());
    fs::create_directories(folder.path());
    WriteText(Path(3), ComposeLine(kMaxSeq, FormatUtcMillis(0), Opened("A"), std::string(64, '7')) + "\n");
    auto journal = Reopen();
    EXPECT_EQ(journal->LastSeq(), kMaxSeq);
    EXPECT_TRUE(journal->TakeStartEvents().empty());
    EXPECT_FALSE(journal->Append(Opened("B"), 0));
    EXPECT_EQ(journal->Failure(), "the journal's numbering is at its end (seq 9007199254740991)");
}

// With two files, the newest one's first line links to the first file's last.
TEST_F(JournalRecovery, TheSecondFilesFirstLineLinksToTheFirstFilesLast) {
    Write(5); // seq 1-3 and 4-5
    const auto lines = Lines(ReadText(Path(2)));
    ASSERT_EQ(lines.size(), 2u);
    ReplaceLine(2, 0, ComposeLine(4, FormatUtcMillis(0), Opened("A"), std::string(64, '7')));
    auto journal = Reopen();
    const auto written = JournalStartEvents(*journal);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0].kind, "journal-altered");
    EXPECT_EQ(written[0].fields["line"], 1);
    EXPECT_EQ(written[0].fields["lines"], 2);
}

// The last line swapped for another with a right hash and link: the file
// reads well, but it is not the line the journal was closed with.
TEST_F(JournalRecovery, ALastLineRewrittenWholeIsToldByTheHead) {
    Write(9);
    const auto lines = Lines(ReadText(Path(3)));
    const std::string prev = lines[1].substr(lines[1].size() - 66, 64);
    ReplaceLine(3, 2, ComposeLine(9, FormatUtcMillis(0), Opened("Z"), prev));
    auto journal = Reopen();
    const auto written = JournalStartEvents(*journal);
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0].kind, "journal-altered");
    EXPECT_EQ(written[0].fields["problem"], "the journal's last line is not the one it was closed with");
    EXPECT_EQ(written[0].fields["expectedHash"], lines[2].substr(lines[2].size() - 66, 64));
    EXPECT_EQ(written[0].seq, 10u) << "nothing was lost: no seq to skip";
}

// Another till's journal copied in, this one's head kept: every line reads
// well, but the chain is not the one closed here.
TEST_F(JournalRecovery, AnotherChainInPlaceOfTheOneClosedHereIsAnAlarm) {
    Write(3);
    const std::string head = ReadText(folder / "journal-head.json");
    const std::string ours = chain;
    fs::remove_all(folder.path());
    Write(3); // another till's: a chain of its own
    const std::string theirs = chain;
    ASSERT_NE(theirs, ours);
    WriteText(folder / "journal-head.json", head);
    auto journal = Reopen();
    EXPECT_EQ(journal->ChainId(), theirs);
    const auto written = JournalStartEvents(*journal);
    ASSERT_GE(written.size(), 2u);
    const JournalledEvent& alarm = written[written.size() - 2];
    EXPECT_EQ(alarm.kind, "journal-altered");
    EXPECT_EQ(alarm.fields["problem"], "the journal is another chain than the one closed here");
    EXPECT_EQ(alarm.fields["expectedChain"], ours);
    EXPECT_EQ(alarm.fields["foundChain"], theirs);
}

TEST_F(JournalRecovery, AStrayFileIsSetAsideAndTheNextLinesGoWhereTheyBelong) {
    const struct {
        uint32_t number;
        bool stray;
    } cases[] = {{999999, true}, {4, true}, {3, false}}; // files 1 and 2 hold seq 1-5
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        fs::remove_all(folder.path());
        Write(5);
        WriteText(Path(c.number), "");
        auto journal = Reopen();
        const auto written = JournalStartEvents(*journal);
        EXPECT_EQ(written.back().seq, c.stray ? 7u : 6u) << "nothing lost: no seq skipped";
        EXPECT_EQ(fs::exists(Path(c.number)), !c.stray);
        EXPECT_EQ(fs::exists(Path(c.number, ".stray")), c.stray);
        if (c.stray) {
            EXPECT_EQ(written[0].kind, "journal-altered");
            EXPECT_EQ(written[0].fields["file"], fs::path(Path(c.number)).filename().string());
            EXPECT_EQ(Lines(ReadText(Path(3))).size(), 2u) << "the new lines in the file after seq 5's";
        }
        JournalReport report;
        ReadAll(folder.path(), &report);
        EXPECT_TRUE(report.ok) << report.Describe();
        EXPECT_EQ(report.alarms.size(), c.stray ? 1u : 0u);
    }
}

TEST(JournalLink, EachLineFollowsTheOneBeforeOrDeclaresItsJump) {
    const std::string hash(64, 'a');
    std::string other = hash;
    other.back() = 'b';
    const struct {
        uint64_t seq;
        std::string prev;
        const char* kind;
        Link link;
    } cases[] = {
        {8, hash, "opened", Link::Follows},
        {8, hash, "journal-cut", Link::Follows},
        {9, hash, "opened", Link::Broken},
        {9, hash, "journal-cut", Link::DeclaredBreak},
        {9, hash, "journal-altered", Link::DeclaredBreak},
        {9, hash, "journal-cuts", Link::Broken},
        {7, hash, "journal-cut", Link::Broken}, // a seq seen before, never
        {6, hash, "journal-cut", Link::Broken},
        {8, other, "opened", Link::Broken},
        {9, other, "journal-cut", Link::Broken},
        {kMaxSeq, hash, "journal-cut", Link::DeclaredBreak},
        {kMaxSeq + 1, hash, "journal-cut", Link::Broken},
    };
    for (const auto& c : cases) {
        ParsedLine line;
        line.event.seq = c.seq;
        line.event.kind = c.kind;
        line.prev = c.prev;
        EXPECT_EQ(LinkOf(7, hash, line), c.link) << c.seq << " " << c.kind;
    }
}

// Links, FIFOs and folders others write: the journal's own files are never
// followed elsewhere, never waited on, and never made through a link.
TEST(JournalFiles, ALinkOrAFifoWhereAJournalFileBelongsIsRefused) {
    const struct {
        const char* name; // in the journal folder
        const char* kind; // "link", "dangling", "fifo"
        const char* says;
    } cases[] = {
        {"journal-000001.jsonl", "link", "a symbolic link, which the agent never follows"},
        {"journal-000001.jsonl", "fifo", "not a regular file"},
        {"journal.lock", "dangling", "a symbolic link, which the agent never follows"},
        {"journal.lock", "fifo", "not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.kind);
        TempFolder outside;
        TempFolder folder;
        const std::string target = outside / "target";
        const std::string path = folder / c.name;
        if (std::string(c.kind) == "fifo") {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        } else {
            if (std::string(c.kind) == "link") {
                WriteText(target, "not the agent's\n");
            }
            fs::create_symlink(target, path);
        }
        Journal::OpenStatus status{};
        std::string error;
        EXPECT_FALSE(Journal::Open(JournalOptions{folder.path()}, status, error));
        EXPECT_EQ(status, Journal::OpenStatus::Unusable);
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(fs::exists(target) ? ReadText(target) : "(none)",
                  std::string(c.kind) == "link" ? "not the agent's\n" : "(none)");
    }
}

TEST(JournalFiles, ATornLineIsNeverSetAsideThroughALink) {
    TempFolder outside;
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path());
        ASSERT_TRUE(journal->Append(Opened("A"), 0));
    }
    const std::string path = JournalFilePath(folder.path(), 1);
    WriteText(path, ReadText(path) + "{\"seq\":2,\"ti");
    fs::create_symlink(outside / "made", JournalFilePath(folder.path(), 1, ".torn"));
    Journal::OpenStatus status{};
    std::string error;
    EXPECT_FALSE(Journal::Open(JournalOptions{folder.path()}, status, error));
    EXPECT_NE(error.find("could not be set aside"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(outside / "made"));
}

// The journal's files are the agent's account's to write and its group's
// to read (a log shipper's), never every account's.
TEST(JournalFiles, EachFileTheJournalMakesIsReadableByItsGroupAlone) {
    TempFolder folder;
    const mode_t mask = ::umask(0); // the modes as the agent asks for them
    {
        auto journal = OpenJournal(folder.path());
        ASSERT_TRUE(journal->Append(Opened("A"), 0));
    }
    WriteText(JournalFilePath(folder.path(), 1), ReadText(JournalFilePath(folder.path(), 1)) + "{\"seq\":2");
    OpenJournal(folder.path()); // sets the torn line aside
    ::umask(mask);
    for (const char* name : {"journal-000001.jsonl", "journal.lock", "journal-000001.torn"}) {
        EXPECT_EQ(fs::status(folder / name).permissions(),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read)
            << name;
    }
}

TEST(JournalFiles, AFolderOtherAccountsWriteIsRefusedUnlessSaid) {
    const struct {
        fs::perms mode;
        bool shared;
        bool opened;
    } cases[] = {
        {fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec, false, true},
        {fs::perms::owner_all | fs::perms::group_all, false, true}, // a service group the administrator chose
        {fs::perms::all, false, false},
        {fs::perms::owner_all | fs::perms::others_write | fs::perms::others_exec, false, false},
        {fs::perms::all | fs::perms::sticky_bit, false, false}, // as /tmp is
        {fs::perms::all, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        TempFolder folder;
        fs::permissions(folder.path(), c.mode);
        Journal::OpenStatus status{};
        std::string error;
        JournalOptions options{folder.path()};
        options.folderMayBeShared = c.shared;
        EXPECT_EQ(Journal::Open(options, status, error) != nullptr, c.opened) << error;
        if (!c.opened) {
            EXPECT_EQ(error, "refused: every account may write to the folder; the journal needs a folder only the "
                             "agent's account writes (or JournalFolderShared=yes)");
            EXPECT_FALSE(fs::exists(folder / "journal.lock")) << "refused before anything is made in it";
        }
    }
    if (::geteuid() == 0) {
        // An account's own folder, seen as that account (not root): taken.
        TempFolder own;
        ASSERT_EQ(::chown(own.path().c_str(), 4321, 4321), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::_exit(::setegid(4321) == 0 && ::seteuid(4321) == 0 && ForeignFolderProblem(own.path()).empty() ? 0 : 1);
        }
        int status = 1;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a folder of the agent's own account was refused";
    }
    if (::geteuid() == 0) { // a folder of another account: only root can make one here
        TempFolder folder;
        ASSERT_EQ(::chown(folder.path().c_str(), 4321, 4321), 0);
        Journal::OpenStatus status{};
        std::string error;
        EXPECT_FALSE(Journal::Open(JournalOptions{folder.path()}, status, error));
        EXPECT_EQ(error.rfind("refused: the folder belongs to another account (uid 4321)", 0), 0u) << error;
    }
}

// A file before the newest with no whole line (emptied, or cut within its
// first line) says nothing of where the newest file's chain starts: its
// first line is taken as it stands, and nothing is set aside.
TEST_F(JournalRecovery, AnEmptyFileBeforeTheNewestLeavesItsFirstLineAsItStands) {
    Write(3); // seq 1-3, one file
    fs::rename(Path(1), Path(2));
    WriteText(Path(1), "");
    auto journal = Reopen();
    EXPECT_TRUE(journal->TakeStartEvents().empty());
    EXPECT_EQ(journal->LastSeq(), 3u);
}

// The file helpers the recovery leans on: a cut that cannot be made says
// so, and a read that works leaves no words of failure behind.
TEST(JournalFiles, ACutThatCannotBeMadeFailsAndAGoodReadSaysNothing) {
    TempFolder folder;
    EXPECT_FALSE(TruncateFile(folder / "missing", 0));
    const std::string path = folder / "file";
    WriteText(path, "0123456789");
    EXPECT_TRUE(TruncateFile(path, 4));
    EXPECT_EQ(ReadText(path), "0123");
    std::string why;
    const auto bytes = ReadFileChunk(path, 1, 10, &why);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, "123");
    EXPECT_EQ(why, "");
    const auto whole = ReadFileBytes(path, 100, &why);
    ASSERT_TRUE(whole);
    EXPECT_EQ(*whole, "0123");
    EXPECT_EQ(why, "");
    // A read the system fails (this process's memory at address 0: EIO) is
    // no read of nothing.
    const auto failed = ReadFileChunk("/proc/self/mem", 0, 16, &why);
    EXPECT_FALSE(failed) << "read " << (failed ? failed->size() : 0) << " bytes";
    EXPECT_EQ(why, std::strerror(EIO));
}

TEST(JournalFiles, VerifyNamesAFifoOrALinkAndReadsNeitherWithoutEnd) {
    for (const bool fifo : {true, false}) {
        TempFolder folder;
        const std::string path = JournalFilePath(folder.path(), 1);
        if (fifo) {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        } else {
            fs::create_symlink("/dev/zero", path);
        }
        JournalReport report;
        ReadAll(folder.path(), &report);
        EXPECT_TRUE(report.unreadable);
        EXPECT_EQ(report.Describe(), std::string("journal-000001.jsonl line 1: the file cannot be read: ") +
                                         (fifo ? "not a regular file" : "a symbolic link, which the agent never follows") +
                                         "; the last whole seq before it is 0");
    }
}

} // namespace
} // namespace cashdrawer::agent
