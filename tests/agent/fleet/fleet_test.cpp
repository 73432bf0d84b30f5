#include "agent_test_support.h"
#include "bridge/bridge_service.h"
#include "fleet/fleet_publisher.h"
#include "fleet/fleet_service.h"
#include "fleet/reconnect.h"
#include "fleet/fleet_view.h"
#include "journal/journal_cursor.h"
#include "journal/journal_line.h"
#include "watch/system_log.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace cashdrawer::agent {
namespace {

using testing::OpenJournal;
using testing::TempFolder;

constexpr int64_t kT0 = 1'796'733'296'789;

// A journal of `count` events: an agent-started, then the drawer closing
// and opening in turn.
void AppendEvents(Journal& journal, int count, const std::string& drawer = "A") {
    for (int i = 0; i < count; ++i) {
        const bool open = journal.LastSeq() % 2 == 0;
        Event event{open ? kind::kOpened : kind::kClosed, Json{{"drawer", drawer}, {"raw", open ? 1 : 0}}};
        if (!open) {
            event.fields["openMs"] = 100;
        }
        ASSERT_TRUE(journal.Append(event, kT0 + static_cast<int64_t>(journal.LastSeq())));
    }
}

std::vector<uint64_t> Read(JournalCursor& cursor, std::size_t max) {
    std::vector<uint64_t> seqs;
    cursor.Read(max, [&](const JournalledEvent& event) { seqs.push_back(event.seq); });
    return seqs;
}

std::vector<uint64_t> Range(uint64_t first, uint64_t last) {
    std::vector<uint64_t> seqs;
    for (uint64_t seq = first; seq <= last; ++seq) {
        seqs.push_back(seq);
    }
    return seqs;
}

// 12 events over several 4 KiB files, each file holding some whole lines.
TEST(JournalCursor, ReadsOnFromAnySeqAcrossFilesInBatches) {
    TempFolder folder;
    auto journal = OpenJournal(folder.path(), 4096);
    for (int i = 0; i < 12; ++i) {
        Event big{kind::kOpened, Json{{"drawer", "A"}, {"note", std::string(1500, 'x')}}};
        ASSERT_TRUE(journal->Append(big, kT0));
    }
    ASSERT_GE(ListJournalFiles(folder.path()).size(), 4u);
    const struct {
        uint64_t after;
        std::size_t batch;
    } rows[] = {{0, 5}, {1, 3}, {2, 100}, {3, 1}, {5, 4}, {11, 2}, {12, 5}, {20, 5}};
    for (const auto& row : rows) {
        JournalCursor cursor(folder.path(), 1000); // chunks smaller than a line
        cursor.SeekAfter(row.after);
        std::vector<uint64_t> seqs;
        for (std::vector<uint64_t> batch; !(batch = Read(cursor, row.batch)).empty();) {
            EXPECT_LE(batch.size(), row.batch);
            seqs.insert(seqs.end(), batch.begin(), batch.end());
        }
        EXPECT_EQ(seqs, row.after < 12 ? Range(row.after + 1, 12) : std::vector<uint64_t>{}) << "after " << row.after;
        EXPECT_EQ(cursor.Problem(), "") << "after " << row.after;
        EXPECT_EQ(cursor.Position(), std::max<uint64_t>(row.after, 12));
    }
}

// Whatever the chunk size, each whole line is handed at the first read:
// a chunk of a single byte (the last line's newline alone) is data too.
TEST(JournalCursor, ChunksOfAnySizeHandEveryWholeLineAtOnce) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path());
        AppendEvents(*journal, 2);
    }
    const std::size_t firstLine = testing::Lines(testing::ReadText(JournalFilePath(folder.path(), 1))).at(0).size() + 1;
    for (const std::size_t chunk : {std::size_t{1}, firstLine - 1, firstLine, firstLine + 1, std::size_t{64 * 1024}}) {
        JournalCursor cursor(folder.path(), chunk);
        EXPECT_EQ(Read(cursor, 10), Range(1, 2)) << "chunks of " << chunk;
    }
}

// A seek starts in the file that holds the seq: the files before it are
// not read again (here the first one is spoilt, and nothing notices).
TEST(JournalCursor, ASeekReadsNoFileBeforeTheOneThatHoldsTheSeq) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path(), 4096);
        for (int i = 0; i < 8; ++i) {
            ASSERT_TRUE(journal->Append(Event{kind::kOpened, Json{{"note", std::string(1500, 'x')}}}, kT0));
        }
    }
    ASSERT_GE(ListJournalFiles(folder.path()).size(), 3u);
    // Its first line stays, to be found; the rest is spoilt.
    const std::string first = JournalFilePath(folder.path(), 1);
    testing::WriteText(first, testing::Lines(testing::ReadText(first)).at(0) + "\nspoilt\n");
    // After the last seq of a file, the next file alone is read: seeking
    // after the first file's last line never touches the first file.
    const Json secondFilesFirst =
        Json::parse(testing::Lines(testing::ReadText(JournalFilePath(folder.path(), 2))).at(0));
    const uint64_t firstFilesLast = secondFilesFirst["seq"].get<uint64_t>() - 1;
    for (const uint64_t after : {firstFilesLast, uint64_t{6}}) {
        JournalCursor cursor(folder.path());
        cursor.SeekAfter(after);
        EXPECT_EQ(Read(cursor, 10), Range(after + 1, 8)) << "after " << after;
        EXPECT_EQ(cursor.Problem(), "") << "after " << after;
    }
    // A seek back to the start goes to the first file again, even from a
    // later one and with the first's opening line spoilt: it says so,
    // rather than reading on where the cursor stood.
    JournalCursor cursor(folder.path());
    EXPECT_EQ(Read(cursor, 10), Range(1, 1)) << "the first file's one good line";
    cursor.SeekAfter(firstFilesLast);
    EXPECT_EQ(Read(cursor, 10), Range(firstFilesLast + 1, 8));
    testing::WriteText(first, "spoilt\n");
    cursor.SeekAfter(0);
    EXPECT_EQ(Read(cursor, 10), std::vector<uint64_t>{});
    EXPECT_EQ(cursor.Problem().rfind("journal-000001.jsonl: ", 0), 0u) << cursor.Problem();
}

// Many files: the seek lands in the file that holds the seq, at either
// edge of it, and reads from there.
TEST(JournalCursor, ASeekFindsTheFileAtItsFirstAndLastLine) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path(), 4096);
        for (int i = 0; i < 40; ++i) {
            ASSERT_TRUE(journal->Append(Event{kind::kOpened, Json{{"note", std::string(1500, 'x')}}}, kT0));
        }
    }
    const auto files = ListJournalFiles(folder.path());
    ASSERT_GE(files.size(), 13u);
    std::vector<uint64_t> firstSeqs; // of each file, by its place
    for (const auto& file : files) {
        firstSeqs.push_back(Json::parse(testing::Lines(testing::ReadText(file.path)).at(0))["seq"].get<uint64_t>());
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        const uint64_t first = firstSeqs[i];
        const uint64_t last = i + 1 < files.size() ? firstSeqs[i + 1] - 1 : 40;
        const struct {
            uint64_t after;
            uint32_t file; // the file the next line is in
        } rows[] = {{first - 1, files[i].number}, {first, files[i].number}, {last - 1, files[i].number}};
        for (const auto& row : rows) {
            JournalCursor cursor(folder.path());
            cursor.SeekAfter(row.after);
            EXPECT_EQ(cursor.FileNumber(), row.file) << "after " << row.after;
            EXPECT_EQ(Read(cursor, 2), Range(row.after + 1, std::min<uint64_t>(row.after + 2, 40))) << "after " << row.after;
            EXPECT_EQ(cursor.Problem(), "") << "after " << row.after;
        }
    }
    JournalCursor pastTheEnd(folder.path());
    pastTheEnd.SeekAfter(40);
    EXPECT_EQ(pastTheEnd.FileNumber(), files.back().number);
    EXPECT_EQ(Read(pastTheEnd, 5), std::vector<uint64_t>{});
    EXPECT_EQ(pastTheEnd.Problem(), "");
}

