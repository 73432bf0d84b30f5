#include "test_terminal.h"

#include "cash_drawer.h"
#include "interface/failure_text.h"
#include "serial/serial_drawer.h"
#include "serial/serial_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace cashdrawer::test {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kStatusRequest = {0x1D, 0x61, 0x01};
const std::string kConfigPath = "C:\\POS\\CashDrawerconfig.ini";

TEST(SerialLinkNames, PortNameAndLineSettings) {
    struct NameCase {
        int32_t port;
        const char* name;
    };
    for (const NameCase& c : {NameCase{0, "COM0"}, NameCase{1, "COM1"}, NameCase{9, "COM9"}, NameCase{10, "\\\\.\\COM10"},
                              NameCase{255, "\\\\.\\COM255"}, NameCase{-3, "COM-3"}}) {
        EXPECT_EQ(SerialPortName(c.port), c.name) << c.port;
    }
    struct RateCase {
        int32_t rate;
        const char* settings;
    };
    // The ends of the supported range and one between; any other rate -
    // below, above, between two supported ones, negative - runs at 9600.
    const RateCase rates[] = {
        {2400, "2400,E,7,1"},  {19200, "19200,E,7,1"}, {115200, "115200,E,7,1"}, {0, "9600,E,7,1"},
        {1200, "9600,E,7,1"},  {14400, "9600,E,7,1"},  {-9600, "9600,E,7,1"},    {230400, "9600,E,7,1"},
    };
    for (const RateCase& c : rates) {
        EXPECT_EQ(LineSettings(c.rate), c.settings) << c.rate;
    }
}

// The monitor's per-poll step, fed chunk by chunk: a burst is what arrives
// over consecutive polls, ended by a poll that brings nothing.
TEST(StatusReports, OnlyAFourByteBurstWithTheMarkerIsPublished) {
    struct Case {
        const char* name;
        std::vector<Bytes> polls;
        bool published;
        int status;
    };
    const Case cases[] = {
        {"report, drawer bit clear", {{0x10, 0x00, 0x00, 0x00}, {}}, true, 1},
        {"report, drawer bit set", {{0x14, 0x00, 0x00, 0x00}, {}}, true, 0},
        {"other bits of byte 0 do not count", {{0xFB, 0xFF, 0xFF, 0xFF}, {}}, true, 1},
        {"split over two polls", {{0x10, 0x00}, {0x00, 0x00}, {}}, true, 1},
        {"one byte, then three", {{0x14}, {0x00, 0x00, 0x00}, {}}, true, 0},
        {"marker bit clear", {{0x04, 0x00, 0x00, 0x00}, {}}, false, 0},
        {"two reports merged", {{0x14, 0, 0, 0, 0x14, 0, 0, 0}, {}}, false, 0},
        {"three bytes", {{0x10, 0, 0}, {}}, false, 0},
        {"burst not ended yet", {{0x14, 0, 0, 0}}, false, 0},
    };
    for (const Case& c : cases) {
        sim::AccessLog log;
        sim::VirtualClock clock(log);
        sim::SimSerialLink link(clock);
        SerialDrawerState state;
        StatusReportAssembler assembler;
        for (const Bytes& poll : c.polls) {
            link.QueueInput(poll);
            assembler.Poll(link, state);
        }
        EXPECT_EQ(state.statusReceived.load(), c.published) << c.name;
        EXPECT_EQ(state.serialDrawerStatus.load(), c.status) << c.name;
    }
}

TEST(StatusReports, AFloodLongerThanTheBufferIsDroppedWholeAndTheNextReportCounts) {
    sim::AccessLog log;
    sim::VirtualClock clock(log);
    sim::SimSerialLink link(clock);
    SerialDrawerState state;
    StatusReportAssembler assembler;
    for (int poll = 0; poll < 3; ++poll) {
        link.QueueInput(Bytes(1000, 0x10)); // 3000 bytes: more than the 2048 gathered
    }
    link.QueueInput({0x10, 0, 0, 0}); // the flood's tail, same burst
    link.QueueInput({});
    for (int poll = 0; poll < 5; ++poll) {
        assembler.Poll(link, state);
    }
    EXPECT_FALSE(state.statusReceived);

    link.QueueInput({0x14, 0, 0, 0});
    link.QueueInput({});
    assembler.Poll(link, state);
    assembler.Poll(link, state);
    EXPECT_TRUE(state.statusReceived);
    EXPECT_EQ(state.serialDrawerStatus, 0);
}

