#include "test_terminal.h"

#include "cash_drawer.h"
#include "hardware/port_gpio.h"
#include "interface/catalogue.h"

#include <gtest/gtest.h>

namespace cashdrawer::test {
namespace {

enum class Export { OpenCash, GetCashStatus };

int Call(SimTerminal& terminal, Export which, const char* drawerId) {
    return which == Export::OpenCash ? terminal.library.OpenCash(drawerId) : terminal.library.GetCashStatus(drawerId);
}

// Identifiers neither export drives: an unknown one opens and closes the
// port I/O bracket, touches nothing between, and yields -1.
TEST(Dispatch, UnknownIdentifiersOpenAndCloseTheBracketOnly) {
    const char* unknown[] = {"rn340_casha", "RN340_CashA ", "RN340_Cash", "RN340_CashAA", "", "KV2790L_CashB",
                             "RN340_CashA.dll"};
    for (Export which : {Export::OpenCash, Export::GetCashStatus}) {
        for (const char* drawerId : unknown) {
            SimTerminal terminal;
            EXPECT_EQ(Call(terminal, which, drawerId), CASH_DRAWER_UNKNOWN_ID) << '"' << drawerId << '"';
            EXPECT_EQ(terminal.Accesses(), (Trace{Init(), Shutdown()})) << '"' << drawerId << '"';
        }
    }
}

// Drawers the catalogue lists without a sequence of their own in an export.
TEST(Dispatch, ListedDrawersWithoutASequenceOpenTheBracketAndYieldMinusOne) {
    for (const char* drawerId : {"KV7820_CashB", "KV4980_CashB", "KV7100_CashB"}) {
        for (Export which : {Export::OpenCash, Export::GetCashStatus}) {
            SimTerminal terminal;
            EXPECT_EQ(Call(terminal, which, drawerId), CASH_DRAWER_UNKNOWN_ID) << drawerId;
            EXPECT_EQ(terminal.Accesses(), (Trace{Init(), Shutdown()})) << drawerId;
        }
    }
}

TEST(Dispatch, NullIdentifierYieldsMinusOneAndTouchesNothing) {
    for (Export which : {Export::OpenCash, Export::GetCashStatus}) {
        SimTerminal terminal;
        EXPECT_EQ(Call(terminal, which, nullptr), CASH_DRAWER_UNKNOWN_ID);
        EXPECT_TRUE(terminal.Accesses().empty());
    }
}

// When the port I/O library is missing, or its initialisation fails, no
// port sequence runs and a known drawer reports -2, never a kick or a state
// made up from ports that were never read. Shutdown is owed exactly when
// initialisation was called.
TEST(Dispatch, UnreachablePortIoGivesMinusTwoForKnownDrawersAndMinusOneForUnknown) {
    struct Case {
        Result start;
        Trace bracket;
    };
    const Case cases[] = {
        {Result::LibraryMissing, {}},
        {Result::LibraryFailed, {{0, AccessOp::Initialize, 0, 1, 0}, Shutdown()}},
    };
    struct Call_ {
        Export which;
        const char* drawerId;
        int result;
    };
    const Call_ calls[] = {
        {Export::OpenCash, "RN340_CashA", CASH_DRAWER_UNREACHABLE},
        {Export::OpenCash, "RN370_CashB", CASH_DRAWER_UNREACHABLE},
        {Export::GetCashStatus, "RN170_CashA", CASH_DRAWER_UNREACHABLE},
        {Export::GetCashStatus, "KV7640_CashA", CASH_DRAWER_UNREACHABLE},
        {Export::OpenCash, "NoSuchDrawer", CASH_DRAWER_UNKNOWN_ID},
        {Export::GetCashStatus, "NoSuchDrawer", CASH_DRAWER_UNKNOWN_ID},
        {Export::OpenCash, "KV7100_CashB", CASH_DRAWER_UNKNOWN_ID},
    };
    for (const Case& c : cases) {
        for (const Call_& call : calls) {
            SimTerminal terminal;
            terminal.ports.SetStart(c.start);
            EXPECT_EQ(Call(terminal, call.which, call.drawerId), call.result) << call.drawerId;
            EXPECT_EQ(terminal.Accesses(), c.bracket) << call.drawerId;
        }
    }
}

TEST(Dispatch, AFailedStartDoesNotSpendTheOneTimeChipSetUp) {
    SimTerminal terminal;
    terminal.ports.SetStart(Result::LibraryFailed);
    terminal.library.OpenCash("RN340_CashA");
    terminal.ports.SetStart(Result::Ok);
    terminal.log.Clear();
    terminal.ports.Poke(0x53A, 0x00, PortWidth::Byte);
    EXPECT_EQ(terminal.library.GetCashStatus("RN340_CashA"), 1);
    EXPECT_EQ(terminal.Accesses(), Join({{Init()}, GpioChipSetUp(), {Read8(0x53A, 0x00), Shutdown()}}));
}

TEST(Dispatch, EachCallSelectsAfreshWhateverTheCallBeforeSelected) {
    SimTerminal terminal;
    terminal.ports.Poke(0x53A, 0x10, PortWidth::Byte); // RN340 A: bit 2 clear -> 1; B: bit 4 set -> 0
    EXPECT_EQ(terminal.library.GetCashStatus("RN340_CashA"), 1);
    EXPECT_EQ(terminal.library.GetCashStatus("RN340_CashB"), 0);
    EXPECT_EQ(terminal.library.GetCashStatus("RN340_CashA"), 1);
    terminal.ports.Poke(0x5A8, 0x40, PortWidth::DWord);
    EXPECT_EQ(terminal.library.GetCashStatus("RN370_CashA"), 0);
    EXPECT_EQ(terminal.library.GetCashStatus("RN340_CashA"), 1);
}

// The simulated port space marks a port access the real library would not
// serve; no drawer of either export makes one, and a sequence run without
// its bracket is caught.
TEST(Dispatch, EveryPortAccessOfEveryDrawerSitsInsideTheBracket) {
    for (const CatalogueRow& row : Catalogue()) {
        for (Export which : {Export::OpenCash, Export::GetCashStatus}) {
            SimTerminal terminal;
            Call(terminal, which, row.drawerId);
            for (const AccessRecord& record : terminal.Accesses()) {
                EXPECT_NE(record.address, sim::kMisuse) << row.drawerId << ": " << sim::FormatAccess(record, 0);
            }
        }
    }
    SimTerminal terminal;
    PortGpioState state;
    PortGpioDrawers(terminal.ports, terminal.clock, state).KickProfileDrawer32(kRn370WiringA);
    ASSERT_FALSE(terminal.Accesses().empty());
    EXPECT_EQ(terminal.Accesses().front().address, sim::kMisuse);
    EXPECT_NE(sim::FormatAccess(terminal.Accesses().front(), 0).find("OUTSIDE"), std::string::npos);
}

} // namespace
} // namespace cashdrawer::test
