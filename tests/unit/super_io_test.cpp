#include "test_terminal.h"

#include "cash_drawer.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace cashdrawer::test {
namespace {

// Configuration-mode traffic on the index (0x2E) and data (0x2F) ports.
Trace Enter() { return {Write8(0x2E, 0x87), Pause(10), Write8(0x2E, 0x87), Pause(10)}; }
Trace Exit() { return {Write8(0x2E, 0xAA)}; }
Trace Set(uint8_t reg, uint8_t value) { return {Write8(0x2E, reg), Write8(0x2F, value)}; }
Trace Get(uint8_t reg, uint8_t value) { return {Write8(0x2E, reg), Read8(0x2F, value)}; }
// Inside the port I/O bracket and the claim on the shared ports.
Trace Claimed(std::initializer_list<Trace> sequence) {
    return Join({{Init(), BusClaim()}, Join(sequence), {BusRelease(), Shutdown()}});
}

enum class Kick { Toggle, Pulse };
enum class Read { Prepared, Direct };

struct SuperIoCase {
    const char* drawerId;
    Kick kick;
    uint8_t driveMask;
    Read read;
    uint8_t senseMask;
    bool drawerA;
};

constexpr SuperIoCase kSuperIoDrawers[] = {
    {"KV7830_CashA", Kick::Toggle, 0x01, Read::Prepared, 0x04, true},
    {"KV7830_CashB", Kick::Toggle, 0x02, Read::Prepared, 0x08, false},
    {"KV7450_CashA", Kick::Toggle, 0x01, Read::Prepared, 0x04, true},
    {"KV7450_CashB", Kick::Toggle, 0x02, Read::Prepared, 0x08, false},
    {"RN2110_CashA", Kick::Toggle, 0x01, Read::Prepared, 0x04, true},
    {"RN2110_CashB", Kick::Toggle, 0x02, Read::Prepared, 0x08, false},
    {"RN320_CashA", Kick::Pulse, 0x01, Read::Direct, 0x04, true},
    {"RN320_CashB", Kick::Pulse, 0x02, Read::Direct, 0x08, false},
};

// Mode and data registers read, all lines written high, mode set to GPIO.
Trace Preparation(uint8_t mode, uint8_t pins) {
    return Join({Get(0xF0, mode), Get(0xF1, pins), Set(0xF1, 0xFF), Get(0xF1, pins), Set(0xF0, 0xFC)});
}

Trace ExpectedKick(const SuperIoCase& c, uint8_t pins) {
    if (c.kick == Kick::Toggle) {
        return Claimed({Enter(), Set(0x2A, 0xFC), Set(0x07, 0x07), Preparation(0x00, pins), Get(0xF1, pins),
                        Set(0xF1, pins ^ c.driveMask), Set(0xF1, pins),
                        Enter(), Set(0x07, 0x07), Set(0x2A, 0x2E), Set(0xF0, 0xFF), Set(0xF1, 0xCF), Set(0xF1, 0x00),
                        Exit()});
    }
    const uint8_t rest = pins & static_cast<uint8_t>(~c.driveMask);
    return Claimed({Enter(), Set(0x07, 0x07), {Pause(10)}, Set(0x2A, 0xFC), Get(0xF1, pins),
                    {Write8(0x2F, rest | c.driveMask), Pause(10), Write8(0x2F, rest)}, Exit()});
}

Trace ExpectedStatus(const SuperIoCase& c, uint8_t pins) {
    if (c.read == Read::Prepared) {
        Trace settle = c.drawerA ? Trace{Pause(10), Pause(10)} : Trace{Pause(10)};
        Trace trace = Join({{Init(), BusClaim()}, Enter(), Set(0x07, 0x07), Set(0x2A, 0xFC), Preparation(0x00, pins),
                            {Write8(0x2E, 0xF1), Pause(10), Read8(0x2F, pins)}, settle, Exit(),
                            {BusRelease(), Pause(10), Shutdown()}});
        return trace;
    }
    return Claimed({Enter(), Set(0x07, 0x07), {Pause(10)}, Set(0x2A, 0xFC), Get(0xF1, pins), Exit()});
}

TEST(SuperIo, EveryDrawerKicksWithItsWholeSequence) {
    for (const SuperIoCase& c : kSuperIoDrawers) {
        for (uint8_t pins : {0xFF, 0xF5, 0xF4, 0x00}) {
            SimTerminal terminal;
            terminal.superIo.SetGpioPins(pins);
            EXPECT_EQ(terminal.library.OpenCash(c.drawerId), CASH_DRAWER_KICKED);
            EXPECT_EQ(terminal.Accesses(), ExpectedKick(c, pins)) << c.drawerId << " pins " << int(pins);
            EXPECT_FALSE(terminal.superIo.InConfigMode()) << c.drawerId;
        }
    }
}

// The chip answers only in configuration mode, so these results also prove
// that each read was made inside it. Only the drawer's own sense bit counts.
TEST(SuperIo, EveryDrawerReportsItsOwnSenseBitClearAsOne) {
    for (const SuperIoCase& c : kSuperIoDrawers) {
        const uint8_t onlyOwnBitClear = static_cast<uint8_t>(~c.senseMask);
        const uint8_t onlyOwnBitSet = c.senseMask;
        for (uint8_t pins : {onlyOwnBitClear, onlyOwnBitSet}) {
            SimTerminal terminal;
            terminal.superIo.SetGpioPins(pins);
            EXPECT_EQ(terminal.library.GetCashStatus(c.drawerId), pins == onlyOwnBitClear ? 1 : 0)
                << c.drawerId << " pins " << int(pins);
            EXPECT_EQ(terminal.Accesses(), ExpectedStatus(c, pins)) << c.drawerId;
            EXPECT_FALSE(terminal.superIo.InConfigMode()) << c.drawerId;
        }
    }
}

TEST(SuperIo, FieldValues) {
    struct KickCase {
        const char* drawerId;
        uint8_t pins;
        uint8_t first, second; // the two writes that make the kick
    };
    const KickCase kicks[] = {
        {"KV7830_CashA", 0xFF, 0xFE, 0xFF}, {"KV7830_CashA", 0xFE, 0xFF, 0xFE}, {"KV7830_CashB", 0xFF, 0xFD, 0xFF},
        {"RN320_CashA", 0xF5, 0xF5, 0xF4},  {"RN320_CashA", 0xF4, 0xF5, 0xF4},  {"RN320_CashB", 0xFF, 0xFF, 0xFD},
    };
    for (const KickCase& c : kicks) {
        SimTerminal terminal;
        terminal.superIo.SetGpioPins(c.pins);
        terminal.library.OpenCash(c.drawerId);
        const Trace trace = terminal.Accesses();
        // The kick's two writes follow the last read of register 0xF1.
        auto lastRead = std::find_if(trace.rbegin(), trace.rend(), [](const AccessRecord& r) { return r.op == AccessOp::Read; });
        ASSERT_NE(lastRead, trace.rend());
        Trace writes;
        for (auto it = lastRead.base(); it != trace.end() && writes.size() < 2; ++it) {
            if (it->op == AccessOp::Write && it->port == 0x2F) {
                writes.push_back(*it);
            }
        }
        EXPECT_EQ(writes, (Trace{Write8(0x2F, c.first), Write8(0x2F, c.second)})) << c.drawerId << " " << int(c.pins);
    }

    struct StatusCase {
        const char* drawerId;
        uint8_t pins;
        int status;
    };
    const StatusCase reads[] = {
        {"KV7830_CashA", 0xFB, 1}, {"KV7830_CashA", 0xFF, 0}, {"KV7830_CashB", 0xF7, 1},
        {"KV7830_CashB", 0xFF, 0}, {"RN320_CashB", 0x04, 1},  {"RN320_CashA", 0x08, 1},
    };
    for (const StatusCase& c : reads) {
        SimTerminal terminal;
        terminal.superIo.SetGpioPins(c.pins);
        EXPECT_EQ(terminal.library.GetCashStatus(c.drawerId), c.status) << c.drawerId << " " << int(c.pins);
    }
}

TEST(SuperIo, RegistersAreLeftAsEachSequenceLeavesThem) {
    struct Case {
        const char* drawerId;
        bool kick;
        uint8_t pinFunction; // global register 0x2A
        uint8_t gpioMode;    // device 7 register 0xF0
        uint8_t gpioData;    // device 7 register 0xF1, as last written
    };
    const Case cases[] = {
        {"KV7450_CashA", true, 0x2E, 0xFF, 0x00},  // toggle kick
        {"KV7450_CashB", false, 0xFC, 0xFC, 0xFF}, // prepared read
        {"RN320_CashA", true, 0xFC, 0x00, 0xB2},   // pulse kick: the byte read, drive bit cleared
        {"RN320_CashB", false, 0xFC, 0x00, 0xB3},  // direct read writes only 0x07 and 0x2A
    };
    for (const Case& c : cases) {
        SimTerminal terminal;
        terminal.superIo.SetRegister(7, 0xF1, 0xB3);
        c.kick ? terminal.library.OpenCash(c.drawerId) : terminal.library.GetCashStatus(c.drawerId);
        EXPECT_EQ(terminal.superIo.Register(0, 0x2A), c.pinFunction) << c.drawerId;
        EXPECT_EQ(terminal.superIo.Register(7, 0xF0), c.gpioMode) << c.drawerId;
        EXPECT_EQ(terminal.superIo.Register(7, 0xF1), c.gpioData) << c.drawerId;
    }
}

TEST(SuperIo, ASequenceRunsEvenWhenTheSharedPortsCannotBeClaimed) {
    SimTerminal terminal;
    terminal.busLock.SetHeldElsewhere(true);
    terminal.superIo.SetGpioPins(0xFB);
    EXPECT_EQ(terminal.library.GetCashStatus("RN320_CashA"), 1);
    const AccessRecord timedOut{.op = AccessOp::BusClaim, .value = 0};
    EXPECT_EQ(terminal.Accesses(), Join({{Init(), timedOut}, Enter(), Set(0x07, 0x07), {Pause(10)}, Set(0x2A, 0xFC),
                                         Get(0xF1, 0xFB), Exit(), {Shutdown()}}));
}

} // namespace
} // namespace cashdrawer::test