class SerialRoads : public ::testing::Test {
protected:
    void SetUp() override {
        terminal_.profiles.SetFile(kConfigPath,
                                   "[DL470_CashA]\r\nComNuM=3\r\nBaudint=19200\r\n[DL470_CashB]\r\nComNuM=4\r\n");
    }
    // Sent bytes with the virtual time of each write, in milliseconds.
    std::vector<std::pair<uint64_t, Bytes>> Sent() const {
        std::vector<std::pair<uint64_t, Bytes>> sent;
        for (const auto& write : terminal_.serial.Writes()) {
            sent.emplace_back(write.timeMicros / 1000, write.bytes);
        }
        return sent;
    }

    SimTerminal terminal_;
};

TEST_F(SerialRoads, KickSendsTheStatusRequestThenTheDrawerPulse) {
    struct Case {
        const char* drawerId;
        uint8_t pin;
    };
    for (const Case& c : {Case{"DL470_CashA", 0x30}, Case{"DL470_CashB", 0x31}}) {
        SimTerminal terminal;
        EXPECT_EQ(terminal.library.OpenCash(c.drawerId), CASH_DRAWER_KICKED);
        ASSERT_EQ(terminal.serial.Writes().size(), 2u);
        EXPECT_EQ(terminal.serial.Writes()[0].bytes, kStatusRequest);
        EXPECT_EQ(terminal.serial.Writes()[1].bytes, (Bytes{0x1B, 0x70, c.pin, 0x30, 0x30}));
        const Trace pauses{Pause(50), Pause(150)};
        EXPECT_EQ(terminal.Accesses(), pauses) << "no port I/O, and exactly these pauses";
        EXPECT_EQ(terminal.serial.Writes()[1].timeMicros - terminal.serial.Writes()[0].timeMicros, 50000u);
    }
}

TEST_F(SerialRoads, TheFirstSerialIdentifierDecidesThePortAndTheMonitorStartsOnce) {
    terminal_.library.GetCashStatus("DL470_CashB");
    terminal_.library.OpenCash("DL470_CashA");
    terminal_.library.GetCashStatus("DL470_CashA");
    ASSERT_EQ(terminal_.serial.Opens().size(), 1u);
    const auto& open = terminal_.serial.Opens()[0];
    EXPECT_EQ(open.portNumber, 4);
    EXPECT_EQ(open.baudRate, 0); // no Baudint in B's section: the link falls back to 9600
    EXPECT_EQ(open.parity, 0);
    EXPECT_EQ(open.byteSize, 8);
    EXPECT_EQ(open.stopBits, 0);
    EXPECT_EQ(terminal_.monitor.Starts(), 1);
}

TEST_F(SerialRoads, StatusWaitsHalfASecondOnlyUntilTheFirstReport) {
    // No report yet: the wait, then -2 - a silent device is not a drawer state.
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), CASH_DRAWER_UNREACHABLE);
    EXPECT_EQ(terminal_.Accesses(), (Trace{Pause(500)}));

    // The device answers; the monitor's next polls publish the report.
    terminal_.serial.QueueInput({0x10, 0x00, 0x00, 0x00});
    terminal_.serial.QueueInput({});
    EXPECT_TRUE(terminal_.monitor.RunStep());
    EXPECT_TRUE(terminal_.monitor.RunStep());
    terminal_.log.Clear();

    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashB"), 1);
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), 1);
    EXPECT_TRUE(terminal_.Accesses().empty()) << "no wait once a report has come";
    for (const auto& [ms, bytes] : Sent()) {
        EXPECT_EQ(bytes, kStatusRequest);
    }
    // The first request, unanswered for 500 ms, is asked again once; the
    // second read finds that one still within the answer time.
    EXPECT_EQ(Sent().size(), 2u);
}

