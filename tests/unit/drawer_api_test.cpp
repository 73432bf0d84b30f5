// The functions beyond the four, on the simulated terminal and its virtual
// clock: waits with their exact pauses, confirmed kicks, the words for each
// failure, the health check and the caller's buffers.
#include "test_terminal.h"

#include "cash_drawer.h"
#include "cash_drawer_version.h"
#include "interface/caller_buffer.h"
#include "interface/drawer_api.h"
#include "interface/utf8_text.h"
#include "interface/wait_for_state.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <regex>

namespace cashdrawer::test {
namespace {

// Where the simulated profile store finds the configuration file.
const std::string kConfigPath = "C:\\POS\\CashDrawerconfig.ini";

// The session on a simulated terminal: one calling thread, and a hook that
// runs after each serialised call (the drawer moving between reads).
class SimSession final : public DrawerSession {
public:
    explicit SimSession(SimTerminal& terminal) : terminal_(terminal) {}

    int Serialised(const std::function<int(DrawerLibrary&)>& call) override {
        const int result = call(terminal_.library);
        errors_.Set(1, terminal_.library.LastFailure());
        ++calls;
        if (afterCall) {
            afterCall(calls);
        }
        return result;
    }
    std::string LastError() override { return errors_.Get(1); }
    void SetLastError(std::string text) override { errors_.Set(1, std::move(text)); }
    Clock& WaitClock() override { return terminal_.clock; }