// The lines before the place sought are skipped by their seq alone: one
// spoilt there is not this reader's to find (verify finds it), and the
// lines after it are handed.
TEST(JournalCursor, LinesBeforeThePlaceSoughtAreSkippedUnchecked) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path());
        AppendEvents(*journal, 6);
    }
    const std::string path = JournalFilePath(folder.path(), 1);
    auto lines = testing::Lines(testing::ReadText(path));
    lines[1].replace(lines[1].find("raw\":0"), 6, "raw\":7");
    testing::WriteText(path, testing::Joined(lines));
    JournalCursor cursor(folder.path());
    cursor.SeekAfter(2);
    EXPECT_EQ(Read(cursor, 10), Range(3, 6));
    EXPECT_EQ(cursor.Problem(), "");
    cursor.SeekAfter(1); // the spoilt line is now the first to hand
    EXPECT_EQ(Read(cursor, 10), std::vector<uint64_t>{});
    EXPECT_EQ(cursor.Problem(), "journal-000001.jsonl: a line after seq 1 is not a whole, unaltered journal line");
}

// The newest seq, read from the end of the newest files: a file just
// begun, with no line yet, and a line still being written do not count.
TEST(JournalCursor, TheNewestSeqIsTheLastWholeLine) {
    TempFolder folder;
    EXPECT_EQ(NewestJournalSeq(folder.path()), 0u) << "no journal yet";
    {
        auto journal = OpenJournal(folder.path(), 4096);
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(journal->Append(Event{kind::kOpened, Json{{"note", std::string(1500, 'x')}}}, kT0));
        }
    }
    EXPECT_EQ(NewestJournalSeq(folder.path()), 5u);
    const auto files = ListJournalFiles(folder.path());
    const std::string newest = JournalFilePath(folder.path(), files.back().number + 1);
    testing::WriteText(newest, "");
    EXPECT_EQ(NewestJournalSeq(folder.path()), 5u) << "a file just begun";
    testing::WriteText(newest, R"({"seq":6,"time":"2026-12-08T12:34:51.789Z","kind":"clo)");
    EXPECT_EQ(NewestJournalSeq(folder.path()), 5u) << "a line still being written";
    const std::string only = testing::ReadText(files.front().path);
    std::filesystem::remove(newest);
    for (const auto& file : files) {
        std::filesystem::remove(file.path);
    }
    testing::WriteText(JournalFilePath(folder.path(), 1), only.substr(0, only.find('\n') + 1));
    EXPECT_EQ(NewestJournalSeq(folder.path()), 1u) << "a file of one line";
}

// Files larger than a read of their end, and first lines longer than the
// first small read of a file: the newest seq and a seek come out the same.
TEST(JournalCursor, LongFilesAndLongLinesReadTheSame) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path(), 400 * 1024);
        for (int i = 0; i < 120; ++i) {
            ASSERT_TRUE(journal->Append(Event{kind::kOpened, Json{{"note", std::string(6000, 'x')}}}, kT0));
        }
    }
    const auto files = ListJournalFiles(folder.path());
    ASSERT_GE(files.size(), 2u);
    ASSERT_GT(std::filesystem::file_size(files.front().path), 256u * 1024);
    EXPECT_EQ(NewestJournalSeq(folder.path()), 120u);
    for (const uint64_t after : {uint64_t{0}, uint64_t{1}, uint64_t{59}, uint64_t{118}, uint64_t{119}}) {
        JournalCursor cursor(folder.path());
        cursor.SeekAfter(after);
        EXPECT_EQ(Read(cursor, 1), std::vector<uint64_t>{after + 1}) << "after " << after;
        EXPECT_EQ(cursor.Problem(), "");
    }
}

// A file whose first line is no journal line counts as past every seq: a
// seek lands in the file before it and reads on to the spoilt line.
TEST(JournalCursor, AFileWhoseFirstLineIsSpoiltIsNoPlaceToStart) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path(), 4096);
        for (int i = 0; i < 9; ++i) {
            ASSERT_TRUE(journal->Append(Event{kind::kOpened, Json{{"note", std::string(1500, 'x')}}}, kT0));
        }
    }
    ASSERT_GE(ListJournalFiles(folder.path()).size(), 3u);
    const uint64_t thirdsFirst = Json::parse(testing::Lines(testing::ReadText(JournalFilePath(folder.path(), 3))).at(0))["seq"].get<uint64_t>();
    const std::string second = testing::ReadText(JournalFilePath(folder.path(), 2));
    const uint64_t secondsFirst = Json::parse(testing::Lines(second).at(0))["seq"].get<uint64_t>();
    testing::WriteText(JournalFilePath(folder.path(), 3), "spoilt\n");
    JournalCursor cursor(folder.path());
    cursor.SeekAfter(secondsFirst);
    EXPECT_EQ(cursor.FileNumber(), 2u);
    EXPECT_EQ(Read(cursor, 10), Range(secondsFirst + 1, thirdsFirst - 1));
    EXPECT_EQ(cursor.Problem(), "journal-000003.jsonl: a line after seq " + std::to_string(thirdsFirst - 1) +
                                    " is not a whole, unaltered journal line");
}

// The longest line a seek or the newest seq reads is 256 KiB with its line
// end: a first or last line of that length is found, one a byte longer is
// nobody's journal line (the seek starts a file earlier, the newest seq is
// the file before's).
TEST(JournalCursor, ALineOf256KiBIsReadAndOneAByteLongerIsNot) {
    constexpr std::size_t kLongest = 256 * 1024;
    std::size_t base = 0; // a second line's length with an empty note, its line end included
    {
        TempFolder scratch;
        auto journal = OpenJournal(scratch.path());
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(journal->Append(Event{kind::kOpened, Json{{"note", ""}}}, kT0));
        }
        base = testing::Lines(testing::ReadText(JournalFilePath(scratch.path(), 1))).at(1).size() + 1;
    }
    for (const std::size_t length : {kLongest, kLongest + 1}) {
        SCOPED_TRACE(length);
        TempFolder folder;
        {
            auto journal = OpenJournal(folder.path(), 4096); // each line past the first in a file of its own
            ASSERT_TRUE(journal->Append(Event{kind::kOpened, Json{{"note", ""}}}, kT0));
            ASSERT_TRUE(journal->Append(Event{kind::kOpened, Json{{"note", std::string(length - base, 'x')}}}, kT0));
        }
        ASSERT_EQ(std::filesystem::file_size(JournalFilePath(folder.path(), 2)), length);
        const bool read = length == kLongest;
        EXPECT_EQ(NewestJournalSeq(folder.path()), read ? 2u : 1u);
        JournalCursor cursor(folder.path());
        cursor.SeekAfter(1);
        EXPECT_EQ(cursor.FileNumber(), read ? 2u : 1u);
        EXPECT_EQ(Read(cursor, 5), std::vector<uint64_t>{2}) << "read on from there either way";
    }
}

// An event stream's reader: a read after the place it stopped goes on
// from there; a read after another place seeks it; after a problem, the
// next read seeks again (the line may have been set aside meanwhile).
TEST(JournalCursor, AStreamsReaderSeeksWhenAskedForAnotherPlace) {
    TempFolder folder;
    {
        auto journal = OpenJournal(folder.path());
        AppendEvents(*journal, 10);
    }
    auto reader = MakeCursorReader(folder.path());
    const auto read = [&](uint64_t after, std::size_t max) {
        std::vector<uint64_t> seqs;
        reader->Read(after, max, [&](const JournalledEvent& event) { seqs.push_back(event.seq); });
        return seqs;
    };
    EXPECT_EQ(reader->NewestSeq(), 10u);
    EXPECT_EQ(read(5, 3), Range(6, 8));
    EXPECT_EQ(read(8, 3), Range(9, 10));
    EXPECT_EQ(read(2, 2), Range(3, 4)) << "back";
    EXPECT_EQ(read(10, 5), std::vector<uint64_t>{});
    const std::string path = JournalFilePath(folder.path(), 1);
    const std::string whole = testing::ReadText(path);
    auto lines = testing::Lines(whole);
    lines[6].replace(lines[6].find("raw\":1"), 6, "raw\":0");
    testing::WriteText(path, testing::Joined(lines));
    EXPECT_EQ(read(5, 5), std::vector<uint64_t>{6});
    EXPECT_NE(reader->Problem(), "");
    testing::WriteText(path, whole);
    EXPECT_EQ(read(6, 5), Range(7, 10));
    EXPECT_EQ(reader->Problem(), "");
}