TEST_F(SerialRoads, APortThatDoesNotOpenGivesMinusTwoAtOnceAndIsRetriedWithFreshSettings) {
    terminal_.serial.SetOpenResult(Result::PortMissing);
    EXPECT_EQ(terminal_.library.OpenCash("DL470_CashA"), CASH_DRAWER_UNREACHABLE);
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), CASH_DRAWER_UNREACHABLE);
    EXPECT_TRUE(terminal_.Accesses().empty()) << "nothing sent, so no pause";
    EXPECT_EQ(terminal_.monitor.Starts(), 0);

    terminal_.profiles.SetFile(kConfigPath, "[DL470_CashA]\r\nComNuM=7\r\n");
    terminal_.serial.SetOpenResult(Result::Ok);
    EXPECT_EQ(terminal_.library.OpenCash("DL470_CashA"), CASH_DRAWER_KICKED);
    ASSERT_EQ(terminal_.serial.Opens().size(), 3u);
    EXPECT_EQ(terminal_.serial.Opens()[2].portNumber, 7);
    EXPECT_EQ(terminal_.monitor.Starts(), 1);
}

TEST_F(SerialRoads, AMonitorThatCannotStartIsRetriedByTheNextCall) {
    terminal_.monitor.SetStartSucceeds(false);
    EXPECT_EQ(terminal_.library.OpenCash("DL470_CashA"), CASH_DRAWER_KICKED); // the port is open: the kick goes out
    terminal_.monitor.SetStartSucceeds(true);
    terminal_.library.GetCashStatus("DL470_CashA");
    terminal_.library.GetCashStatus("DL470_CashA");
    EXPECT_EQ(terminal_.serial.Opens().size(), 2u);
    EXPECT_EQ(terminal_.monitor.Starts(), 2);
}

TEST_F(SerialRoads, UnloadStopsTheMonitorWithinItsBoundAndClosesThePort) {
    terminal_.library.OpenCash("DL470_CashA");
    terminal_.library.OnUnload(false);
    EXPECT_TRUE(terminal_.monitor.LeftLoopAtRetire()) << "the monitor's next round ends its loop";
    EXPECT_EQ(terminal_.monitor.RetireWaits(), (std::vector<uint32_t>{150}));
    EXPECT_FALSE(terminal_.serial.IsOpen());
}

// A monitor stuck in a read past the stop's deadline still owns the port:
// it is neither closed under it nor reopened, the drawer answers -2, and
// the port is closed when both the drawer and the late monitor are done.
TEST(SerialStop, AMonitorLateAtUnloadKeepsThePortUntilItLeaves) {
    sim::AccessLog log;
    sim::VirtualClock clock(log);
    auto link = std::make_shared<sim::SimSerialLink>(clock);
    sim::ManualThread thread;
    auto drawer = std::make_unique<SerialDrawer>(link, thread, clock);
    ASSERT_EQ(drawer->StartSerialMonitor(SerialSettings{.ComNuM = 3, .Baudint = 9600}), Result::Ok);
    thread.SetLate(true);
    drawer->StopSerialMonitor(false);
    EXPECT_TRUE(link->IsOpen()) << "not closed under a read in flight";

    EXPECT_EQ(drawer->KickSerialDrawer(DrawerLetter::A), Result::MonitorLate);
    EXPECT_EQ(drawer->ReadSerialDrawerStatus(), Result::MonitorLate);
    EXPECT_EQ(drawer->StartSerialMonitor(SerialSettings{.ComNuM = 4, .Baudint = 9600}), Result::MonitorLate);
    EXPECT_TRUE(link->Writes().empty());
    EXPECT_EQ(link->Opens().size(), 1u) << "never reopened under the late monitor";

    drawer.reset(); // the library is gone; the late monitor still reads
    EXPECT_TRUE(link->IsOpen());
    EXPECT_FALSE(thread.RunStep()) << "the late monitor's next round ends its loop";
    thread.FinishLateThread();
    EXPECT_FALSE(link->IsOpen()) << "closed by the last owner";
}