    int calls = 0;
    std::function<void(int call)> afterCall;

private:
    SimTerminal& terminal_;
    ThreadErrors errors_;
};

std::vector<uint32_t> Pauses(const Trace& trace) {
    std::vector<uint32_t> pauses;
    for (const AccessRecord& record : trace) {
        if (record.op == AccessOp::Pause) {
            pauses.push_back(record.value);
        }
    }
    return pauses;
}

// A wait on a clock that stands still or goes back still ends once it has
// paused as long as its time limit.
TEST(WaitForState, AClockThatStandsStillOrGoesBackStillEndsTheWait) {
    class OddClock final : public Clock {
    public:
        explicit OddClock(int64_t stepMicros) : step_(stepMicros) {}
        void SleepMs(uint32_t ms) override { pauses.push_back(ms); }
        uint64_t NowMicros() override {
            now_ = static_cast<uint64_t>(static_cast<int64_t>(now_) + step_);
            return now_;
        }
        std::unique_ptr<Alarm> MakeAlarm() override { return nullptr; }
        bool WaitMs(Alarm&, uint32_t) override { return false; }
        std::vector<uint32_t> pauses;

    private:
        int64_t step_;
        uint64_t now_ = 10000000;
    };
    struct Case {
        uint32_t timeoutMs;
        std::vector<uint32_t> pauses; // as long as the time limit, or just past it
        int reads;
    };
    for (const int64_t step : {int64_t{0}, int64_t{-7000}}) {
        for (const Case& c : {Case{120, {50, 50, 50}, 4}, Case{100, {50, 50}, 3}}) {
            OddClock clock(step);
            int reads = 0;
            EXPECT_EQ(WaitForState(clock, c.timeoutMs, [&] { return ++reads, 0; }, [](int state) { return state == 1; }),
                      0);
            EXPECT_EQ(clock.pauses, c.pauses) << step << " " << c.timeoutMs;
            EXPECT_EQ(reads, c.reads) << step << " " << c.timeoutMs;
        }
    }
}

// A read that takes a fraction of a millisecond more than a whole number:
// the pause before the next read is rounded up, so no read comes before
// its time (19.6 ms left is a pause of 20, never 19).
TEST(WaitForState, APauseAfterAReadOfAFractionOfAMillisecondIsRoundedUp) {
    class MicroClock final : public Clock {
    public:
        void SleepMs(uint32_t ms) override {
            pauses.push_back(ms);
            now += uint64_t{ms} * 1000u;
        }
        uint64_t NowMicros() override { return now; }
        std::unique_ptr<Alarm> MakeAlarm() override { return nullptr; }
        bool WaitMs(Alarm&, uint32_t) override { return false; }
        std::vector<uint32_t> pauses;
        uint64_t now = 1000000;
    };
    struct Case {
        uint64_t readMicros;
        uint32_t pause;
    };
    for (const Case& c : {Case{30000, 20}, Case{30400, 20}, Case{30999, 20}, Case{31000, 19}, Case{49999, 1}}) {
        MicroClock clock;
        int reads = 0;
        const int result = WaitForState(
            clock, 1000,
            [&] {
                clock.now += c.readMicros;
                return ++reads == 2 ? 1 : 0;
            },
            [](int state) { return state == 1; });
        EXPECT_EQ(result, 1) << c.readMicros;
        EXPECT_EQ(clock.pauses, (std::vector<uint32_t>{c.pause})) << c.readMicros;
    }
}

// The last read falls at the deadline, once: reads at 0, 50, 100 and 120 ms.
TEST(WaitForState, TheLastReadFallsAtTheDeadlineOnce) {
    sim::AccessLog log;
    sim::VirtualClock clock(log);
    std::vector<uint64_t> readsAt;
    EXPECT_EQ(WaitForState(clock, 120, [&] { return readsAt.push_back(clock.NowMicros() / 1000), 0; },
                           [](int state) { return state == 1; }),
              0);
    EXPECT_EQ(readsAt, (std::vector<uint64_t>{0, 50, 100, 120}));

    // Reads of 30 ms with 80 ms to wait: the second ends exactly at the
    // deadline, and no third follows.
    readsAt.clear();
    EXPECT_EQ(WaitForState(clock, 80,
                           [&] {
                               readsAt.push_back(clock.NowMicros() / 1000);
                               clock.SleepMs(30);
                               return 0;
                           },
                           [](int state) { return state == 1; }),
              0);
    EXPECT_EQ(readsAt, (std::vector<uint64_t>{120, 170}));
}

// The wait's cadence on the virtual clock: a read every 50 ms from the
// start of the one before, the last at the deadline, none after success
// or failure; a read that takes longer is followed at once.
TEST(WaitForState, ReadsEveryFiftyMillisecondsUntilTheStateOrTheDeadline) {
    struct Case {
        const char* name;
        std::vector<int> states; // one a read; the last repeats
        uint32_t readTakesMs;
        uint32_t timeoutMs;
        int result;
        std::vector<uint32_t> pauses;
    };
    const Case cases[] = {
        {"reached on the third read", {0, 0, 1}, 0, 1000, 1, {50, 50}},
        {"timed out: the last read at the deadline", {0}, 0, 120, 0, {50, 50, 20}},
        {"no time: one read", {0}, 0, 0, 0, {}},
        {"reached at once", {1}, 0, 500, 1, {}},
        {"unreachable ends the wait at once", {0, -2, 1}, 0, 1000, -2, {50}},
        {"reads that take 30 ms leave 20 ms between them", {0, 0, 1}, 30, 1000, 1, {30, 20, 30, 20, 30}},
        {"reads that take 80 ms follow at once", {0, 0, 1}, 80, 1000, 1, {80, 80, 80}},
    };
    for (const Case& c : cases) {
        sim::AccessLog log;
        sim::VirtualClock clock(log);
        std::size_t reads = 0;
        const int result = WaitForState(
            clock, c.timeoutMs,
            [&] {
                if (c.readTakesMs != 0) {
                    clock.SleepMs(c.readTakesMs);
                }
                return c.states[std::min(reads++, c.states.size() - 1)];
            },
            [](int state) { return state == 1; });
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(Pauses(log.Records()), c.pauses) << c.name;
    }
}

TEST(WaitCashStatus, EachReadIsACallOfItsOwnSoOtherThreadsRunBetween) {
    SimTerminal terminal;
    SimSession session(terminal);
    terminal.ports.Poke(0x53A, 0x04, PortWidth::Byte); // RN340 drawer A: state 0
    EXPECT_EQ(WaitCashStatus(session, "RN340_CashA", 1, 200), CASH_DRAWER_TIMED_OUT);
    EXPECT_EQ(session.calls, 5); // reads at 0, 50, 100, 150 and 200 ms
    EXPECT_EQ(terminal.clock.NowMicros(), 200000u);

    session.afterCall = [&](int call) {
        if (call == 7) {
            terminal.ports.Poke(0x53A, 0x00, PortWidth::Byte); // the drawer closes
        }
    };
    EXPECT_EQ(WaitCashStatus(session, "RN340_CashA", 1, 1000), CASH_DRAWER_REACHED);
    EXPECT_EQ(session.calls, 8);
}

TEST(WaitCashStatus, BadArgumentsAndUnknownDrawersAreRefusedWithTheirReason) {
    struct Case {
        const char* drawerId;
        int state;
        int timeoutMs;
        int result;
        const char* words;
    };
    const Case cases[] = {
        {"RN340_CashA", 2, 100, CASH_DRAWER_BAD_ARGUMENT, "state 0 or 1, not 2"},
        {"RN340_CashA", -1, 100, CASH_DRAWER_BAD_ARGUMENT, "not -1"},
        {"RN340_CashA", 1, -5, CASH_DRAWER_BAD_ARGUMENT, "negative time: -5 ms"},
        {"rn340_casha", 1, 100, CASH_DRAWER_UNKNOWN_ID, "did you mean 'RN340_CashA'"},
        {nullptr, 1, 100, CASH_DRAWER_UNKNOWN_ID, "null pointer"},
        {"KV7100_CashB", 0, 100, CASH_DRAWER_UNKNOWN_ID, "no drawer line of its own"},
    };
    for (const Case& c : cases) {
        SimTerminal terminal;
        SimSession session(terminal);
        EXPECT_EQ(WaitCashStatus(session, c.drawerId, c.state, c.timeoutMs), c.result) << c.words;
        EXPECT_NE(session.LastError().find(c.words), std::string::npos) << session.LastError();
        EXPECT_EQ(terminal.clock.NowMicros(), 0u) << "no wait after a refusal: " << c.words;
    }
}

TEST(OpenCashConfirmed, ConfirmsTheKickByTheSensorChanging) {
    SimTerminal terminal;
    SimSession session(terminal);
    terminal.ports.Poke(0x53A, 0x00, PortWidth::Byte); // RN340 drawer A reads 1 before the kick
    terminal.ports.Poke(0x50E, 0xFF, PortWidth::Byte);
    session.afterCall = [&](int call) {
        if (call == 3) {
            terminal.ports.Poke(0x53A, 0x04, PortWidth::Byte); // the drawer springs open after the kick
        }
    };
    EXPECT_EQ(OpenCashConfirmed(session, "RN340_CashA", 1000), CASH_DRAWER_REACHED);
    EXPECT_EQ(session.calls, 4); // read, kick, read (no change yet), read (changed)
    EXPECT_EQ(session.LastError(), "");
}

TEST(OpenCashConfirmed, AKickWithoutAChangeTimesOutAndUnknownDrawersAreNotKicked) {
    {
        SimTerminal terminal;
        SimSession session(terminal);
        terminal.ports.Poke(0x50E, 0xFF, PortWidth::Byte);
        EXPECT_EQ(OpenCashConfirmed(session, "RN340_CashA", 100), CASH_DRAWER_TIMED_OUT);
        bool kicked = false;
        for (const AccessRecord& record : terminal.Accesses()) {
            kicked = kicked || (record.op == AccessOp::Write && record.port == 0x50E && record.value == 0xF7);
        }
        EXPECT_TRUE(kicked);
        EXPECT_EQ(session.LastError(), "") << "a timed-out confirmation is not a failure";
    }
    {
        // Known to OpenCash, not to GetCashStatus: nothing to confirm against.
        SimTerminal terminal;
        SimSession session(terminal);
        EXPECT_EQ(OpenCashConfirmed(session, "KV7100_CashB", 100), CASH_DRAWER_UNKNOWN_ID);
        EXPECT_EQ(terminal.Accesses(), (Trace{Init(), Shutdown()}));
    }
    {
        SimTerminal terminal;
        SimSession session(terminal);
        terminal.ports.SetStart(Result::LibraryMissing);
        EXPECT_EQ(OpenCashConfirmed(session, "RN340_CashA", 100), CASH_DRAWER_UNREACHABLE);
        EXPECT_EQ(session.calls, 1) << "no kick without a state to confirm against";
        EXPECT_EQ(OpenCashConfirmed(session, "RN340_CashA", -1), CASH_DRAWER_BAD_ARGUMENT);
    }
    {
        // No time at all is a time: the kick goes out and is looked at once.
        SimTerminal terminal;
        SimSession session(terminal);
        terminal.ports.Poke(0x50E, 0xFF, PortWidth::Byte);
        EXPECT_EQ(OpenCashConfirmed(session, "RN340_CashA", 0), CASH_DRAWER_TIMED_OUT);
        EXPECT_EQ(session.calls, 3); // read, kick, read
        EXPECT_EQ(WaitCashStatus(session, "RN340_CashA", 1, 0), CASH_DRAWER_TIMED_OUT);
        EXPECT_EQ(session.LastError(), "");
    }
    {
        // The kick went out, then the sensor could no longer be read: not
        // confirmed, never -2, which would say the kick did not go out.
        SimTerminal terminal;
        SimSession session(terminal);
        session.afterCall = [&](int call) {
            if (call == 2) {
                terminal.ports.SetStart(Result::LibraryFailed);
            }
        };
        EXPECT_EQ(OpenCashConfirmed(session, "RN340_CashA", 100), CASH_DRAWER_TIMED_OUT);
        EXPECT_EQ(session.calls, 3) << "read, kick, the one read that failed";
        EXPECT_EQ(session.LastError(), "the kick ran, but the drawer's sensor could not be read after it: the port I/O "
                                       "library did not start: the simulated port I/O library's InitializeWinIo returned false");
    }
}

// Each road to -1 or -2 leaves words that name the cause; a success
// clears them.
TEST(DrawerErrors, EveryFailureIsExplainedAndASuccessClearsTheWords) {
    struct Case {
        const char* name;
        std::function<void(SimTerminal&)> arrange;
        const char* drawerId;
        bool kick;
        int result;
        const char* words;
    };
    const Case cases[] = {
        {"port I/O missing", [](SimTerminal& t) { t.ports.SetStart(Result::LibraryMissing); }, "RN340_CashA", true,
         CASH_DRAWER_UNREACHABLE, "port I/O library could not be used: the simulated terminal has no port I/O library"},
        {"port I/O fails to start", [](SimTerminal& t) { t.ports.SetStart(Result::LibraryFailed); }, "RN370_CashB",
         false, CASH_DRAWER_UNREACHABLE, "did not start: the simulated port I/O library's InitializeWinIo returned false"},
        {"board I/O missing", [](SimTerminal& t) { t.board.SetMissing(true); }, "RN2180_CashA", true,
         CASH_DRAWER_UNREACHABLE, "board I/O library could not be used: the simulated terminal has no board I/O"},
        {"COM port missing", [](SimTerminal& t) { t.serial.SetOpenResult(Result::PortMissing); }, "DL470_CashA", true,
         CASH_DRAWER_UNREACHABLE, "COM port could not be opened: COM3"},
        {"serial device silent", [](SimTerminal& t) { t.profiles.SetFile(kConfigPath, "[DL470_CashB]\r\nComNuM=12\r\n"); },
         "DL470_CashB", false, CASH_DRAWER_UNREACHABLE, "no status report from the serial drawer device on \\\\.\\COM12 within 500 ms"},
        {"a near miss", [](SimTerminal&) {}, "RN340_CashA ", true, CASH_DRAWER_UNKNOWN_ID,
         "'RN340_CashA ' is not a drawer identifier OpenCash knows (did you mean 'RN340_CashA'?"},
        {"no near miss", [](SimTerminal&) {}, "KV9999_CashA", false, CASH_DRAWER_UNKNOWN_ID,
         "'KV9999_CashA' is not a drawer identifier GetCashStatus knows"},
    };
    for (const Case& c : cases) {
        SimTerminal terminal;
        terminal.profiles.SetFile(kConfigPath, "[DL470_CashA]\r\nComNuM=3\r\n");
        c.arrange(terminal);
        const int result = c.kick ? terminal.library.OpenCash(c.drawerId) : terminal.library.GetCashStatus(c.drawerId);
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_NE(terminal.library.LastFailure().find(c.words), std::string::npos)
            << c.name << ": " << terminal.library.LastFailure();
        EXPECT_EQ(terminal.library.LastFailure().find('\n'), std::string::npos) << "one line";
        terminal.ports.SetStart(Result::Ok);
        EXPECT_EQ(terminal.library.OpenCash("RN370_CashA"), CASH_DRAWER_KICKED);
        EXPECT_EQ(terminal.library.LastFailure(), "") << c.name;
    }
}

TEST(DrawerErrors, EachThreadKeepsItsOwnLastErrorInABoundedStore) {
    ThreadErrors errors;
    errors.Set(1, "one");
    errors.Set(2, "two");
    EXPECT_EQ(errors.Get(1), "one");
    EXPECT_EQ(errors.Get(2), "two");
    EXPECT_EQ(errors.Get(3), "");
    errors.Set(1, "");
    EXPECT_EQ(errors.Get(1), "");
    // Thread 2 set last among the first two; a flood of new threads evicts
    // the oldest entries, and 2 stays while it is among the 64 newest (the
    // number the README promises).
    for (uint64_t thread = 100; thread < 100 + 64 - 2; ++thread) {
        errors.Set(thread, "flood");
    }
    EXPECT_EQ(errors.Get(2), "two");
    errors.Set(1000, "one more");
    EXPECT_EQ(errors.Get(2), "") << "the oldest entry went first";
    EXPECT_EQ(errors.Get(1000), "one more");
}

TEST(CallerBuffer, CopiesWhatFitsAlwaysTerminatedAndSaysTheFullLength) {
    struct Case {
        const char* text;
        int size;
        bool nullBuffer;
        int result;
        const char* copied;
    };
    const Case cases[] = {
        {"0.2.0", 16, false, 5, "0.2.0"}, {"0.2.0", 6, false, 5, "0.2.0"}, {"0.2.0", 5, false, 5, "0.2."},
        {"0.2.0", 1, false, 5, ""},       {"0.2.0", 0, true, 5, nullptr},   {"0.2.0", 0, false, 5, nullptr},  {"0.2.0", 4, true, -3, nullptr},
        {"0.2.0", -1, false, -3, nullptr}, {"", 4, false, 0, ""},
        // Never half a character: a cut falls before a character that
        // does not fit whole; bytes that are not UTF-8 are cut anywhere.
        {"caf\xC3\xA9", 5, false, 5, "caf"}, {"caf\xC3\xA9", 6, false, 5, "caf\xC3\xA9"},
        {"\xE2\x82\xAC!", 3, false, 4, ""}, {"\xE2\x82\xAC!", 4, false, 4, "\xE2\x82\xAC"},
        {"\xF0\x9F\x92\xB0", 4, false, 4, ""}, {"a\xF0\x9F\x92\xB0", 5, false, 5, "a"},
        {"\xE9\xE9\xE9", 3, false, 3, "\xE9\xE9"}, {"ab\xC3", 3, false, 3, "ab"},
        {"\xC3\xA9\x80", 3, false, 3, "\xC3\xA9"}, {"\x80\x80\x80\x80\x80", 5, false, 5, "\x80\x80\x80\x80"},
    };
    for (const Case& c : cases) {
        char buffer[16];
        std::memset(buffer, 'X', sizeof buffer);
        EXPECT_EQ(CopyToCallerBuffer(c.text, c.nullBuffer ? nullptr : buffer, c.size), c.result) << c.size;
        if (c.size <= 0) {
            EXPECT_EQ(buffer[0], 'X') << "a buffer of no size is not written: " << c.size;
        }
        if (c.copied != nullptr) {
            EXPECT_STREQ(buffer, c.copied) << c.size;
            EXPECT_EQ(buffer[std::strlen(c.copied) + 1], 'X') << "nothing written past the terminator";
        }
    }
}

TEST(Version, IsTheProjectsOneVersionAsMajorMinorPatch) {
    SimTerminal terminal;
    SimSession session(terminal);
    char buffer[32];
    const int length = GetCashDrawerVersion(session, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), CASH_DRAWER_VERSION);
    EXPECT_EQ(length, static_cast<int>(std::strlen(CASH_DRAWER_VERSION)));
    EXPECT_TRUE(std::regex_match(buffer, std::regex("[0-9]+\\.[0-9]+\\.[0-9]+"))) << buffer;
    EXPECT_EQ(GetCashDrawerVersion(session, nullptr, 8), CASH_DRAWER_BAD_ARGUMENT);
}

TEST(HealthCheck, ReportsWhatTheDrawerNeedsAndKicksNothing) {
    SimTerminal terminal;
    SimSession session(terminal);
    char report[4096];
    EXPECT_EQ(CheckCashDrawerHealth(session, "RN320_CashA", report, sizeof report), 1);
    const std::string json = report;
    EXPECT_EQ(json.front(), '{');
    EXPECT_EQ(json.back(), '}');
    for (const char* part : {"\"version\":\"" CASH_DRAWER_VERSION "\"", "\"method\":\"Super I/O GPIO\"",
                             "\"portIo\":{\"starts\":true", "\"superIoBusMutex\":\"free\"", "\"allWell\":true"}) {
        EXPECT_NE(json.find(part), std::string::npos) << part << " in " << json;
    }
    EXPECT_EQ(json.find("boardIo"), std::string::npos) << "a port drawer needs no board I/O";
    // The bracket opened and closed around nothing; the bus was claimed and released.
    EXPECT_EQ(terminal.Accesses(), (Trace{Init(), Shutdown(), BusClaim(), BusRelease()}));
}

TEST(HealthCheck, MissingPartsUnknownDrawersAndSmallBuffers) {
    SimTerminal terminal;
    SimSession session(terminal);
    terminal.board.SetMissing(true);
    char report[4096];
    EXPECT_EQ(CheckCashDrawerHealth(session, "RN3470_CashB", report, sizeof report), CASH_DRAWER_UNREACHABLE);
    EXPECT_NE(std::string(report).find("\"opens\":false"), std::string::npos) << report;
    EXPECT_NE(session.LastError().find("board I/O library"), std::string::npos) << session.LastError();

    // The whole terminal: every library is looked at.
    EXPECT_EQ(CheckCashDrawerHealth(session, nullptr, report, sizeof report), CASH_DRAWER_UNREACHABLE);
    for (const char* part : {"\"portIo\"", "\"boardIo\"", "\"serial\"", "\"superIoBusMutex\""}) {
        EXPECT_NE(std::string(report).find(part), std::string::npos) << part;
    }
    // Two parts missing: both named, in the report and the error text, with
    // one separator between them.
    terminal.ports.SetStart(Result::LibraryMissing);
    ASSERT_EQ(CheckCashDrawerHealth(session, nullptr, report, sizeof report), CASH_DRAWER_UNREACHABLE);
    const std::string problems = nlohmann::json::parse(report)["problems"];
    EXPECT_EQ(problems.rfind("the port I/O library: ", 0), 0u) << problems;
    const std::size_t separator = problems.find("; the board I/O library: ");
    EXPECT_NE(separator, std::string::npos) << problems;
    EXPECT_EQ(problems.find("; "), separator) << problems;
    EXPECT_EQ(session.LastError().find(problems), 0u) << session.LastError();
    terminal.ports.SetStart(Result::Ok);

    EXPECT_EQ(CheckCashDrawerHealth(session, "RN340_Cash", report, sizeof report), CASH_DRAWER_UNKNOWN_ID);
    char small[8];
    const int length = CheckCashDrawerHealth(session, "RN340_CashA", small, sizeof small);
    EXPECT_GT(length, static_cast<int>(sizeof small));
    EXPECT_EQ(std::strlen(small), sizeof small - 1);
    EXPECT_EQ(CheckCashDrawerHealth(session, "RN340_CashA", nullptr, 0), length) << "asks the length alone";
    EXPECT_EQ(CheckCashDrawerHealth(session, "RN340_CashA", nullptr, 10), CASH_DRAWER_BAD_ARGUMENT);
    // Exactly the report's length leaves no room for its terminating zero:
    // still too small. One byte more holds it.
    std::vector<char> exact(static_cast<std::size_t>(length));
    EXPECT_EQ(CheckCashDrawerHealth(session, "RN340_CashA", exact.data(), length), length);
    std::vector<char> enough(static_cast<std::size_t>(length) + 1);
    EXPECT_EQ(CheckCashDrawerHealth(session, "RN340_CashA", enough.data(), length + 1), 1);
    EXPECT_EQ(std::strlen(enough.data()), static_cast<std::size_t>(length));
}

// Every byte a report may carry comes out as valid JSON in valid UTF-8:
// characters pass whole, other bytes as \u00XX, none dropped.
TEST(JsonText, ValidUtf8PassesAndEveryOtherByteIsEscaped) {
    struct Case {
        const char* bytes;
        const char* quoted;
    };
    const Case cases[] = {
        {"plain", "\"plain\""},
        {"C:\\POS \"A\"\n\r\t", "\"C:\\\\POS \\\"A\\\"\\n\\r\\t\""},
        {"\x01\x1F\x7F", "\"\\u0001\\u001f\x7F\""},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x92\xB0", "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x92\xB0\""},
        {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", "\"\xEF\xBF\xBF\xF4\x8F\xBF\xBF\""},   // the highest of each length
        {"\xC2\x80\xE0\xA0\x80\xF0\x90\x80\x80", "\"\xC2\x80\xE0\xA0\x80\xF0\x90\x80\x80\""}, // the lowest
        {"caf\xE9", "\"caf\\u00e9\""},                                 // code page 1252 or Latin-1
        {"\xC3", "\"\\u00c3\""},                                       // cut short
        {"\xC3(", "\"\\u00c3(\""},                                     // lead without continuation
        {"\x80\xBF", "\"\\u0080\\u00bf\""},                           // stray continuations
        {"\xC0\xAF\xC1\xBF", "\"\\u00c0\\u00af\\u00c1\\u00bf\""},      // overlong two-byte forms
        {"\xE0\x9F\xBF", "\"\\u00e0\\u009f\\u00bf\""},                // overlong three-byte form
        {"\xED\xA0\x80", "\"\\u00ed\\u00a0\\u0080\""},                // a surrogate
        {"\xF0\x8F\xBF\xBF", "\"\\u00f0\\u008f\\u00bf\\u00bf\""},       // overlong four-byte form
        {"\xF4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},       // past U+10FFFF
        {"\xF5\xFF", "\"\\u00f5\\u00ff\""},                           // never a lead byte
        {"\xE2\x82(", "\"\\u00e2\\u0082(\""},                          // three-byte lead, bad third
    };
    for (const Case& c : cases) {
        const std::string quoted = JsonQuoted(c.bytes);
        EXPECT_EQ(quoted, c.quoted) << c.quoted;
        const auto parsed = nlohmann::json::parse(quoted, nullptr, false);
        EXPECT_TRUE(parsed.is_string()) << c.quoted;
    }
}

// Every lead byte against every second byte, with the standard's table of
// well-formed sequences (Unicode, table 3-7) written out here on its own,
// and the third and fourth bytes checked to be continuations.
TEST(JsonText, EveryLeadAndSecondByteAsTheStandardsTableHasThem) {
    struct WellFormed {
        int firstLead, lastLead, length, secondLow, secondHigh;
    };
    const WellFormed table[] = {
        {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
        {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
        {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
    };
    int wrong = 0;
    for (int lead = 0x80; lead <= 0xFF; ++lead) {
        for (int second = 0; second <= 0xFF; ++second) {
            std::size_t expected = 0;
            for (const WellFormed& row : table) {
                if (lead >= row.firstLead && lead <= row.lastLead && second >= row.secondLow && second <= row.secondHigh) {
                    expected = static_cast<std::size_t>(row.length);
                }
            }
            const std::string bytes = {static_cast<char>(lead), static_cast<char>(second), '\x80', '\x80'};
            if (Utf8CharacterLength(bytes, 0) != expected) {
                ++wrong;
                ADD_FAILURE() << std::hex << lead << " " << second;
            }
            // A byte that is no continuation where one belongs.
            for (std::size_t bad = 2; bad < expected; ++bad) {
                for (const char notContinuation : {'\x7F', '\xC0'}) {
                    std::string broken = bytes;
                    broken[bad] = notContinuation;
                    wrong += Utf8CharacterLength(broken, 0) == 0 ? 0 : 1;
                }
            }
            // Too few bytes: a view that ends one short, with the missing
            // continuation right past its end, is still a cut character
            // (read from inside the text, after an ASCII letter).
            if (expected > 0) {
                const std::string afterLetter = "A" + bytes;
                wrong += Utf8CharacterLength(std::string_view(afterLetter).substr(0, expected), 1) == 0 ? 0 : 1;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(Utf8CharacterLength("A", 0), 1u);
    EXPECT_EQ(Utf8CharacterLength(std::string(1, '\0'), 0), 1u);
    EXPECT_EQ(Utf8CharacterLength("A", 1), 0u) << "past the end";
}

// The health report as a program reads it: parsed, with the configuration
// file's own bytes in it (a code-page key), and answers that agree with
// the exports'.
TEST(HealthCheck, TheReportIsJsonWithTheFilesTextAndAgreesWithTheExports) {
    SimTerminal terminal;
    SimSession session(terminal);
    terminal.profiles.SetFile(kConfigPath, "[CashDrawer_Machine]\r\nCurrentCashDrawer=caf\xE9\r\n"
                                           "[CashDrawerList]\r\ncaf\xE9=RN340_C\xE9\r\n");
    std::vector<char> report(4096);
    ASSERT_EQ(CheckCashDrawerHealth(session, "RN340_CashA", report.data(), static_cast<int>(report.size())), 1);
    const auto health = nlohmann::json::parse(report.data());
    EXPECT_EQ(health["drawerId"], "RN340_CashA");
    EXPECT_EQ(health["configuration"]["path"], kConfigPath);
    EXPECT_EQ(health["configuration"]["currentDirectory"], "C:\\POS\\");
    EXPECT_EQ(health["configuration"]["chosenKey"], "caf\u00e9");
    EXPECT_EQ(health["configuration"]["chosenDrawer"], "RN340_C\u00e9");
    EXPECT_EQ(health["configuration"]["resolves"], "not a drawer identifier: the Default calls give -1");

    // A memory drawer's check opens the board I/O library and closes it
    // again: a handle left open would be one more each time it is asked.
    terminal.log.Clear();
    ASSERT_EQ(CheckCashDrawerHealth(session, "RN2180_CashA", report.data(), static_cast<int>(report.size())), 1);
    EXPECT_EQ(terminal.Accesses(), (Trace{BoardOpen(), BoardClose()}));
    EXPECT_FALSE(health.contains("serial")) << "a port drawer needs no serial port";

    // Listed, but no drive line: -1 as from OpenCash and GetCashStatus, and
    // the caller's buffer holds an empty text, as for any unknown one.
    for (const char* drawerId : {"KV7820_CashB", "RN340_Cash"}) {
        std::fill(report.begin(), report.end(), 'X');
        EXPECT_EQ(CheckCashDrawerHealth(session, drawerId, report.data(), 8), CASH_DRAWER_UNKNOWN_ID) << drawerId;
        EXPECT_EQ(report[0], '\0') << drawerId;
        EXPECT_EQ(report[1], 'X') << drawerId;
        EXPECT_EQ(session.LastError().find("'KV7820_CashB' is listed, but no drawer line") == 0,
                  std::string(drawerId) == "KV7820_CashB")
            << session.LastError();
    }
}

// The whole terminal looks at the serial drawer when the file sets one up:
// a port that does not open is then something missing, not "all well".
TEST(HealthCheck, TheWholeTerminalChecksTheSerialDrawerTheFileSetsUp) {
    struct Case {
        const char* file;
        bool configured;
        int result;
        const char* section;
    };
    const Case cases[] = {
        {"", false, 1, "DL470_CashA"},
        {"[DL470_CashB]\r\nComNuM=4\r\n", true, CASH_DRAWER_UNREACHABLE, "DL470_CashB"},
        {"[DL470_CashA]\r\nDevice=/dev/ttyUSB0\r\n", true, CASH_DRAWER_UNREACHABLE, "DL470_CashA"},
        {"[CashDrawer_Machine]\r\nCurrentCashDrawer=DL_B\r\n[CashDrawerList]\r\nDL_B=DL470_CashB\r\n", true,
         CASH_DRAWER_UNREACHABLE, "DL470_CashB"},
    };
    for (const Case& c : cases) {
        SimTerminal terminal;
        SimSession session(terminal);
        terminal.profiles.SetFile(kConfigPath, c.file);
        terminal.serial.SetOpenResult(Result::PortMissing);
        char report[4096];
        EXPECT_EQ(CheckCashDrawerHealth(session, nullptr, report, sizeof report), c.result) << c.file;
        const auto health = nlohmann::json::parse(report);
        EXPECT_EQ(health["serial"]["configured"], c.configured) << c.file;
        EXPECT_EQ(health["serial"]["section"], c.section) << c.file;
        EXPECT_EQ(health["allWell"], c.result == 1) << c.file;
        EXPECT_EQ(terminal.serial.Opens().size(), c.configured ? 1u : 0u) << c.file;
        if (!c.configured) {
            // Not looked at, only described: a port never opened has seen no report.
            EXPECT_EQ(health["serial"]["open"], false);
            EXPECT_EQ(health["serial"]["reportsSeen"], 0);
        }
    }
}

TEST(DrawerErrors, ItsOwnBadArgumentIsTheLastFailureToo) {
    SimTerminal terminal;
    SimSession session(terminal);
    EXPECT_EQ(OpenCashConfirmed(session, "RN340_CashA", -5), CASH_DRAWER_BAD_ARGUMENT);
    EXPECT_EQ(GetCashDrawerError(session, nullptr, 4), CASH_DRAWER_BAD_ARGUMENT);
    EXPECT_EQ(session.LastError(), "GetCashDrawerError was given a null buffer or a negative size");
}

} // namespace
} // namespace cashdrawer::test
