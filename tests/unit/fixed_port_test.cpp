#include "test_terminal.h"

#include "cash_drawer.h"

#include <gtest/gtest.h>

namespace cashdrawer::test {
namespace {

Trace Bracketed(Trace sequence) { return Join({{Init()}, sequence, {Shutdown()}}); }

TEST(FixedPort, EveryDrawerKicksWithItsWholeSequence) {
    struct Case {
        const char* drawerId;
        Trace sequence; // with port 0x48E reading 0xA7 before the kick
    };
    const Case cases[] = {
        {"KV4980_CashA", {Write8(0x404D, 0xFF), Pause(10), Write8(0x404D, 0x7F), Pause(10), Write8(0x404D, 0xFF), Pause(10)}},
        {"KV7820_CashA", {Write8(0x40B9, 0xFF), Pause(10), Write8(0x40B9, 0xFD), Pause(10), Write8(0x40B9, 0xFF)}},
        {"KV7100_CashA", {Write8(0x40B9, 0xFF), Pause(10), Write8(0x40B9, 0xF7), Pause(10), Write8(0x40B9, 0xFF)}},
        {"KV9320_CashA", {Write8(0x40B9, 0xFE), Pause(10), Read8(0x40B9, 0xFE), Write8(0x40B9, 0xFC), Pause(10),
                          Read8(0x40B9, 0xFC), Write8(0x40B9, 0xFE), Pause(10), Read8(0x40B9, 0xFE)}},
        {"KV9320_CashB", {Write8(0x40B9, 0xFE), Pause(10), Read8(0x40B9, 0xFE), Write8(0x40B9, 0xF6), Pause(10),
                          Read8(0x40B9, 0xF6), Write8(0x40B9, 0xFE), Pause(10), Read8(0x40B9, 0xFE)}},
        {"KV9360_CashA", {Write8(0x486, 0xC5), Pause(30), Read8(0x48E, 0xA7), Pause(30), Write8(0x48E, 0xA7), Pause(30),
                          Write8(0x48E, 0x87), Pause(30), Read8(0x48D, 0x5A), Pause(30), Write8(0x48E, 0xA7)}},
        {"KV9360_CashB", {Write8(0x486, 0xC5), Read8(0x48E, 0xA7), Write8(0x48E, 0xA7), Pause(10), Write8(0x48E, 0xA7 & 0xF7),
                          Pause(10), Read8(0x48D, 0x5A), Pause(10), Write8(0x48E, 0xA7)}},
    };
    for (const Case& c : cases) {
        SimTerminal terminal;
        terminal.ports.Poke(0x48E, 0xA7, PortWidth::Byte);
        terminal.ports.Poke(0x48D, 0x5A, PortWidth::Byte);
        EXPECT_EQ(terminal.library.OpenCash(c.drawerId), CASH_DRAWER_KICKED) << c.drawerId;
        EXPECT_EQ(terminal.Accesses(), Bracketed(c.sequence)) << c.drawerId;
    }
}

TEST(FixedPort, MaskedPulseRestoresThePortAsRead) {
    struct Case {
        const char* drawerId;
        uint8_t read;
        uint8_t writes[3];
    };
    const Case cases[] = {
        {"KV9360_CashA", 0xFF, {0xFF, 0xDF, 0xFF}},
        {"KV9360_CashA", 0xDF, {0xDF, 0xDF, 0xDF}}, // bit 5 already low
        {"KV9360_CashB", 0xFF, {0xFF, 0xF7, 0xFF}},
    };
    for (const Case& c : cases) {
        SimTerminal terminal;
        terminal.ports.Poke(0x48E, c.read, PortWidth::Byte);
        terminal.library.OpenCash(c.drawerId);
        Trace writes;
        for (const AccessRecord& r : terminal.Accesses()) {
            if (r.op == AccessOp::Write && r.port == 0x48E) {
                writes.push_back(r);
            }
        }
        EXPECT_EQ(writes, (Trace{Write8(0x48E, c.writes[0]), Write8(0x48E, c.writes[1]), Write8(0x48E, c.writes[2])}))
            << c.drawerId << " " << int(c.read);
    }
}

TEST(FixedPort, EveryDrawerReportsItsSenseBitClearAsOne) {
    struct Case {
        const char* drawerId;
        uint16_t port;
        uint8_t senseMask;
        bool setUpFirst;
    };
    const Case cases[] = {
        {"KV4980_CashA", 0x404A, 0x10, false}, {"KV7820_CashA", 0x40B9, 0x04, false},
        {"KV7100_CashA", 0x40B9, 0x04, false}, {"KV9320_CashA", 0x40B9, 0x04, false},
        {"KV9320_CashB", 0x40B9, 0x04, false}, {"KV9360_CashA", 0x48D, 0x04, true},
        {"KV9360_CashB", 0x48D, 0x04, true},
    };
    for (const Case& c : cases) {
        for (uint8_t value : {static_cast<uint8_t>(~c.senseMask), c.senseMask}) {
            SimTerminal terminal;
            terminal.ports.Poke(c.port, value, PortWidth::Byte);
            EXPECT_EQ(terminal.library.GetCashStatus(c.drawerId), value == c.senseMask ? 0 : 1)
                << c.drawerId << " " << int(value);
            Trace sequence = c.setUpFirst ? Trace{Write8(0x486, 0xC5)} : Trace{};
            sequence.push_back(Read8(c.port, value));
            EXPECT_EQ(terminal.Accesses(), Bracketed(sequence)) << c.drawerId;
        }
    }
}

// KV9320 and KV9360 have one sense line for both drawers: each reads the
// state of bit 2 alone, whatever the port's other bits say.
TEST(FixedPort, BothDrawersOfKv9320AndKv9360ReportOneState) {
    struct Case {
        uint8_t value;
        int state;
    };
    for (const Case& c : {Case{0x00, 1}, Case{0x04, 0}, Case{0xFB, 1}, Case{0xFF, 0}}) {
        SimTerminal terminal;
        terminal.ports.Poke(0x40B9, c.value, PortWidth::Byte);
        terminal.ports.Poke(0x48D, c.value, PortWidth::Byte);
        for (const char* drawerId : {"KV9320_CashA", "KV9320_CashB", "KV9360_CashA", "KV9360_CashB"}) {
            EXPECT_EQ(terminal.library.GetCashStatus(drawerId), c.state) << drawerId << " " << int(c.value);
        }
    }
}

TEST(FixedPort, Port486IsSetUpOnceBeforeTheFirstKv9360AccessOfAnyKind) {
    SimTerminal terminal;
    terminal.library.GetCashStatus("KV9320_CashA"); // other fixed-port drawers never set it up
    terminal.library.GetCashStatus("KV9360_CashB");
    terminal.library.OpenCash("KV9360_CashA");
    terminal.library.OpenCash("KV9360_CashB");
    terminal.library.GetCashStatus("KV9360_CashA");

    const Trace trace = terminal.Accesses();
    std::vector<std::size_t> setUps;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        if (trace[i].op == AccessOp::Write && trace[i].port == 0x486) {
            setUps.push_back(i);
        }
    }
    ASSERT_EQ(setUps.size(), 1u);
    // Right after the bracket of the second call opened.
    EXPECT_EQ(trace[setUps[0]], Write8(0x486, 0xC5));
    EXPECT_EQ(trace[setUps[0] - 1], Init());
    EXPECT_EQ(trace[setUps[0] - 2], Shutdown());
}

TEST(FixedPort, DrawersListedWithoutASequenceTouchNoPort) {
    for (const char* drawerId : {"KV7820_CashB", "KV4980_CashB", "KV7100_CashB"}) {
        SimTerminal terminal;
        EXPECT_EQ(terminal.library.OpenCash(drawerId), CASH_DRAWER_UNKNOWN_ID);
        EXPECT_EQ(terminal.library.GetCashStatus(drawerId), CASH_DRAWER_UNKNOWN_ID);
        EXPECT_EQ(terminal.Accesses(), (Trace{Init(), Shutdown(), Init(), Shutdown()})) << drawerId;
    }
}

} // namespace
} // namespace cashdrawer::test