// Each road that used to answer a drawer state without one now says -2.
TEST_F(SerialRoads, FailuresAreNeverReportedAsADrawerState) {
    struct Case {
        const char* name;
        Result openResult;
        bool writesFail;
        int kick;
        int status;
    };
    const Case cases[] = {
        {"line settings refused: port open, no monitor", Result::LineRefused, false, CASH_DRAWER_KICKED,
         CASH_DRAWER_UNREACHABLE},
        {"settings string refused", Result::SettingsRejected, false, CASH_DRAWER_KICKED, CASH_DRAWER_UNREACHABLE},
        {"writes fail", Result::Ok, true, CASH_DRAWER_UNREACHABLE, CASH_DRAWER_UNREACHABLE},
    };
    for (const Case& c : cases) {
        SimTerminal terminal;
        terminal.profiles.SetFile(kConfigPath, "[DL470_CashA]\r\nComNuM=3\r\n");
        terminal.serial.SetOpenResult(c.openResult);
        terminal.serial.SetWritesFail(c.writesFail);
        terminal.serial.QueueInput({0x10, 0, 0, 0}); // a report a monitor would read, if one ran
        terminal.serial.QueueInput({});
        EXPECT_EQ(terminal.library.OpenCash("DL470_CashA"), c.kick) << c.name;
        EXPECT_EQ(terminal.library.GetCashStatus("DL470_CashA"), c.status) << c.name;
        EXPECT_EQ(terminal.library.GetCashStatusDefault(), 0) << c.name << ": no drawer chosen";
    }
}

// Runs `ms` of monitor polls on the virtual clock, 50 ms each.
void RunMonitorFor(SimTerminal& terminal, uint32_t ms) {
    for (uint32_t elapsed = 0; elapsed < ms; elapsed += 50) {
        ASSERT_TRUE(terminal.monitor.RunStep());
    }
}

void Report(SimTerminal& terminal, uint8_t firstByte) {
    terminal.serial.QueueInput({firstByte, 0, 0, 0});
    terminal.serial.QueueInput({});
    ASSERT_TRUE(terminal.monitor.RunStep());
    ASSERT_TRUE(terminal.monitor.RunStep());
}

// A device that answered, then fell silent (cable pulled, power lost): once
// a request has gone unanswered for more than 500 ms the state is -2, at
// once, until a report comes again.
TEST_F(SerialRoads, ADeviceThatFallsSilentGivesMinusTwoUntilItReportsAgain) {
    EXPECT_EQ(terminal_.library.OpenCash("DL470_CashA"), CASH_DRAWER_KICKED);
    Report(terminal_, 0x14);
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), 0); // request 1 sent, not yet answered
    RunMonitorFor(terminal_, 500);
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), 0) << "exactly 500 ms is not yet silence";
    RunMonitorFor(terminal_, 50);
    terminal_.log.Clear();
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), CASH_DRAWER_UNREACHABLE);
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashB"), CASH_DRAWER_UNREACHABLE);
    EXPECT_TRUE(terminal_.Accesses().empty()) << "answered at once, no wait";

    Report(terminal_, 0x10); // back
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), 1);
}

// A device that answers every request keeps its state readable however the
// calls are spaced, and the oldest unanswered request is what counts.
TEST_F(SerialRoads, ADeviceThatAnswersIsNeverTakenForSilent) {
    EXPECT_EQ(terminal_.library.OpenCash("DL470_CashA"), CASH_DRAWER_KICKED);
    Report(terminal_, 0x10);
    for (int call = 0; call < 5; ++call) {
        EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), 1) << call;
        RunMonitorFor(terminal_, 400);
        Report(terminal_, 0x10); // the answer, 400 ms later
        RunMonitorFor(terminal_, 1000);
    }
    // Requests every 300 ms, none answered: the first of them is 600 ms old
    // at the third call, although the newest is fresh.
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), 1);
    RunMonitorFor(terminal_, 300);
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), 1);
    RunMonitorFor(terminal_, 300);
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), CASH_DRAWER_UNREACHABLE);
}