TEST(JournalCursor, TakesWhatIsAppendedLaterAndLeavesALineStillBeingWritten) {
    TempFolder folder;
    auto journal = OpenJournal(folder.path());
    AppendEvents(*journal, 3);
    JournalCursor cursor(folder.path());
    EXPECT_EQ(Read(cursor, 10), Range(1, 3));
    EXPECT_EQ(Read(cursor, 10), std::vector<uint64_t>{});
    AppendEvents(*journal, 2);
    // Half of a next line, as a reader may meet it while the agent writes.
    const std::string path = JournalFilePath(folder.path(), 1);
    const std::string whole = testing::ReadText(path);
    const std::string half = R"({"seq":6,"time":"2026-12-08T12:34:51.789Z","kind":"clo)";
    testing::WriteText(path, whole + half);
    EXPECT_EQ(Read(cursor, 10), Range(4, 5));
    EXPECT_EQ(cursor.Problem(), "");
    testing::WriteText(path, whole); // the writer cut it off again
    journal.reset();
    journal = OpenJournal(folder.path());
    AppendEvents(*journal, 1);
    EXPECT_EQ(Read(cursor, 10), std::vector<uint64_t>{6});
}

// Each stops the cursor where it is, naming the file, and hands nothing
// past the fault.
// Four lines of a journal kept elsewhere, for another drawer: whole lines,
// each hash in order, none of them in our chain.
std::vector<std::string> LinesOfAnotherJournal() {
    TempFolder elsewhere;
    {
        auto other = OpenJournal(elsewhere.path());
        AppendEvents(*other, 4, "B");
    }
    return testing::Lines(testing::ReadText(JournalFilePath(elsewhere.path(), 1)));
}

// The file's text with its line `at` replaced by that other journal's line `from`.
std::function<std::string(const std::vector<std::string>&)> WithLineOfAnotherJournal(std::size_t at, std::size_t from) {
    return [at, from](const std::vector<std::string>& lines) {
        auto l = lines;
        l[at] = LinesOfAnotherJournal()[from];
        return testing::Joined(l);
    };
}

TEST(JournalCursor, StopsAtALineAlteredRemovedOrCutBeforeTheEnd) {
    const struct {
        const char* what;
        std::function<std::string(const std::vector<std::string>&)> alter; // the first file's new text
        std::vector<uint64_t> handed;
        const char* problem; // after the file's name
    } rows[] = {
        {"altered", [](const auto& lines) { auto l = lines; l[2].replace(l[2].find("raw\":1"), 6, "raw\":0"); return testing::Joined(l); }, {1, 2},
         "a line after seq 2 is not a whole, unaltered journal line"},
        {"removed", [](const auto& lines) { auto l = lines; l.erase(l.begin() + 1); return testing::Joined(l); }, {1},
         "seq 3 does not follow seq 1 in the chain"},
        // A whole line of the same seq, but from another journal: its own
        // hash holds, the link to the line before does not.
        {"spliced from another journal", WithLineOfAnotherJournal(2, 2), {1, 2},
         "seq 3 does not follow seq 2 in the chain"},
        // The first file must open the chain: its first line follows the
        // chain's start, not some other line.
        {"begun with another journal's second line", WithLineOfAnotherJournal(0, 1), {},
         "seq 2 does not follow seq 0 in the chain"},
        {"cut before a later file", [](const auto& lines) { return testing::Joined(lines) + "{\"seq\":"; }, {1, 2, 3, 4},
         "its last line is cut off, and a later file follows"},
    };
    for (const auto& row : rows) {
        TempFolder folder;
        {
            auto journal = OpenJournal(folder.path());
            AppendEvents(*journal, 4);
        }
        const std::string first = JournalFilePath(folder.path(), 1);
        testing::WriteText(first, row.alter(testing::Lines(testing::ReadText(first))));
        testing::WriteText(JournalFilePath(folder.path(), 2), "");
        JournalCursor cursor(folder.path());
        EXPECT_EQ(Read(cursor, 10), row.handed) << row.what;
        EXPECT_EQ(cursor.Problem(), std::string("journal-000001.jsonl: ") + row.problem) << row.what;
        EXPECT_EQ(Read(cursor, 10), std::vector<uint64_t>{}) << row.what;
    }
}

// What the broker was sent, and the acknowledgements a test hands back.
class RecordingLink final : public MqttLink {
public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retain;
        int id;
    };
    std::optional<int> Publish(const std::string& topic, const std::string& payload, bool retain) override {
        if (down) {
            return std::nullopt;
        }
        sent.push_back({topic, payload, retain, nextId});
        return nextId++;
    }
    std::vector<Message> On(const std::string& topicEnd) const {
        std::vector<Message> found;
        for (const auto& message : sent) {
            if (message.topic.size() >= topicEnd.size() &&
                message.topic.compare(message.topic.size() - topicEnd.size(), topicEnd.size(), topicEnd) == 0) {
                found.push_back(message);
            }
        }
        return found;
    }
    std::vector<uint64_t> EventSeqs() const {
        std::vector<uint64_t> seqs;
        for (const auto& message : On("/events")) {
            seqs.push_back(Json::parse(message.payload)["seq"].get<uint64_t>());
        }
        return seqs;
    }
    std::vector<Message> sent;
    int nextId = 1;
    bool down = false;
};

class MemoryAckStore final : public AckStore {
public:
    uint64_t Load() override { return saved; }
    bool Save(uint64_t seq) override {
        saves.push_back(seq);
        if (failSaves) {
            return false;
        }
        saved = seq;
        return true;
    }
    uint64_t saved = 0;
    std::vector<uint64_t> saves;
    bool failSaves = false;
};

class FleetPublisherTest : public ::testing::Test {
protected:
    FleetOptions Options() const { return FleetOptions{"store-7", "till-2", "mqtt://broker:1883", "1.2.3", "4.5.6", 4}; }
    FleetPublisher Make() { return FleetPublisher(Options(), {{"A", 1}}, link, folder.path(), acks); }
    // Acknowledges every event message sent so far that is not yet acknowledged.
    void AckAll(FleetPublisher& publisher) {
        for (; acked < link.sent.size(); ++acked) {
            publisher.Acked(link.sent[acked].id);
        }
    }

    TempFolder folder;
    std::unique_ptr<Journal> journal = OpenJournal(folder.path());
    RecordingLink link;
    MemoryAckStore acks;
    std::size_t acked = 0;
};

TEST_F(FleetPublisherTest, SendsEachJournalLineAsItStandsInOrderWithinItsWindow) {
    AppendEvents(*journal, 6);
    FleetPublisher publisher = Make();
    publisher.Step(0);
    EXPECT_TRUE(link.sent.empty()) << "nothing goes before the connection";
    publisher.Connected();
    publisher.Step(0);
    EXPECT_EQ(link.EventSeqs(), Range(1, 4)) << "four in flight at most";
    const auto lines = testing::Lines(testing::ReadText(JournalFilePath(folder.path(), 1)));
    const auto events = link.On("/events");
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].topic, "cashdrawer/v1/store-7/till-2/events");
        EXPECT_EQ(events[i].payload, lines[i]);
        EXPECT_FALSE(events[i].retain);
    }
    // Acknowledging the second alone frees one place and moves nothing.
    publisher.Acked(events[1].id);
    EXPECT_EQ(publisher.Status().ackedSeq, 0u);
    publisher.Step(0);
    EXPECT_EQ(link.EventSeqs(), Range(1, 5));
    publisher.Acked(events[0].id);
    EXPECT_EQ(publisher.Status().ackedSeq, 2u) << "the first and the second, acknowledged out of order";
    publisher.Acked(events[3].id);
    EXPECT_EQ(publisher.Status().ackedSeq, 2u);
    publisher.Acked(events[2].id);
    EXPECT_EQ(publisher.Status().ackedSeq, 4u);
    publisher.Acked(9999); // a message id it never sent
    EXPECT_EQ(publisher.Status().ackedSeq, 4u);
    publisher.Step(0);
    EXPECT_EQ(link.EventSeqs(), Range(1, 6));
    EXPECT_EQ(publisher.Status().journalSeq, 6u);
}

