#include "test_terminal.h"

#include "cash_drawer.h"
#include "hardware/memory_gpio.h"

#include <gtest/gtest.h>

namespace cashdrawer::test {
namespace {

struct RegisterSetCase {
    const char* drawerId;
    uint32_t status;
    uint32_t output;
};

// RN2180 and RN3470 drawers A use register set A, drawers B set B.
constexpr RegisterSetCase kMemoryDrawers[] = {
    {"RN2180_CashA", 0xFDAE0500, 0xFDAE0670},
    {"RN3470_CashA", 0xFDAE0500, 0xFDAE0670},
    {"RN2180_CashB", 0xFDAE04F8, 0xFDAE0660},
    {"RN3470_CashB", 0xFDAE04F8, 0xFDAE0660},
};

TEST(MemoryGpio, KickEnablesSenseThenHoldsOutputHigh600MsAndPulsesItLow100Ms) {
    for (const RegisterSetCase& c : kMemoryDrawers) {
        SimTerminal terminal;
        terminal.board.Poke(c.status, 0x12345670);
        terminal.board.Poke(c.output, 0xFFFFFFFE);
        EXPECT_EQ(terminal.library.OpenCash(c.drawerId), CASH_DRAWER_KICKED) << c.drawerId;
        // No port I/O bracket: memory drawers never touch the port library.
        EXPECT_EQ(terminal.Accesses(), (Trace{BoardOpen(),
                                              MemRead(c.status, 0x12345670), MemWrite(c.status, 0x12345671), Pause(100),
                                              MemRead(c.output, 0xFFFFFFFE), MemWrite(c.output, 0xFFFFFFFF), Pause(600),
                                              MemRead(c.output, 0xFFFFFFFF), MemWrite(c.output, 0xFFFFFFFE), Pause(100),
                                              MemRead(c.output, 0xFFFFFFFE), MemWrite(c.output, 0xFFFFFFFF),
                                              BoardClose()}))
            << c.drawerId;
    }
}

TEST(MemoryGpio, SetAStatusEnablesTheSenseLineAndReadsAfter100Ms) {
    struct Case {
        uint32_t before; // bit 1 is the sense line, which the enable leaves alone
        int status;
    };
    for (const Case& c : {Case{0x00000002, 0}, Case{0x00000000, 1}, Case{0xFFFFFFFD, 1}, Case{0xFFFFFFFE, 0}}) {
        for (const char* drawerId : {"RN2180_CashA", "RN3470_CashA"}) {
            SimTerminal terminal;
            terminal.board.Poke(0xFDAE0500, c.before);
            EXPECT_EQ(terminal.library.GetCashStatus(drawerId), c.status) << drawerId << " " << c.before;
            const uint32_t enabled = c.before | 1;
            EXPECT_EQ(terminal.Accesses(), (Trace{BoardOpen(), MemRead(0xFDAE0500, c.before),
                                                  MemWrite(0xFDAE0500, enabled), Pause(100),
                                                  MemRead(0xFDAE0500, enabled), BoardClose()}))
                << drawerId;
        }
    }
}

TEST(MemoryGpio, SetBStatusIsOneReadAndNoWrite) {
    struct Case {
        uint32_t value;
        int status;
    };
    for (const Case& c : {Case{0x00000002, 0}, Case{0x00000000, 1}, Case{0xFFFFFFFD, 1}}) {
        for (const char* drawerId : {"RN2180_CashB", "RN3470_CashB"}) {
            SimTerminal terminal;
            terminal.board.Poke(0xFDAE04F8, c.value);
            EXPECT_EQ(terminal.library.GetCashStatus(drawerId), c.status) << drawerId << " " << c.value;
            EXPECT_EQ(terminal.Accesses(), (Trace{BoardOpen(), MemRead(0xFDAE04F8, c.value), BoardClose()})) << drawerId;
        }
    }
}

// Without the board I/O library nothing reaches a register: both exports say
// so with -2, and no call carries an empty handle.
TEST(MemoryGpio, UnreachableBoardGivesMinusTwoAndTouchesNoRegister) {
    for (const RegisterSetCase& c : kMemoryDrawers) {
        SimTerminal missing;
        missing.board.SetMissing(true);
        EXPECT_EQ(missing.library.OpenCash(c.drawerId), CASH_DRAWER_UNREACHABLE);
        EXPECT_EQ(missing.library.GetCashStatus(c.drawerId), CASH_DRAWER_UNREACHABLE);
        EXPECT_TRUE(missing.Accesses().empty()) << c.drawerId;

        SimTerminal refused;
        refused.board.SetOpenFails(true);
        EXPECT_EQ(refused.library.OpenCash(c.drawerId), CASH_DRAWER_UNREACHABLE);
        EXPECT_EQ(refused.library.GetCashStatus(c.drawerId), CASH_DRAWER_UNREACHABLE);
        const AccessRecord failedOpen{.op = AccessOp::BoardOpen, .value = 0};
        EXPECT_EQ(refused.Accesses(), (Trace{failedOpen, failedOpen})) << c.drawerId;
    }
}

// A board I/O that reaches every register but one: one register out of
// reach is enough for the health check to call the registers unreachable.
class BoardIoWithAHole final : public BoardIo {
public:
    explicit BoardIoWithAHole(uint32_t hole) : hole_(hole) {}
    BoardIoHandle Open() override { return 1; }
    void Close(BoardIoHandle) override {}
    bool Reach(BoardIoHandle, uint32_t physicalAddress) override { return physicalAddress != hole_; }
    uint32_t ReadDWord(BoardIoHandle, uint32_t) override { return 0; }
    void WriteDWord(BoardIoHandle, uint32_t, uint32_t) override {}
    std::string Diagnosis() const override { return "a board with a hole"; }

private:
    uint32_t hole_;
};

TEST(MemoryGpio, TheRegistersAreReachableOnlyWhenEveryOneIs) {
    for (const RegisterSetCase& c : kMemoryDrawers) {
        for (const uint32_t hole : {c.status, c.output}) {
            BoardIoWithAHole board(hole);
            EXPECT_FALSE(MemoryGpioRegistersReachable(board)) << c.drawerId << " " << std::hex << hole;
        }
    }
    BoardIoWithAHole whole(0);
    EXPECT_TRUE(MemoryGpioRegistersReachable(whole));
}

TEST(MemoryGpio, PortDrawersWorkWithoutTheBoardLibrary) {
    SimTerminal terminal;
    terminal.board.SetMissing(true);
    terminal.ports.Poke(0x50E, 0xFF, PortWidth::Byte);
    EXPECT_EQ(terminal.library.OpenCash("RN340_CashA"), CASH_DRAWER_KICKED);
}

} // namespace
} // namespace cashdrawer::test