// A clock that only the test moves: the monitor's 50 ms pause and the
// calls' own time pass as the test says, so the monitor's polls and a
// caller's reads interleave as two threads' would.
class SteppedClock final : public Clock {
public:
    void SleepMs(uint32_t) override {}
    uint64_t NowMicros() override { return nowMicros_; }
    std::unique_ptr<Alarm> MakeAlarm() override { return std::make_unique<sim::VirtualClock::FlagAlarm>(); }
    bool WaitMs(Alarm& alarm, uint32_t) override { return static_cast<sim::VirtualClock::FlagAlarm&>(alarm).raised; }
    void Advance(uint32_t ms) { nowMicros_ += uint64_t{ms} * 1000u; }

private:
    uint64_t nowMicros_ = 0;
};

// A device that answers in 70 ms, read every 10 to 100 ms while the monitor
// polls every 50 ms: each read after the first report gives the drawer's
// state, never -2, and a change shows within two answers. Requests sent on
// each other's heels would bring answers that run together and are dropped.
TEST(SerialUnderFrequentReads, EveryReadAfterTheFirstReportGivesTheState) {
    for (const uint32_t intervalMs : {10u, 20u, 50u, 100u}) {
        SteppedClock clock;
        auto link = std::make_shared<sim::SimSerialLink>(clock);
        sim::ManualThread thread;
        SerialDrawer drawer(link, thread, clock);
        ASSERT_EQ(drawer.StartSerialMonitor(SerialSettings{.ComNuM = 3, .Baudint = 9600}), Result::Ok);
        link->AnswerRequests(70, {0x10, 0, 0, 0}); // drawer bit clear: state 1

        constexpr uint32_t kFlipAtMs = 1500, kRunMs = 3000, kChangeShownWithinMs = 450;
        bool reported = false;
        int wrong = 0;
        for (uint32_t t = 0; t < kRunMs; t += 10) {
            if (t == kFlipAtMs) {
                link->SetReport({0x14, 0, 0, 0}); // the drawer changes: state 0 from now on
            }
            if (t % 50 == 0) {
                ASSERT_TRUE(thread.RunStep());
            }
            if (t % intervalMs == 0) {
                const Result read = drawer.ReadSerialDrawerStatus();
                reported = reported || drawer.State().statusReceived;
                const bool settled = t < kFlipAtMs || t >= kFlipAtMs + kChangeShownWithinMs;
                const Result expected = t < kFlipAtMs + kChangeShownWithinMs ? Result::StateBit1 : Result::StateBit0;
                if (reported && settled && read != expected) {
                    ++wrong;
                    ADD_FAILURE() << "every " << intervalMs << " ms, read at +" << t << " ms gave "
                                  << static_cast<int>(read);
                }
            }
            clock.Advance(10);
        }
        EXPECT_TRUE(reported) << intervalMs;
        EXPECT_EQ(wrong, 0) << intervalMs;
        // At most one request waits for its answer at any time.
        const auto& writes = link->Writes();
        for (std::size_t i = 1; i < writes.size(); ++i) {
            EXPECT_GE(writes[i].timeMicros - writes[i - 1].timeMicros, 70000u) << "every " << intervalMs << " ms";
        }
    }
}

// While the answer to a request is on its way, no second one goes out;
// once that answer is in, or has had time to come, the next read asks
// again. A silent device is asked again at most every 200 ms.
TEST_F(SerialRoads, NoSecondRequestWhileTheAnswerIsOnItsWay) {
    EXPECT_EQ(terminal_.library.OpenCash("DL470_CashA"), CASH_DRAWER_KICKED);
    Report(terminal_, 0x10); // the kick's request answered; +300 ms
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), 1); // +300: asks
    RunMonitorFor(terminal_, 150);
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), 1); // +450: on its way, none sent
    RunMonitorFor(terminal_, 50);
    EXPECT_EQ(terminal_.library.GetCashStatus("DL470_CashA"), 1); // +500: 200 ms and no answer, asked again
    const std::vector<std::pair<uint64_t, Bytes>> expected = {
        {0, kStatusRequest}, {50, {0x1B, 0x70, 0x30, 0x30, 0x30}}, {300, kStatusRequest}, {500, kStatusRequest}};
    EXPECT_EQ(Sent(), expected);
    // The kick's own request waits too; its command goes out all the same.
    EXPECT_EQ(terminal_.library.OpenCash("DL470_CashB"), CASH_DRAWER_KICKED);
    EXPECT_EQ(Sent().back(), (std::pair<uint64_t, Bytes>{550, {0x1B, 0x70, 0x31, 0x30, 0x30}}));
    EXPECT_EQ(Sent().size(), 5u);
}