TEST_F(FleetPublisherTest, AfterADropOrARefusalEverythingUnacknowledgedGoesAgain) {
    AppendEvents(*journal, 3);
    FleetPublisher publisher = Make();
    publisher.Connected();
    publisher.Step(0);
    const auto first = link.On("/events");
    publisher.Acked(first[0].id);
    publisher.Dropped("the connection to the broker failed: The connection was lost.");
    EXPECT_EQ(publisher.Status().state, "connecting");
    EXPECT_EQ(publisher.Status().cause, "the connection to the broker failed: The connection was lost.");
    publisher.Acked(first[1].id); // the old session's late word counts for nothing
    AppendEvents(*journal, 1);
    publisher.Step(0);
    EXPECT_EQ(link.EventSeqs(), Range(1, 3)) << "nothing goes while the link is down";
    publisher.Connected();
    EXPECT_EQ(publisher.Status().state, "connected");
    EXPECT_EQ(publisher.Status().cause, "");
    publisher.Step(0);
    EXPECT_EQ(link.EventSeqs(), (std::vector<uint64_t>{1, 2, 3, 2, 3, 4}));
    EXPECT_EQ(publisher.Status().ackedSeq, 1u);

    publisher.Refused("the broker refused the connection: Connection Refused: not authorised.");
    EXPECT_EQ(publisher.Status().state, "failing");
    publisher.Connected();
    publisher.Step(0);
    EXPECT_EQ(link.EventSeqs(), (std::vector<uint64_t>{1, 2, 3, 2, 3, 4, 2, 3, 4}));
}

TEST_F(FleetPublisherTest, AMessageTheClientCannotQueueIsSentAgainFromTheJournal) {
    AppendEvents(*journal, 2);
    FleetPublisher publisher = Make();
    publisher.Connected();
    publisher.Step(0);
    AckAll(publisher);
    AppendEvents(*journal, 2);
    link.down = true;
    publisher.Step(0);
    EXPECT_EQ(publisher.Status().state, "connecting");
    link.down = false;
    publisher.Step(0);
    EXPECT_EQ(link.EventSeqs(), Range(1, 2)) << "it waits for the link's own word";
    publisher.Connected();
    publisher.Step(0);
    EXPECT_EQ(link.EventSeqs(), Range(1, 4));
}

// The seq saved survives the agent: a new publisher starts after it. It is
// written at most once a second, and at the stop.
TEST_F(FleetPublisherTest, TheAcknowledgedSeqIsSavedAtMostOnceASecondAndTheNextRunStartsAfterIt) {
    AppendEvents(*journal, 5);
    {
        FleetPublisher publisher = Make();
        publisher.Connected();
        publisher.Step(1000);
        publisher.Acked(link.On("/events")[0].id);
        EXPECT_EQ(publisher.Step(1000), 2000);
        EXPECT_EQ(acks.saves, (std::vector<uint64_t>{1})) << "saved at once: nothing was saved before";
        publisher.Acked(link.On("/events")[1].id);
        EXPECT_EQ(publisher.Step(1999), 2000);
        EXPECT_EQ(acks.saves, (std::vector<uint64_t>{1}));
        EXPECT_EQ(publisher.Step(2000), 3000);
        EXPECT_EQ(acks.saves, (std::vector<uint64_t>{1, 2}));
        publisher.Acked(link.On("/events")[2].id);
        const auto offline = publisher.Stop();
        EXPECT_EQ(acks.saves, (std::vector<uint64_t>{1, 2, 3}));
        ASSERT_TRUE(offline);
        const auto last = link.sent.back();
        EXPECT_EQ(last.id, *offline);
        EXPECT_EQ(last.topic, "cashdrawer/v1/store-7/till-2/health");
        EXPECT_TRUE(last.retain);
        // Since the time of the journal's last line, the stop's.
        EXPECT_EQ(Json::parse(last.payload),
                  Json::parse(R"({"online":false,"site":"store-7","terminal":"till-2","why":"the agent was stopped",)"
                              R"("since":")" + testing::ReadAll(folder.path()).back().time + R"("})"));
    }
    link.sent.clear();
    FleetPublisher again = Make();
    EXPECT_EQ(again.Status().ackedSeq, 3u);
    again.Connected();
    again.Step(0);
    EXPECT_EQ(link.EventSeqs(), Range(4, 5));
    EXPECT_TRUE(again.Stop()) << "still connected, so the offline health goes";
    EXPECT_EQ(acks.saves, (std::vector<uint64_t>{1, 2, 3})) << "the seq it started from is not written again";
}

TEST_F(FleetPublisherTest, AStopWhileDisconnectedSendsNothingAndASaveThatFailsIsTriedAgain) {
    AppendEvents(*journal, 2);
    FleetPublisher publisher = Make();
    publisher.Connected();
    publisher.Step(0);
    acks.failSaves = true;
    AckAll(publisher);
    publisher.Step(5000);
    publisher.Step(5500);
    EXPECT_EQ(acks.saves, (std::vector<uint64_t>{2})) << "once a second, failed or not";
    acks.failSaves = false;
    publisher.Step(6000);
    EXPECT_EQ(acks.saved, 2u);
    publisher.Dropped("lost");
    const std::size_t sent = link.sent.size();
    EXPECT_FALSE(publisher.Stop());
    EXPECT_EQ(link.sent.size(), sent);
}

TEST_F(FleetPublisherTest, HealthIsRetainedAndSentAgainOnlyWhenItChanges) {
    FleetPublisher publisher = Make();
    publisher.Connected();
    publisher.Step(0);
    auto health = link.On("/health");
    ASSERT_EQ(health.size(), 1u);
    EXPECT_TRUE(health[0].retain);
    // (No line yet: the chain is named with the journal's first.)
    EXPECT_EQ(Json::parse(health[0].payload), Json::parse(R"({"online":true,"chain":"","site":"store-7","terminal":"till-2",
        "agent":"1.2.3","library":"4.5.6","drawers":[{"id":"A","reachable":null}],"journal":{"ok":true,"alarms":[]},
        "lastSeq":0,"lastEventTime":null})"));
    AppendEvents(*journal, 3); // read: reachable now
    ASSERT_TRUE(journal->Append(Event{kind::kUnreachable, Json{{"drawer", "A"}, {"result", -2}, {"reason", "no port"}}}, kT0));
    publisher.Step(0);
    publisher.Step(0);
    health = link.On("/health");
    ASSERT_EQ(health.size(), 2u) << "open and closed change no health";
    EXPECT_EQ(Json::parse(health[1].payload)["drawers"], Json::parse(R"([{"id":"A","reachable":false,"reason":"no port"}])"));
    publisher.SetJournalHealth(false, "disk full");
    publisher.Step(0);
    health = link.On("/health");
    ASSERT_EQ(health.size(), 3u);
    EXPECT_EQ(Json::parse(health[2].payload)["journal"], Json::parse(R"({"ok":false,"alarms":[],"failure":"disk full"})"));
    // A reconnection sends it again: the broker may hold the Will by now.
    publisher.Dropped("lost");
    publisher.Connected();
    publisher.Step(0);
    EXPECT_EQ(link.On("/health").size(), 4u);
}

