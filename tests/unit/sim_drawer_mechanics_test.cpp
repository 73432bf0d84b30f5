// The simulated drawers open when kicked and shut after their time or when
// pushed: every drawer with a moving sensor, through the library's own
// kick and status read, on the virtual clock.
#include "sim/sim_drawer_mechanics.h"

#include "test_terminal.h"

#include <set>

namespace cashdrawer::test {
namespace {

struct MechanicalTerminal : SimTerminal {
    sim::SimDrawerMechanics mechanics{ports, board, clock};

    // A library call as the simulated library makes it: settle, call,
    // observe what the call did.
    template <typename Call>
    int Run(Call call) {
        mechanics.Settle();
        const std::size_t before = log.Records().size();
        const int result = call();
        const auto& records = log.Records();
        mechanics.Observe(Trace(records.begin() + static_cast<std::ptrdiff_t>(before), records.end()));
        return result;
    }
    int Status(const char* id) {
        return Run([&] { return library.GetCashStatus(id); });
    }
    int Kick(const char* id) {
        return Run([&] { return library.OpenCash(id); });
    }
};

TEST(SimDrawerMechanics, EveryMovingDrawerOpensWhenKickedAndShutsAfterItsTime) {
    int moving = 0;
    for (const CatalogueRow& row : Catalogue()) {
        if (!row.Kicks() || !sim::SenseLineOf(row)) {
            continue;
        }
        ++moving;
        MechanicalTerminal terminal;
        const int rest = terminal.Status(row.drawerId);
        ASSERT_TRUE(rest == 0 || rest == 1) << row.drawerId;
        ASSERT_EQ(terminal.Kick(row.drawerId), 1) << row.drawerId;
        EXPECT_EQ(terminal.Status(row.drawerId), 1 - rest) << row.drawerId << ": open after the kick";
        EXPECT_TRUE(terminal.mechanics.IsOpen(row.drawerId));
        terminal.clock.SleepMs(sim::SimDrawerMechanics::kDefaultClosesAfterMs - 600); // the kick took ~600 ms at most
        EXPECT_EQ(terminal.Status(row.drawerId), 1 - rest) << row.drawerId << ": still open";
        terminal.clock.SleepMs(600);
        EXPECT_EQ(terminal.Status(row.drawerId), rest) << row.drawerId << ": shut on its own";
        EXPECT_FALSE(terminal.mechanics.IsOpen(row.drawerId));
    }
    EXPECT_GE(moving, 30); // the port and memory drawers, not the Super I/O or serial ones
}

TEST(SimDrawerMechanics, AStatusReadIsNoKickAndTheSuperIoDrawersKeepTheirSensor) {
    MechanicalTerminal terminal;
    const int rest = terminal.Status("RN340_CashA");
    EXPECT_EQ(terminal.Status("RN340_CashA"), rest);
    EXPECT_FALSE(terminal.mechanics.IsOpen("RN340_CashA"));
    const int superIoRest = terminal.Status("KV7830_CashA");
    ASSERT_EQ(terminal.Kick("KV7830_CashA"), 1);
    EXPECT_EQ(terminal.Status("KV7830_CashA"), superIoRest);
    EXPECT_EQ(terminal.mechanics.PushShut("KV7830_CashA"), -1);
}

TEST(SimDrawerMechanics, PushedShutOrLeftOpenWhenItNeverShutsOnItsOwn) {
    MechanicalTerminal terminal;
    terminal.mechanics.SetClosesAfterMs(0);
    const int rest = terminal.Status("RN340_CashA");
    EXPECT_EQ(terminal.mechanics.PushShut("RN340_CashA"), 0); // not open
    ASSERT_EQ(terminal.Kick("RN340_CashA"), 1);
    terminal.clock.SleepMs(3'600'000);
    EXPECT_EQ(terminal.Status("RN340_CashA"), 1 - rest);
    EXPECT_EQ(terminal.mechanics.PushShut("RN340_CashA"), 1);
    EXPECT_EQ(terminal.Status("RN340_CashA"), rest);
    EXPECT_EQ(terminal.mechanics.PushShut("RN340_CashA"), 0);
    EXPECT_EQ(terminal.mechanics.PushShut("NoSuchDrawer"), -1);
    EXPECT_EQ(terminal.mechanics.PushShut(nullptr), -1);
}

// Two drawers on one wiring are one drawer: kicked twice, its sensor is
// flipped once, and a kick while open keeps it open for the full time
// from the second kick.
TEST(SimDrawerMechanics, AKickWhileOpenKeepsItOpenWithoutFlippingTheSensorBack) {
    // RN370 drawer B's sense bit sits in the port its kick writes: each
    // kick writes the bit back to its rest level, and the drawer must
    // still read open.
    for (const char* id : {"RN340_CashA", "RN370_CashB"}) {
        MechanicalTerminal terminal;
        terminal.mechanics.SetClosesAfterMs(1000);
        const int rest = terminal.Status(id);
        ASSERT_EQ(terminal.Kick(id), 1) << id;
        terminal.clock.SleepMs(100);
        ASSERT_EQ(terminal.Kick(id), 1) << id;
        EXPECT_EQ(terminal.Status(id), 1 - rest) << id;
        terminal.clock.SleepMs(900);
        EXPECT_EQ(terminal.Status(id), 1 - rest) << id << ": 1000 ms from the second kick, not the first";
        terminal.clock.SleepMs(100);
        EXPECT_EQ(terminal.Status(id), rest) << id;
    }
}

TEST(SimDrawerMechanics, TheSenseLinesAreTheStatusReadsOwn) {
    const struct {
        const char* id;
        DriveLine::Where where;
        uint32_t address;
        uint32_t mask;
    } cases[] = {
        {"RN340_CashA", DriveLine::Where::Port, 0x53A, 0x04},
        {"RN170_CashB", DriveLine::Where::Port, 0x50E, 0x40},
        {"RN2180_CashA", DriveLine::Where::Memory, 0xFDAE0500, 0x2},
        {"RN2180_CashB", DriveLine::Where::Memory, 0xFDAE04F8, 0x2},
    };
    for (const auto& c : cases) {
        const CatalogueRow* row = FindForGetCashStatus(c.id);
        ASSERT_NE(row, nullptr) << c.id;
        const auto sense = sim::SenseLineOf(*row);
        ASSERT_TRUE(sense) << c.id;
        EXPECT_EQ(sense->where, c.where) << c.id;
        EXPECT_EQ(sense->address, c.address) << c.id;
        EXPECT_EQ(sense->mask, c.mask) << c.id;
    }
}

// A jammed drawer is the program under test's "did not open" path: its
// kick runs, its sensor keeps its level, and once freed it moves again.
// Drawers that share its sensor are jammed with it; the next one along is
// not.
TEST(SimDrawerMechanics, AJammedDrawerStaysShutUntilFreed) {
    MechanicalTerminal terminal;
    ASSERT_EQ(terminal.mechanics.SetJammed("RN340_CashA", true), 1);
    const int rest = terminal.Status("RN340_CashA");
    ASSERT_EQ(terminal.Kick("RN340_CashA"), 1);
    EXPECT_EQ(terminal.Status("RN340_CashA"), rest);
    EXPECT_FALSE(terminal.mechanics.IsOpen("RN340_CashA"));
    const int restB = terminal.Status("RN340_CashB");
    ASSERT_EQ(terminal.Kick("RN340_CashB"), 1);
    EXPECT_EQ(terminal.Status("RN340_CashB"), 1 - restB) << "only drawer A is jammed";
    ASSERT_EQ(terminal.mechanics.SetJammed("RN340_CashA", false), 1);
    ASSERT_EQ(terminal.Kick("RN340_CashA"), 1);
    EXPECT_EQ(terminal.Status("RN340_CashA"), 1 - rest);
    EXPECT_EQ(terminal.mechanics.SetJammed("KV7830_CashA", true), -1); // its sensor never moves
    EXPECT_EQ(terminal.mechanics.SetJammed("NoSuchDrawer", true), -1);
    EXPECT_EQ(terminal.mechanics.SetJammed(nullptr, true), -1);
}

// The settings a program under test is started with: each value beside an
// accepted one is left out and said, never half taken.
TEST(SimDrawerMechanics, SettingsFromTheEnvironment) {
    const struct {
        const char* closesMs;
        const char* jammed;
        uint32_t closesAfter; // how long RN340 drawer A stays open
        bool jammedA;         // RN340_CashA
        bool jammedB;         // RN370_CashB
        const char* problem;  // part of what is said; "" nothing
    } cases[] = {
        {nullptr, nullptr, sim::SimDrawerMechanics::kDefaultClosesAfterMs, false, false, ""},
        {"", "", sim::SimDrawerMechanics::kDefaultClosesAfterMs, false, false, ""},
        {"700", "RN340_CashA", 700, true, false, ""},
        {"0", "RN340_CashA,RN370_CashB", 0, true, true, ""},
        {"86400000", " RN340_CashA , RN370_CashB ", 86'400'000, true, true, ""},
        {"86400001", nullptr, sim::SimDrawerMechanics::kDefaultClosesAfterMs, false, false, "86400001 is not a count"},
        {"-1", nullptr, sim::SimDrawerMechanics::kDefaultClosesAfterMs, false, false, "-1 is not a count"},
        {"700ms", nullptr, sim::SimDrawerMechanics::kDefaultClosesAfterMs, false, false, "700ms is not"},
        {"999999999", nullptr, sim::SimDrawerMechanics::kDefaultClosesAfterMs, false, false, "999999999 is not"},
        {nullptr, "RN340_CashA,,RN340_CashZ", sim::SimDrawerMechanics::kDefaultClosesAfterMs, true, false,
         "CASHDRAWER_SIM_DRAWER_JAMMED: RN340_CashZ is no drawer"},
        {nullptr, "rn340_casha", sim::SimDrawerMechanics::kDefaultClosesAfterMs, false, false, "rn340_casha is no drawer"},
    };
    for (const auto& c : cases) {
        const std::string label = std::string(c.closesMs ? c.closesMs : "(unset)") + " / " + (c.jammed ? c.jammed : "(unset)");
        MechanicalTerminal terminal;
        std::string problems;
        terminal.mechanics.Configure(c.closesMs, c.jammed, &problems);
        EXPECT_EQ(problems.empty(), *c.problem == '\0') << label << ": " << problems;
        EXPECT_NE(problems.find(c.problem), std::string::npos) << label << ": " << problems;
        for (const auto& [id, jammed] : {std::pair{"RN370_CashB", c.jammedB}, std::pair{"RN340_CashA", c.jammedA}}) {
            const int rest = terminal.Status(id);
            ASSERT_EQ(terminal.Kick(id), 1);
            EXPECT_EQ(terminal.Status(id), jammed ? rest : 1 - rest) << label << ": " << id;
        }
        if (c.jammedA) {
            continue;
        }
        // Drawer A's time runs from the end of its kick, just now.
        const int open = terminal.Status("RN340_CashA");
        if (c.closesAfter == 0) {
            terminal.clock.SleepMs(3'600'000);
            EXPECT_EQ(terminal.Status("RN340_CashA"), open) << label << ": open until pushed shut";
            continue;
        }
        terminal.clock.SleepMs(c.closesAfter - 1);
        EXPECT_EQ(terminal.Status("RN340_CashA"), open) << label << ": open 1 ms before its time";
        terminal.clock.SleepMs(1);
        EXPECT_EQ(terminal.Status("RN340_CashA"), 1 - open) << label << ": shut at its time";
    }
}

} // namespace
} // namespace cashdrawer::test