// A burst that is no report still answers the request before it: two
// answers run together, a report split over polls, a garbled fragment.
// Each shape answers the kick's request; the device answers every later
// request 10 ms after it with a whole report, drawer open (1) and shut (0)
// in turn, so each read's result names the answer it saw. Reads begin
// 300 ms after the kick and come every 20, 100 or 300 ms while the monitor
// polls every 50 ms.
TEST(SerialAfterAnOddAnswer, EveryAnswerEndsItsRequestsWait) {
    struct Shape {
        const char* name;
        std::vector<Bytes> chunks; // one per poll; none: no answer at all
    };
    const Shape shapes[] = {
        {"a report", {{0x10, 0, 0, 0}}},
        {"an 8-byte burst", {{0x10, 0, 0, 0, 0x10, 0, 0, 0}}},
        {"a split report", {{0x10, 0}, {0, 0}}},
        {"a 3-byte fragment", {{0x10, 0, 0}}},
        {"nothing", {}},
    };
    struct Case {
        const char* shape;
        uint32_t spacingMs;
        const char* results;                 // each read: 1, 0, or x for -2
        std::vector<uint32_t> requestsAtMs; // every 1D 61 01 on the line
    };
    const std::vector<uint32_t> kEvery100 = {0, 300, 400, 500, 600, 700, 800, 900, 1000, 1100, 1200, 1300, 1400, 1500};
    const Case cases[] = {
        {"a report", 300, "11010", {0, 300, 600, 900, 1200, 1500}},
        {"an 8-byte burst", 300, "x1010", {0, 300, 600, 900, 1200, 1500}},
        {"a split report", 300, "11010", {0, 300, 600, 900, 1200, 1500}},
        {"a 3-byte fragment", 300, "x1010", {0, 300, 600, 900, 1200, 1500}},
        {"nothing", 300, "x1010", {0, 300, 600, 900, 1200, 1500}},
        {"a report", 100, "1101010101010", kEvery100},
        {"an 8-byte burst", 100, "x101010101010", kEvery100},
        {"a split report", 100, "1101010101010", kEvery100},
        {"a 3-byte fragment", 100, "x101010101010", kEvery100},
        // Every 20 ms: one request each time the answer before it is in.
        {"a report", 20, "1111111111" "0000011111" "0000011111" "0000011111" "0000011111" "0000011111" "0", kEvery100},
        {"an 8-byte burst", 20, "xxxxx11111" "0000011111" "0000011111" "0000011111" "0000011111" "0000011111" "0", kEvery100},
        {"a split report", 20, "1111111111" "0000011111" "0000011111" "0000011111" "0000011111" "0000011111" "0", kEvery100},
        {"a 3-byte fragment", 20, "xxxxx11111" "0000011111" "0000011111" "0000011111" "0000011111" "0000011111" "0", kEvery100},
        {"nothing", 20, "xxxxx11111" "0000011111" "0000011111" "0000011111" "0000011111" "0000011111" "0", kEvery100},
        {"nothing", 100, "x101010101010", kEvery100},
    };
    for (const Case& c : cases) {
        const Shape& shape = *std::find_if(std::begin(shapes), std::end(shapes),
                                           [&](const Shape& s) { return std::string(s.name) == c.shape; });
        SteppedClock clock;
        auto link = std::make_shared<sim::SimSerialLink>(clock);
        sim::ManualThread thread;
        SerialDrawer drawer(link, thread, clock);
        ASSERT_EQ(drawer.StartSerialMonitor(SerialSettings{.ComNuM = 3, .Baudint = 9600}), Result::Ok);

        // The device: what each poll finds, by the poll's time.
        std::map<uint32_t, Bytes> linePolls;
        std::size_t requestsHeard = 0;
        auto hearRequests = [&] {
            const auto& writes = link->Writes();
            for (; requestsHeard < writes.size(); ++requestsHeard) {
                if (writes[requestsHeard].bytes != kStatusRequest) {
                    continue;
                }
                const uint32_t sentAt = static_cast<uint32_t>(writes[requestsHeard].timeMicros / 1000);
                const std::size_t answerNumber = std::count_if(
                    writes.begin(), writes.begin() + static_cast<std::ptrdiff_t>(requestsHeard),
                    [](const sim::SimSerialLink::Sent& w) { return w.bytes == kStatusRequest; });
                const std::vector<Bytes> chunks =
                    answerNumber == 0 ? shape.chunks
                                      : std::vector<Bytes>{{static_cast<uint8_t>(answerNumber % 2 == 1 ? 0x10 : 0x14),
                                                            0, 0, 0}};
                uint32_t poll = (sentAt + 10 + 49) / 50 * 50; // the first poll after the answer is due
                for (const Bytes& chunk : chunks) {
                    linePolls[poll].insert(linePolls[poll].end(), chunk.begin(), chunk.end());
                    poll += 50;
                }
            }
        };

        ASSERT_EQ(drawer.KickSerialDrawer(DrawerLetter::A), Result::Ok);
        hearRequests();
        std::string results;
        for (uint32_t t = 0; t <= 1500; t += 10) {
            if (t % 50 == 0) {
                if (const auto due = linePolls.find(t); due != linePolls.end()) {
                    link->QueueInput(due->second);
                }
                ASSERT_TRUE(thread.RunStep());
            }
            if (t >= 300 && (t - 300) % c.spacingMs == 0) {
                const Result read = drawer.ReadSerialDrawerStatus();
                results += read == Result::StateBit1 ? '1' : read == Result::StateBit0 ? '0' : 'x';
                hearRequests();
            }
            clock.Advance(10);
        }
        std::vector<uint32_t> requestsAt;
        for (const sim::SimSerialLink::Sent& write : link->Writes()) {
            if (write.bytes == kStatusRequest) {
                requestsAt.push_back(static_cast<uint32_t>(write.timeMicros / 1000));
            }
        }
        EXPECT_EQ(results, c.results) << c.shape << ", every " << c.spacingMs << " ms";
        EXPECT_EQ(requestsAt, c.requestsAtMs) << c.shape << ", every " << c.spacingMs << " ms";
    }
}