// The health carries the newest seq and its time, for a watch that starts
// after the events: sent with any change of state at once, and on its own
// at most once a period (the events topic has every event as it comes).
TEST_F(FleetPublisherTest, TheHealthsSeqFollowsWithinAPeriodAndALeftOpenDrawerIsToldAtOnce) {
    AppendEvents(*journal, 2);
    FleetPublisher publisher = Make();
    publisher.Connected();
    publisher.Step(0);
    AckAll(publisher);
    const auto lastLine = [&] { return testing::ReadAll(folder.path()).back(); };
    auto health = Json::parse(link.On("/health").back().payload);
    EXPECT_EQ(health["lastSeq"], 2u);
    EXPECT_EQ(health["lastEventTime"], lastLine().time);
    AppendEvents(*journal, 2);
    EXPECT_EQ(publisher.Step(59'999), 60'000) << "the period's end is the next thing due";
    AckAll(publisher);
    EXPECT_EQ(link.On("/health").size(), 1u) << "a newer seq alone waits for the period";
    publisher.Step(60'000);
    ASSERT_EQ(link.On("/health").size(), 2u);
    EXPECT_EQ(Json::parse(link.On("/health").back().payload)["lastSeq"], 4u);
    AckAll(publisher);

    ASSERT_TRUE(journal->Append(Event{kind::kOpened, Json{{"drawer", "A"}, {"raw", 1}}}, kT0));
    ASSERT_TRUE(journal->Append(Event{kind::kLeftOpen, Json{{"drawer", "A"}, {"openMs", 30000}}}, kT0));
    publisher.Step(60'001);
    AckAll(publisher);
    ASSERT_EQ(link.On("/health").size(), 3u) << "a drawer left open goes at once";
    health = Json::parse(link.On("/health").back().payload);
    EXPECT_EQ(health["drawers"], Json::parse(R"([{"id":"A","reachable":true,"leftOpen":true}])"));
    EXPECT_EQ(health["lastSeq"], 6u);
    ASSERT_TRUE(journal->Append(Event{kind::kClosed, Json{{"drawer", "A"}, {"raw", 0}}}, kT0));
    publisher.Step(60'002);
    ASSERT_EQ(link.On("/health").size(), 4u) << "and its closing";
    EXPECT_EQ(Json::parse(link.On("/health").back().payload)["drawers"], Json::parse(R"([{"id":"A","reachable":true}])"));
}

// A broker restarted without its store has lost the retained statistics:
// each new session sends them again, within the minute or not.
TEST_F(FleetPublisherTest, AFailureSaysWhenTheNextAttemptIsAndASessionForgetsIt) {
    FleetPublisher publisher = Make();
    publisher.Refused("no answer", "2026-12-09T10:00:04.000Z");
    EXPECT_EQ(publisher.Status().state, "failing");
    EXPECT_EQ(publisher.Status().nextAttempt, "2026-12-09T10:00:04.000Z");
    publisher.Connected();
    EXPECT_EQ(publisher.Status().nextAttempt, "");
    EXPECT_EQ(publisher.Status().cause, "");
    publisher.Dropped("lost", "2026-12-09T10:00:05.000Z");
    EXPECT_EQ(publisher.Status().state, "connecting");
    EXPECT_EQ(publisher.Status().nextAttempt, "2026-12-09T10:00:05.000Z");
}

TEST_F(FleetPublisherTest, EachNewSessionSendsTheStatisticsAgain) {
    AppendEvents(*journal, 2);
    FleetPublisher publisher = Make();
    publisher.Connected();
    publisher.Step(1000);
    ASSERT_EQ(link.On("/statistics").size(), 1u);
    publisher.Dropped("the broker restarted");
    publisher.Connected();
    publisher.Step(2000);
    const auto statistics = link.On("/statistics");
    ASSERT_EQ(statistics.size(), 2u);
    EXPECT_EQ(statistics[1].payload, statistics[0].payload);
    EXPECT_TRUE(statistics[1].retain);
}

// Started with the agent's statistics (from their snapshot), the publisher
// reads the journal on from their last seq: a line before it, spoilt, is
// never read, the figures are the whole journal's, and the chain is still
// named from the first line.
TEST_F(FleetPublisherTest, StartedWithTheAgentsStatisticsItReadsOnFromTheirLastSeq) {
    AppendEvents(*journal, 6);
    Statistics counted;
    for (const auto& event : testing::ReadAll(folder.path())) {
        if (event.seq <= 4) {
            counted.Add(event);
        }
    }
    const std::string chain = journal->ChainId();
    const std::string path = JournalFilePath(folder.path(), 1);
    auto lines = testing::Lines(testing::ReadText(path));
    lines[2].replace(lines[2].find("raw\":1"), 6, "raw\":0");
    testing::WriteText(path, testing::Joined(lines));
    acks.saved = 4; // the broker has the lines up to the spoilt one's place
    FleetPublisher publisher(Options(), {{"A", 1}}, link, folder.path(), acks, &counted);
    publisher.Connected();
    publisher.Step(0);
    EXPECT_EQ(publisher.Status().journalSeq, 6u);
    const auto health = Json::parse(link.On("/health").at(0).payload);
    EXPECT_EQ(health["chain"], chain);
    EXPECT_EQ(health["journal"]["ok"], true) << "the spoilt line lies before the statistics' seq";
    const auto figures = Json::parse(link.On("/statistics").at(0).payload);
    EXPECT_EQ(figures["lastSeq"], 6u);
    EXPECT_EQ(figures["drawers"]["A"]["openings"], 3);
}

TEST_F(FleetPublisherTest, StatisticsGoOnChangeAtMostOnceAMinute) {
    AppendEvents(*journal, 2);
    FleetPublisher publisher = Make();
    publisher.Connected();
    publisher.Step(10'000);
    auto statistics = link.On("/statistics");
    ASSERT_EQ(statistics.size(), 1u);
    EXPECT_TRUE(statistics[0].retain);
    EXPECT_EQ(Json::parse(statistics[0].payload)["drawers"]["A"]["openings"], 1);
    AckAll(publisher);
    EXPECT_EQ(publisher.Step(20'000), 21'000) << "unchanged: nothing due but the next look";
    EXPECT_EQ(link.On("/statistics").size(), 1u);
    AppendEvents(*journal, 2);
    EXPECT_EQ(publisher.Step(30'000), 31'000) << "the minute ends later than the next look";
    AckAll(publisher);
    EXPECT_EQ(publisher.Step(69'500), 70'000) << "the minute since the last, before the next look";
    EXPECT_EQ(link.On("/statistics").size(), 1u) << "changed, but within the minute";
    publisher.Step(69'999);
    EXPECT_EQ(link.On("/statistics").size(), 1u);
    publisher.Step(70'000);
    statistics = link.On("/statistics");
    ASSERT_EQ(statistics.size(), 2u);
    EXPECT_EQ(Json::parse(statistics[1].payload)["drawers"]["A"]["openings"], 2);
    // While the link is down nothing is due but the next look.
    publisher.Dropped("lost");
    AppendEvents(*journal, 2);
    EXPECT_EQ(publisher.Step(129'500), 130'500);
}

TEST(FleetReconnect, WaitsOneSecondDoubledUpToHalfAMinute) {
    const std::pair<unsigned, int64_t> rows[] = {{0, 0},      {1, 1000},   {2, 2000},   {3, 4000},
                                                 {5, 16'000}, {6, 30'000}, {7, 30'000}, {40, 30'000}};
    for (const auto& [failures, delay] : rows) {
        EXPECT_EQ(ReconnectDelayMs(failures), delay) << failures << " failures";
    }
}

TEST(FleetReconnect, EachFailureInARowWaitsLongerAndATakenSessionStartsOver) {
    ReconnectBackoff backoff;
    for (const int64_t full : {1000, 2000, 4000, 8000, 16'000, 30'000, 30'000}) {
        EXPECT_EQ(backoff.WaitAfterFailureMs(1.0), full);
    }
    backoff.SessionTaken();
    // The drawn share scales the wait: half of it at the least.
    EXPECT_EQ(backoff.WaitAfterFailureMs(0.5), 500);
    EXPECT_EQ(backoff.WaitAfterFailureMs(0.75), 1500);
}

TEST(FleetFailureWords, TheFirstWordsOfAFailureTellItAndOnlyIt) {
    FailureWords words;
    EXPECT_EQ(words.Take("the broker cannot be reached: Connection refused"),
              "the broker cannot be reached: Connection refused");
    // The broker's refusal, then the connection lost that follows it.
    words.Note("the broker refused the connection: not authorised");
    words.Note("the connection to the broker failed: the connection was lost");
    EXPECT_EQ(words.Take("the connection to the broker failed: the connection was lost"),
              "the broker refused the connection: not authorised");
    // The next attempt fails its own way: the refusal is not told again.
    EXPECT_EQ(words.Take("the broker cannot be reached: Connection refused"),
              "the broker cannot be reached: Connection refused");
    // A session taken forgets what was noted while it was set up.
    words.Note("certificate verify failed");
    words.Forget();
    EXPECT_EQ(words.Take("the connection to the broker failed: the connection was lost"),
              "the connection to the broker failed: the connection was lost");
}

TEST(FleetFailureWords, ASilentBrokerIsToldAsOneAndTheNextAttemptIsInTheHealth) {
    // The client counts its keep-alive in whole seconds: 29.6 s is 30.
    for (const auto& [waitedMs, seconds] : {std::pair{29'400, "29"}, {29'500, "30"}, {30'000, "30"}, {61'000, "61"}}) {
        EXPECT_EQ(SilentBrokerWords(waitedMs),
                  std::string("the broker took the connection but did not answer it (no CONNACK) within ") + seconds + " s");
    }
    FleetStatus status;
    status.state = "failing";
    status.cause = "no answer";
    status.nextAttempt = "2026-12-09T10:00:04.000Z";
    EXPECT_EQ(status.ToJson(), Json::parse(R"({"state":"failing","ackedSeq":0,"journalSeq":0,"cause":"no answer",)"
                                           R"("nextAttempt":"2026-12-09T10:00:04.000Z"})"));
    status.nextAttempt.clear();
    EXPECT_FALSE(status.ToJson().contains("nextAttempt"));
}

TEST(FleetTopics, NameTheSiteAndTheTerminal) {
    const FleetTopics topics = TopicsOf("s-1", "t_2");
    EXPECT_EQ(topics.health, "cashdrawer/v1/s-1/t_2/health");
    EXPECT_EQ(topics.events, "cashdrawer/v1/s-1/t_2/events");
    EXPECT_EQ(topics.statistics, "cashdrawer/v1/s-1/t_2/statistics");
}

// Each kind its own message id (the Event Log's message table has them) and
// severity; a kick that did not open the drawer is a warning.
TEST(SystemLog, EachKindHasItsIdAndSeverityAndTheJournalLineAsText) {
    const struct {
        const char* kind;
        Json fields;
        uint16_t id;
        LogSeverity severity;
    } rows[] = {
        {kind::kAgentStarted, Json::object(), 1, LogSeverity::Information},
        {kind::kAgentStopped, Json::object(), 2, LogSeverity::Information},
        {kind::kOpened, Json{{"drawer", "A"}}, 10, LogSeverity::Information},
        {kind::kClosed, Json{{"drawer", "A"}}, 11, LogSeverity::Information},
        {kind::kStateChanged, Json{{"drawer", "A"}}, 12, LogSeverity::Information},
        {kind::kKick, Json{{"drawer", "A"}, {"outcome", "opened"}}, 20, LogSeverity::Information},
        {kind::kKick, Json{{"drawer", "A"}, {"outcome", "kicked"}}, 20, LogSeverity::Information},
        {kind::kKick, Json{{"drawer", "A"}, {"outcome", "not-opened"}}, 20, LogSeverity::Warning},
        {kind::kKick, Json{{"drawer", "A"}, {"outcome", "unreachable"}}, 20, LogSeverity::Warning},
        {kind::kLeftOpen, Json{{"drawer", "A"}}, 30, LogSeverity::Warning},
        {kind::kUnreachable, Json{{"drawer", "A"}}, 40, LogSeverity::Error},
        {kind::kReachable, Json{{"drawer", "A"}}, 41, LogSeverity::Information},
        {kind::kTornLineSetAside, Json::object(), 50, LogSeverity::Warning},
        {kind::kEventsLost, Json::object(), 51, LogSeverity::Error},
        {kind::kJournalCut, Json::object(), 52, LogSeverity::Error},
        {kind::kJournalAltered, Json::object(), 53, LogSeverity::Error},
        {kind::kClockJumped, Json::object(), 54, LogSeverity::Warning},
        {"a-kind-from-later", Json::object(), 100, LogSeverity::Information},
    };
    for (const auto& row : rows) {
        JournalledEvent event{7, "2026-12-08T12:34:51.789Z", row.kind, row.fields, "{\"seq\":7}"};
        const SystemLogEntry entry = SystemLogEntryOf(event);
        EXPECT_EQ(entry.eventId, row.id) << row.kind;
        EXPECT_EQ(entry.severity, row.severity) << row.kind << " " << row.fields.dump();
    }
    JournalledEvent opened{7, "", kind::kOpened, Json{{"drawer", "RN340_CashA"}}, "{\"seq\":7}"};
    EXPECT_EQ(SystemLogEntryOf(opened).text, "opened RN340_CashA (seq 7): {\"seq\":7}");
    JournalledEvent started{1, "", kind::kAgentStarted, Json::object(), "{\"seq\":1}"};
    EXPECT_EQ(SystemLogEntryOf(started).text, "agent-started (seq 1): {\"seq\":1}");
}

std::string EventLine(uint64_t seq, const std::string& prev) {
    return Json{{"seq", seq}, {"kind", "opened"}, {"prev", prev}, {"hash", "h" + std::to_string(seq)}}.dump();
}

// The head office's count of what it got: repeats dropped, a seq that
// never came counted once, a line not naming its forerunner's hash a break.
TEST(FleetView, CountsRepeatsMissingSeqsAndBreaksInTheChainPerTerminal) {
    FleetView view;
    const std::string events = "cashdrawer/v1/s1/t1/events";
    const struct {
        uint64_t seq;
        std::string prev;
        uint64_t last, count, repeats, missing, breaks;
    } rows[] = {
        {5, "anything", 5, 1, 0, 0, 0}, // the first seen may be any
        {6, "h5", 6, 2, 0, 0, 0},
        {6, "h5", 6, 2, 1, 0, 0},       // again: dropped
        {4, "h3", 6, 2, 2, 0, 0},       // older: dropped
        {9, "h8", 9, 3, 2, 2, 0},       // 7 and 8 never came
        {10, "h9-altered", 10, 4, 2, 2, 1},
        {11, "h10", 11, 5, 2, 2, 1},
    };
    for (const auto& row : rows) {
        EXPECT_TRUE(view.Take(events, EventLine(row.seq, row.prev)));
        const TerminalView t = view.Terminals().at(0);
        EXPECT_EQ(t.lastSeq, row.last) << row.seq;
        EXPECT_EQ(t.events, row.count) << row.seq;
        EXPECT_EQ(t.repeats, row.repeats) << row.seq;
        EXPECT_EQ(t.missing, row.missing) << row.seq;
        EXPECT_EQ(t.chainBreaks, row.breaks) << row.seq;
    }
    EXPECT_TRUE(view.Take("cashdrawer/v1/s1/t2/events", EventLine(1, std::string(64, '0'))));
    ASSERT_EQ(view.Terminals().size(), 2u);
    EXPECT_EQ(view.Terminals()[1].terminal, "t2");
    EXPECT_EQ(view.Terminals()[1].missing, 0u);
}

std::string HashedLine(uint64_t seq, const std::string& prev, const std::string& hash, const char* kind = "opened") {
    return Json{{"seq", seq}, {"kind", kind}, {"prev", prev}, {"hash", hash}}.dump();
}

// A repeat is the same seq with the same hash; one with another hash is a
// fork, the line next to it in look but not in truth.
TEST(FleetView, TheSameSeqWithAnotherHashIsAForkNeverARepeat) {
    FleetView view;
    const std::string events = "cashdrawer/v1/s/t/events";
    const std::string a(64, 'a'), b(64, 'b'), c(64, 'c');
    std::string bLookAlike = b;
    bLookAlike.back() = 'c'; // differs in its last digit only
    view.Take(events, HashedLine(1, kGenesisHash, a));
    view.Take(events, HashedLine(2, a, b));
    view.Take(events, HashedLine(3, b, c));
    const struct {
        uint64_t seq;
        std::string hash;
        uint64_t repeats, forks;
    } rows[] = {{2, b, 1, 0}, {2, bLookAlike, 1, 1}, {1, a, 2, 1}, {3, c, 3, 1}, {1, b, 3, 2}};
    for (const auto& row : rows) {
        view.Take(events, HashedLine(row.seq, "x", row.hash));
        EXPECT_EQ(view.Terminals()[0].repeats, row.repeats) << row.seq << " " << row.hash;
        EXPECT_EQ(view.Terminals()[0].forks, row.forks) << row.seq << " " << row.hash;
    }
    EXPECT_EQ(view.Terminals()[0].alarms.at(0),
              "fork at seq 2: another line with that seq (hash " + bLookAlike + ", first " + b + ")");
    EXPECT_EQ(view.ToJson()["terminals"][0]["forks"], 2);
    EXPECT_NE(view.Table().find("ALARM fork at seq 2"), std::string::npos) << view.Table();
}

// A till set up anew starts its journal again at seq 1 with a new chain:
// its events are new, not repeats of the old chain's, and the old chain's
// head is kept.
TEST(FleetView, AChainIdChangeStartsANewChainAndKeepsTheOldHead) {
    FleetView view;
    const std::string health = "cashdrawer/v1/s/t/health";
    const std::string events = "cashdrawer/v1/s/t/events";
    const std::string oldChain(32, '1'), newChain(32, '2');
    view.Take(health, Json{{"online", true}, {"chain", oldChain}}.dump());
    for (uint64_t seq = 1; seq <= 55; ++seq) {
        view.Take(events, HashedLine(seq, "h" + std::to_string(seq - 1), "h" + std::to_string(seq)));
    }
    view.Take(health, Json{{"online", true}, {"chain", oldChain}}.dump()); // the same chain: nothing new
    EXPECT_TRUE(view.Terminals()[0].alarms.empty());
    view.Take(health, Json{{"online", true}, {"chain", newChain}}.dump());
    view.Take(events, Json{{"seq", 1}, {"kind", "agent-started"}, {"chain", newChain}, {"prev", kGenesisHash}, {"hash", "n1"}}.dump());
    view.Take(events, HashedLine(2, "n1", "n2"));
    const TerminalView t = view.Terminals()[0];
    EXPECT_EQ(t.lastSeq, 2u);
    EXPECT_EQ(t.repeats, 0u) << "not repeats of the old chain's seq 1 and 2";
    EXPECT_EQ(t.forks, 0u);
    EXPECT_EQ(t.chain, newChain);
    ASSERT_EQ(t.pastChains.size(), 1u);
    EXPECT_EQ(t.pastChains[0].chain, oldChain);
    EXPECT_EQ(t.pastChains[0].lastSeq, 55u);
    EXPECT_EQ(t.alarms, (std::vector<std::string>{"new chain " + newChain + " (the journal was begun anew); chain " +
                                                   oldChain + " ended at seq 55"}));
    EXPECT_EQ(view.ToJson()["terminals"][0]["pastChains"], Json::parse(R"([{"chain":")" + oldChain + R"(","lastSeq":55}])"));
    // A first line naming a chain changes it too, health or not.
    const std::string third(32, '3');
    view.Take(events, Json{{"seq", 1}, {"kind", "agent-started"}, {"chain", third}, {"prev", kGenesisHash}, {"hash", "t1"}}.dump());
    EXPECT_EQ(view.Terminals()[0].chain, third);
    EXPECT_EQ(view.Terminals()[0].pastChains.size(), 2u);
}

// The terminal's own alarms: its journal's cut, with the seqs it skips
// declared (not missing), and the count its health gives of open ones.
TEST(FleetView, AJournalAlarmIsShownAndItsJumpIsNoGap) {
    FleetView view;
    const std::string events = "cashdrawer/v1/s/t/events";
    view.Take(events, HashedLine(44, "h43", "h44"));
    view.Take(events, HashedLine(45, "h44", "h45"));
    view.Take(events, Json{{"seq", 121}, {"kind", "journal-cut"}, {"problem", "the journal ends at seq 45, before seq 55"},
                           {"prev", "h45"}, {"hash", "h121"}}.dump());
    view.Take(events, HashedLine(122, "h121", "h122"));
    view.Take("cashdrawer/v1/s/t/health", R"({"online":true,"journal":{"ok":true,"alarms":[{"seq":121}]}})");
    const TerminalView t = view.Terminals()[0];
    EXPECT_EQ(t.missing, 0u);
    EXPECT_EQ(t.chainBreaks, 0u);
    EXPECT_EQ(t.lastSeq, 122u);
    EXPECT_EQ(t.openJournalAlarms, 1u);
    EXPECT_EQ(t.alarms, (std::vector<std::string>{"seq 121 journal-cut: the journal ends at seq 45, before seq 55"}));
    EXPECT_NE(view.Table().find("1 journal alarm(s) open; ALARM seq 121 journal-cut"), std::string::npos) << view.Table();
    // Acknowledged on the terminal: its next health has none open.
    view.Take("cashdrawer/v1/s/t/health", R"({"online":true,"journal":{"ok":true,"alarms":[]}})");
    EXPECT_EQ(view.Terminals()[0].openJournalAlarms, 0u);
    // A jump that is no alarm is a gap, and an alarm whose link is wrong a break.
    view.Take(events, HashedLine(130, "h129", "h130"));
    view.Take(events, Json{{"seq", 200}, {"kind", "journal-altered"}, {"prev", "wrong"}, {"hash", "h200"}}.dump());
    EXPECT_EQ(view.Terminals()[0].missing, 7u);
    EXPECT_EQ(view.Terminals()[0].chainBreaks, 1u);
}

TEST(FleetView, TakesOnlyItsOwnTopicsAndJsonObjects) {
    const std::pair<std::string, bool> rows[] = {
        {"cashdrawer/v1/s/t/health", true},        {"cashdrawer/v1/s/t/statistics", true},
        {"cashdrawer/v1/s/t/events", true},        {"cashdrawer/v1/s/t/other", false},
        {"cashdrawer/v2/s/t/health", false},       {"cashdrawer/v1/s/health", false},
        {"cashdrawer/v1/s/t/u/health", false},     {"cashdrawer/v1//t/health", false},
        {"cashdrawer/v1/s//health", false},        {"x/cashdrawer/v1/s/t/health", false},
        {"cashdrawer/v1/health", false},
    };
    for (const auto& [topic, taken] : rows) {
        FleetView view;
        EXPECT_EQ(view.Take(topic, R"({"online":true})"), taken) << topic;
        EXPECT_EQ(view.Terminals().size(), taken ? 1u : 0u) << topic;
    }
    FleetView view;
    EXPECT_FALSE(view.Take("cashdrawer/v1/s/t/health", "[true]"));
    EXPECT_FALSE(view.Take("cashdrawer/v1/s/t/health", "{not json"));
    EXPECT_TRUE(view.Terminals().empty());
}

// A retained message of another shape (a wrong type anywhere) costs that
// field, never the watch: it goes on and reads the next message right.
TEST(FleetView, AFieldOfAnotherTypeNeverStopsTheWatch) {
    FleetView view;
    const char* health = "cashdrawer/v1/s/t/health";
    const char* events = "cashdrawer/v1/s/t/events";
    for (const char* payload : {R"({"online":"yes"})", R"({"online":1,"why":5})", R"({"journal":5})",
                                R"({"journal":{"ok":"no"}})", R"({"drawers":[{"reachable":"no","id":5,"reason":[]}]})",
                                R"({"drawers":"many"})"}) {
        EXPECT_TRUE(view.Take(health, payload)) << payload;
    }
    for (const char* payload : {R"({"seq":"5"})", R"({"seq":-1})", R"({"seq":1.5})", R"({"seq":2,"prev":7,"hash":[]})"}) {
        EXPECT_TRUE(view.Take(events, payload)) << payload;
    }
    ASSERT_EQ(view.Terminals().size(), 1u);
    const TerminalView terminal = view.Terminals()[0];
    EXPECT_EQ(terminal.lastSeq, 2u) << "only the event with a seq of the right type counts";
    EXPECT_EQ(terminal.events, 1u);
    EXPECT_EQ(terminal.online, false);
    EXPECT_TRUE(terminal.journalOk) << "an ok of another type is no report of failure";
    EXPECT_EQ(terminal.drawers, 0u);
    for (const char* payload : {R"({"online":true,"journal":5})", R"({"online":true,"journal":{"ok":"no"}})",
                                R"({"online":true,"drawers":[{"reachable":"no","id":5,"reason":[],"leftOpen":"yes"}]})",
                                R"({"online":true,"drawers":"many"})", R"({"online":true,"lastSeq":"9","lastEventTime":7})",
                                R"({"online":false,"since":12})"}) {
        EXPECT_TRUE(view.Take(health, payload)) << payload;
    }
    EXPECT_TRUE(view.Terminals()[0].leftOpen.empty());
    EXPECT_EQ(view.Terminals()[0].NewestSeq(), 2u);
    EXPECT_EQ(view.Terminals()[0].offlineSince, "");
    EXPECT_TRUE(view.Take(health, R"({"online":true,"drawers":[{"id":"A","reachable":false,"reason":"r"},{"id":"B"}]})"));
    EXPECT_EQ(view.Terminals()[0].online, true);
    EXPECT_EQ(view.Terminals()[0].unreachable, (std::vector<std::string>{"A (r)"}));
    EXPECT_EQ(view.Terminals()[0].drawers, 2u);
}

TEST(FleetView, TheTableGivesEachTerminalsStateDrawersAndGaps) {
    FleetView view;
    view.Take("cashdrawer/v1/store-2/till-1/health",
              R"({"online":true,"drawers":[{"id":"A","reachable":true},{"id":"B","reachable":false,"reason":"no port"},)"
              R"({"id":"C","reachable":null}],"journal":{"ok":false,"failure":"disk full"}})");
    view.Take("cashdrawer/v1/store-1/till-9/health",
              R"({"online":false,"why":"the agent vanished: the broker lost its connection"})");
    view.Take("cashdrawer/v1/store-1/till-9/events", EventLine(3, "x"));
    view.Take("cashdrawer/v1/store-1/till-9/events", EventLine(5, "h4"));
    view.Take("cashdrawer/v1/store-3/till-1/statistics", R"({"events":0})");
    EXPECT_EQ(view.Table(),
              "terminal                        state    drawers  last seq  missing  breaks  notes\n"
              "store-1/till-9                  OFFLINE    0/0           5        1       0  "
              "the agent vanished: the broker lost its connection; offline since before this watch\n"
              "store-2/till-1                  online     2/3           0        0       0  "
              "unreachable: B (no port); journal failing\n"
              "store-3/till-1                  ?          0/0           0        0       0  \n");
    const Json json = view.ToJson();
    EXPECT_EQ(json["terminals"][1]["unreachable"], Json::parse(R"j(["B (no port)"])j"));
    EXPECT_EQ(json["terminals"][1]["journalOk"], false);
    EXPECT_EQ(json["terminals"][2]["online"], nullptr);
    // A newer health replaces all of the older one: B came back, the journal
    // mended, and then the agent went away.
    view.Take("cashdrawer/v1/store-2/till-1/health",
              R"({"online":true,"drawers":[{"id":"A","reachable":true},{"id":"B","reachable":true}]})");
    EXPECT_EQ(view.ToJson()["terminals"][1],
              Json::parse(R"({"site":"store-2","terminal":"till-1","online":true,"why":"","offlineSince":null,"drawers":2,)"
                          R"("unreachable":[],"leftOpen":[],"journalOk":true,"lastSeq":0,"lastEventTime":null,)"
                          R"("events":0,"repeats":0,"missing":0,)"
                          R"("chainBreaks":0,"forks":0,"chain":"","pastChains":[],"openJournalAlarms":0,"alarms":[]})"));
    view.Take("cashdrawer/v1/store-2/till-1/health", R"({"online":false,"why":"the agent was stopped"})");
    EXPECT_EQ(view.ToJson()["terminals"][1]["drawers"], 2) << "offline, its drawers are the last ones named";
    EXPECT_EQ(view.ToJson()["terminals"][1]["why"], "the agent was stopped");
    // An event without a seq is no event of the chain: nothing is counted.
    view.Take("cashdrawer/v1/store-2/till-1/events", R"({"kind":"opened"})");
    EXPECT_EQ(view.ToJson()["terminals"][1]["events"], 0);
    EXPECT_EQ(view.ToJson()["terminals"][1]["lastSeq"], 0);
    // A health that does not say it is online is not taken for online.
    view.Take("cashdrawer/v1/store-2/till-1/health", R"({"drawers":[]})");
    EXPECT_EQ(view.ToJson()["terminals"][1]["online"], false);
}

// A watch started after a terminal's events has its newest seq from the
// health; an offline terminal says since when, as far as anyone knows; a
// drawer left open is an alarm on its line.
TEST(FleetView, AWatchStartedLateKnowsTheNewestSeqAndWhenATerminalWentAway) {
    FleetView view;
    const char* health = "cashdrawer/v1/s/t/health";
    const std::string online = R"({"online":true,"drawers":[{"id":"A","reachable":true,"leftOpen":true},)"
                               R"({"id":"B","reachable":true}],"lastSeq":12,"lastEventTime":"2026-12-09T10:00:00.000Z"})";
    view.Take(health, online, "2026-12-09T10:05:00.000Z", true);
    TerminalView seen = view.Terminals().at(0);
    EXPECT_EQ(seen.NewestSeq(), 12u);
    EXPECT_EQ(seen.lastSeq, 0u) << "no event seen: the next one is taken as it stands, no gap counted";
    EXPECT_EQ(seen.lastEventTime, "2026-12-09T10:00:00.000Z");
    EXPECT_EQ(seen.leftOpen, std::vector<std::string>{"A"});
    // The next events: 13 and 14 were sent before the health said so; no gap.
    view.Take("cashdrawer/v1/s/t/events", R"({"seq":15,"time":"2026-12-09T10:06:00.000Z","kind":"opened","prev":"x","hash":"h15"})");
    seen = view.Terminals().at(0);
    EXPECT_EQ(seen.NewestSeq(), 15u);
    EXPECT_EQ(seen.missing, 0u);
    EXPECT_EQ(seen.lastEventTime, "2026-12-09T10:06:00.000Z");
    // An older health (sent before the event) leaves the newest as it is.
    view.Take(health, online, "2026-12-09T10:06:01.000Z", false);
    EXPECT_EQ(view.Terminals().at(0).NewestSeq(), 15u);
    EXPECT_EQ(view.Terminals().at(0).lastEventTime, "2026-12-09T10:06:00.000Z");

    const struct {
        const char* what;
        std::string payload;
        bool retained;
        const char* since;
    } offline[] = {
        {"a Will seen as it came", R"({"online":false,"why":"the agent vanished"})", false, "2026-12-09T10:07:00.000Z"},
        {"a Will the broker held from before", R"({"online":false,"why":"the agent vanished"})", true, ""},
        {"a stop, with its time", R"({"online":false,"why":"the agent was stopped","since":"2026-12-09T10:06:30.000Z"})",
         true, "2026-12-09T10:06:30.000Z"},
    };
    for (const auto& row : offline) {
        FleetView watch;
        watch.Take(health, online, "2026-12-09T10:05:00.000Z", true);
        watch.Take(health, row.payload, "2026-12-09T10:07:00.000Z", row.retained);
        EXPECT_EQ(watch.Terminals().at(0).offlineSince, row.since) << row.what;
        EXPECT_EQ(watch.Terminals().at(0).drawers, 2u) << row.what;
        // A second Will while offline keeps the first time.
        watch.Take(health, row.payload, "2026-12-09T11:00:00.000Z", false);
        EXPECT_EQ(watch.Terminals().at(0).offlineSince, row.since) << row.what;
    }
    view.Take(health, R"({"online":false,"why":"the agent vanished"})", "2026-12-09T10:07:00.000Z"); // live, by default
    EXPECT_EQ(view.Table(), "terminal                        state    drawers  last seq  missing  breaks  notes\n"
                            "s/t                             OFFLINE    2/2          15        0       0  the agent vanished; "
                            "offline since 2026-12-09T10:07:00.000Z; last event 2026-12-09T10:06:00.000Z; LEFT OPEN: A\n");
    const Json json = view.ToJson("2026-12-09T10:08:00.000Z");
    EXPECT_EQ(json["time"], "2026-12-09T10:08:00.000Z");
    EXPECT_EQ(json["terminals"][0]["offlineSince"], "2026-12-09T10:07:00.000Z");
    EXPECT_EQ(json["terminals"][0]["lastSeq"], 15u);
    EXPECT_EQ(json["terminals"][0]["leftOpen"], Json::parse(R"(["A"])"));
    // Back online: no offline time, and the drawers as the health says now.
    view.Take(health, R"({"online":true,"drawers":[{"id":"A","reachable":true}],"lastSeq":16})", "2026-12-09T10:09:00.000Z");
    EXPECT_EQ(view.Terminals().at(0).offlineSince, "");
    EXPECT_TRUE(view.Terminals().at(0).leftOpen.empty());
    EXPECT_EQ(view.Terminals().at(0).NewestSeq(), 16u);
}

TEST(FleetAckStore, KeepsTheSeqInTheJournalFolderAndStartsFromNothingOnAFileItCannotRead) {
    TempFolder folder;
    auto store = MakeFolderAckStore(folder.path());
    EXPECT_EQ(store->Load(), 0u);
    ASSERT_TRUE(store->Save(41));
    EXPECT_EQ(MakeFolderAckStore(folder.path())->Load(), 41u);
    EXPECT_EQ(testing::ReadText(folder / "fleet-acked.json"), "{\"ackedSeq\":41}\n");
    for (const char* text : {"", "{\"ackedSeq\":-3}\n", "[41]", "{\"ackedSeq\":\"41\"}"}) {
        testing::WriteText(folder / "fleet-acked.json", text);
        EXPECT_EQ(store->Load(), 0u) << text;
    }
}

} // namespace
} // namespace cashdrawer::agent
