#include "test_terminal.h"

#include "cash_drawer.h"
#include "hardware/port_gpio.h"

#include <gtest/gtest.h>

namespace cashdrawer::test {
namespace {

// The wiring of every 8-bit profile drawer, as the terminals' schematics
// give it: output port and drive bit, status port and bit, and whether the
// status bit reads set (true) or clear (false) for status 1.
struct Wiring8 {
    const char* drawerId;
    uint16_t outputPort;
    uint8_t driveBit;
    uint16_t statusPort;
    uint8_t statusBit;
    bool setReadsAsOne;
};

constexpr Wiring8 kWiring8[] = {
    {"RN170_CashA", 0x50D, 0x40, 0x538, 0x10, true},     {"RN170_CashB", 0x50D, 0x01, 0x50E, 0x40, true},
    {"RN340_CashA", 0x50E, 0x08, 0x53A, 0x04, false},    {"RN340_CashB", 0x50E, 0x20, 0x53A, 0x10, false},
    {"KV2790L_CashA", 0x802, 0x80, 0x118C, 0x80, false}, {"RN2150_CashA", 0x50E, 0x08, 0x53A, 0x04, false},
    {"RN2150_CashB", 0x50E, 0x20, 0x53A, 0x10, false},   {"KV8041N_CashA", 0x50E, 0x08, 0x53A, 0x04, false},
    {"KV8041N_CashB", 0x50E, 0x20, 0x53A, 0x10, false},  {"KV8041M_CashA", 0x50D, 0x40, 0x538, 0x10, true},
    {"KV8041M_CashB", 0x50D, 0x01, 0x50E, 0x40, true},   {"KV2470_CashA", 0x50C, 0x80, 0x548, 0x80, false},
    {"KV2470_CashB", 0x50C, 0x40, 0x548, 0x40, false},
};

// Every model wired like the RN370: one double-word register at 0x5A8.
constexpr const char* kRn370Family[] = {
    "RN370_CashA",    "RN370_CashB",    "RN3410_CashA",   "RN3410_CashB",   "RN4310_CashA",
    "RN4310_CashB",   "RN140_CashA",    "RN140_CashB",    "RN210_CashA",    "RN210_CashB",
    "RN190_CashA",    "RN190_CashB",    "KV7640_CashA",   "KV7640_CashB",   "KV7450XR_CashA",
    "KV7450XR_CashB", "KV7470XR_CashA", "KV7470XR_CashB", "RN6620_CashA",   "RN6620_CashB",
};

bool IsDrawerA(const char* drawerId) { return std::string(drawerId).ends_with("_CashA"); }

TEST(PortGpio8, EveryDrawerKickPulsesItsDriveBitLowFor512MsKeepingTheOtherBits) {
    for (const Wiring8& w : kWiring8) {
        for (uint8_t before : {0x00, 0xFF, 0xA5, 0x5A}) {
            SimTerminal terminal;
            terminal.ports.Poke(w.outputPort, before, PortWidth::Byte);
            EXPECT_EQ(terminal.library.OpenCash(w.drawerId), CASH_DRAWER_KICKED);

            const uint8_t others = before & ~w.driveBit;
            const Trace expected = Join({{Init()}, GpioChipSetUp(),
                                         {Read8(w.outputPort, before), Write8(w.outputPort, others | w.driveBit),
                                          Write8(w.outputPort, others), Pause(512),
                                          Write8(w.outputPort, others | w.driveBit), Shutdown()}});
            EXPECT_EQ(terminal.Accesses(), expected) << w.drawerId << " reading " << int(before);
        }
    }
}

TEST(PortGpio8, KickValuesFromTheField) {
    struct Case {
        const char* drawerId;
        uint16_t port;
        uint8_t read;
        uint8_t first, second, third;
    };
    const Case cases[] = {
        {"RN340_CashA", 0x50E, 0xFF, 0xFF, 0xF7, 0xFF},
        {"RN340_CashA", 0x50E, 0x00, 0x08, 0x00, 0x08},
        // The drive bit ends set even where it read clear.
        {"KV2470_CashA", 0x50C, 0x12, 0x92, 0x12, 0x92},
    };
    for (const Case& c : cases) {
        SimTerminal terminal;
        terminal.ports.Poke(c.port, c.read, PortWidth::Byte);
        terminal.library.OpenCash(c.drawerId);
        Trace writes;
        for (const AccessRecord& record : terminal.Accesses()) {
            if ((record.op == AccessOp::Write && record.port == c.port) || record.op == AccessOp::Pause) {
                writes.push_back(record);
            }
        }
        EXPECT_EQ(writes, (Trace{Write8(c.port, c.first), Write8(c.port, c.second), Pause(512), Write8(c.port, c.third)}))
            << c.drawerId;
    }
}

TEST(PortGpio8, StatusFollowsEachDrawersPolarity) {
    for (const Wiring8& w : kWiring8) {
        // Only the drawer's own status bit counts: the other bits are set
        // opposite to it.
        const uint8_t bitSet = w.statusBit;
        const uint8_t bitClear = static_cast<uint8_t>(~w.statusBit);
        for (uint8_t value : {bitSet, bitClear}) {
            SimTerminal terminal;
            terminal.ports.Poke(w.statusPort, value, PortWidth::Byte);
            const bool bitIsSet = value == bitSet;
            const int expected = bitIsSet == w.setReadsAsOne ? 1 : 0;
            EXPECT_EQ(terminal.library.GetCashStatus(w.drawerId), expected) << w.drawerId << " reading " << int(value);
            EXPECT_EQ(terminal.Accesses(),
                      Join({{Init()}, GpioChipSetUp(), {Read8(w.statusPort, value), Shutdown()}}))
                << w.drawerId;
        }
    }
}

TEST(PortGpio8, FieldStatusValues) {
    struct Case {
        const char* drawerId;
        uint16_t port;
        uint8_t value;
        int status;
    };
    const Case cases[] = {
        {"RN170_CashA", 0x538, 0x10, 1},
        {"RN170_CashA", 0x538, 0xEF, 0},
        {"RN340_CashA", 0x53A, 0x04, 0},
        {"RN340_CashA", 0x53A, 0xFB, 1},
    };
    for (const Case& c : cases) {
        SimTerminal terminal;
        terminal.ports.Poke(c.port, c.value, PortWidth::Byte);
        EXPECT_EQ(terminal.library.GetCashStatus(c.drawerId), c.status) << c.drawerId << " " << int(c.value);
    }
}

TEST(PortGpio8, ChipSetUpIsWrittenOnceBeforeTheFirstEightBitAccess) {
    SimTerminal terminal;
    terminal.ports.Poke(0x53A, 0xFB, PortWidth::Byte);
    terminal.ports.Poke(0x50E, 0xFF, PortWidth::Byte);
    // 32-bit drawers never write the set-up...
    terminal.library.OpenCash("RN370_CashA");
    terminal.library.GetCashStatus("RN3410_CashB");
    const std::size_t before8 = terminal.Accesses().size();
    // ...the first 8-bit status writes it before its own read...
    terminal.library.GetCashStatus("RN340_CashA");
    // ...and no later 8-bit operation writes it again, whatever the drawer.
    terminal.library.OpenCash("RN340_CashB");
    terminal.library.GetCashStatus("KV2470_CashA");

    const Trace all = terminal.Accesses();
    const Trace tail(all.begin() + static_cast<std::ptrdiff_t>(before8), all.end());
    const Trace expected = Join({
        {Init()}, GpioChipSetUp(), {Read8(0x53A, 0xFB), Shutdown()},
        {Init(), Read8(0x50E, 0xFF), Write8(0x50E, 0xFF), Write8(0x50E, 0xDF), Pause(512), Write8(0x50E, 0xFF), Shutdown()},
        {Init(), Read8(0x548, 0xFF), Shutdown()},
    });
    EXPECT_EQ(tail, expected);
    for (std::size_t i = 0; i < before8; ++i) {
        EXPECT_FALSE(all[i].port >= 0x250 && all[i].port <= 0x252) << "set-up written by a 32-bit drawer";
    }
}

TEST(PortGpio32, EveryRn370StyleKickWritesRestPulseRestFiftyMsApart) {
    for (const char* drawerId : kRn370Family) {
        SimTerminal terminal;
        EXPECT_EQ(terminal.library.OpenCash(drawerId), CASH_DRAWER_KICKED);
        const uint32_t pulse = IsDrawerA(drawerId) ? 0x81 : 0x82;
        EXPECT_EQ(terminal.Accesses(), (Trace{Init(), Write32(0x5A8, 0x80), Pause(50), Write32(0x5A8, pulse), Pause(50),
                                              Write32(0x5A8, 0x80), Shutdown()}))
            << drawerId;
    }
}

TEST(PortGpio32, StatusBitClearReadsAsOne) {
    struct Case {
        uint32_t value;
        int drawerA;
        int drawerB;
    };
    // Sense line of drawer A in bit 6, of drawer B in bit 7; the upper bytes
    // of the double word carry nothing of ours.
    const Case cases[] = {{0x40, 0, 1}, {0x80, 1, 0}, {0x00, 1, 1}, {0xC0, 0, 0}, {0xFFFFFF3F, 1, 1}};
    for (const char* drawerId : kRn370Family) {
        for (const Case& c : cases) {
            SimTerminal terminal;
            terminal.ports.Poke(0x5A8, c.value, PortWidth::DWord);
            const int expected = IsDrawerA(drawerId) ? c.drawerA : c.drawerB;
            EXPECT_EQ(terminal.library.GetCashStatus(drawerId), expected) << drawerId << " reading " << c.value;
            EXPECT_EQ(terminal.Accesses(), (Trace{Init(), Read32(0x5A8, c.value), Shutdown()})) << drawerId;
        }
    }
}

} // namespace
} // namespace cashdrawer::test