// The words for a silent device carry how long it has been silent, in
// tenths of a second, cut (not rounded) so they never claim more.
TEST(SerialWords, HowLongTheDeviceHasBeenSilent) {
    struct Case {
        uint64_t ms;
        const char* says;
    };
    for (const Case& c : {Case{0, "since 0.0 s"}, Case{99, "since 0.0 s"}, Case{1000, "since 1.0 s"},
                          Case{1999, "since 1.9 s"}, Case{61050, "since 61.0 s"}}) {
        FailureContext context;
        context.function = "GetCashStatus";
        context.serialPort = "COM3";
        context.silentForMs = c.ms;
        const std::string text = ExplainFailure(Result::DeviceSilent, context);
        EXPECT_EQ(text, std::string("no status report from the serial drawer device on COM3 ") + c.says) << c.ms;
    }
}

TEST_F(SerialRoads, UnloadWithoutSerialUseOrAtProcessEndWaitsForNothing) {
    terminal_.library.OnUnload(false);
    EXPECT_TRUE(terminal_.monitor.RetireWaits().empty());

    SimTerminal ending;
    ending.profiles.SetFile(kConfigPath, "[DL470_CashA]\r\nComNuM=3\r\n");
    ending.library.OpenCash("DL470_CashA");
    ending.library.OnUnload(true);
    EXPECT_TRUE(ending.monitor.RetireWaits().empty());
    EXPECT_FALSE(ending.serial.IsOpen());
}

} // namespace
} // namespace cashdrawer::test
