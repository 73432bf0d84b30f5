// The tool's drive-line follower and its timing diagram, on traces written
// by hand: which accesses count as the line, where its pulses start and
// how long they last.
#include "cli/timing_diagram.h"
#include "interface/catalogue.h"

#include <gtest/gtest.h>

namespace cashdrawer::cli {
namespace {

using sim::AccessOp;
using sim::AccessRecord;

AccessRecord PortRead(uint64_t t, uint16_t port, uint32_t value) { return {t, AccessOp::Read, port, 1, value, 0}; }
AccessRecord PortWrite(uint64_t t, uint16_t port, uint32_t value) { return {t, AccessOp::Write, port, 1, value, 0}; }
AccessRecord MemWrite(uint64_t t, uint32_t address, uint32_t value) {
    return {t, AccessOp::MemWrite, 0, 4, value, address};
}

// Where the tool follows each drawer method's drive line: one row per
// method, with the wiring's own address and bit.
TEST(DriveLineOfEachMethod, NamesTheWiringsAddressAndBit) {
    struct Case {
        const char* drawerId;
        DriveLine::Where where;
        uint32_t address;
        uint32_t mask;
    };
    const Case cases[] = {
        {"RN340_CashA", DriveLine::Where::Port, 0x50E, 0x08},
        {"RN2180_CashA", DriveLine::Where::Memory, 0xFDAE0670, 0x1},
        {"DL470_CashA", DriveLine::Where::None, 0, 0},
        {"KV7820_CashB", DriveLine::Where::None, 0, 0},
    };
    for (const Case& c : cases) {
        const CatalogueRow* row = FindForOpenCash(c.drawerId);
        ASSERT_NE(row, nullptr) << c.drawerId;
        const DriveLine line = row->method->driveLine(*row);
        EXPECT_EQ(line.where, c.where) << c.drawerId;
        EXPECT_EQ(line.address, c.address) << c.drawerId;
        EXPECT_EQ(line.mask, c.mask) << c.drawerId;
    }
}

TEST(DriveLineFollower, EachKindOfLineSeesOnlyItsOwnBit) {
    const DriveLine port{DriveLine::Where::Port, 0x50E, 0x08};
    const DriveLine superIo{DriveLine::Where::SuperIoRegister, 0xF1, 0x04};
    const DriveLine memory{DriveLine::Where::Memory, 0xFDAE0670, 0x1};
    const std::vector<AccessRecord> trace = {
        PortRead(0, 0x50E, 0xFF),          // port line high
        PortWrite(10, 0x50F, 0x00),        // another port: not the line
        PortWrite(20, 0x50E, 0xF7),        // port line low
        PortWrite(30, 0x2E, 0xF0),         // Super I/O index: another register
        PortWrite(40, 0x2F, 0x04),         // ...so this data write is not the line
        PortWrite(50, 0x2E, 0xF1),         // the line's register
        PortWrite(60, 0x2F, 0x04),         // Super I/O line high
        PortWrite(70, 0x2F, 0x00),         // and low
        MemWrite(80, 0xFDAE0660, 0x0),     // the other register set
        MemWrite(90, 0xFDAE0670, 0xFFFFFFFE),
        MemWrite(100, 0xFDAE0670, 0x1),
        PortWrite(110, 0x50E, 0xF7),       // the same level again: no change
    };
    EXPECT_EQ(FollowDriveLine(trace, port),
              (std::vector<LevelChange>{{0, 1}, {20, 0}}));
    EXPECT_EQ(FollowDriveLine(trace, superIo), (std::vector<LevelChange>{{60, 1}, {70, 0}}));
    EXPECT_EQ(FollowDriveLine(trace, memory), (std::vector<LevelChange>{{90, 0}, {100, 1}}));
    EXPECT_TRUE(FollowDriveLine(trace, DriveLine{}).empty());
}

TEST(DriveLineFollower, PulsesAreTheIntervalsBetweenTheFirstAndLastChange) {
    // Resting high, pulsed low for 512 ms, high again: one pulse.
    const std::vector<LevelChange> kick = {{1000, 1}, {2000, 0}, {514000, 1}};
    const std::vector<Pulse> pulses = PulsesOf(kick);
    ASSERT_EQ(pulses.size(), 1u);
    EXPECT_EQ(pulses[0].level, 0);
    EXPECT_EQ(pulses[0].fromMicros, 2000u);
    EXPECT_EQ(pulses[0].lengthMicros, 512000u);
    EXPECT_TRUE(PulsesOf({{0, 1}}).empty());
    EXPECT_TRUE(PulsesOf({{0, 1}, {5, 0}}).empty()); // the last level has no end
    EXPECT_EQ(PulsesOf({{0, 0}, {5, 1}, {7, 0}, {20, 1}}).size(), 2u);
}

TEST(TimingDiagram, DrawsTheLevelsAndNamesEachPulseFromTheCallsStart) {
    const DriveLine port{DriveLine::Where::Port, 0x50E, 0x08};
    const std::string diagram = DrawTimingDiagram({{101000, 1}, {102000, 0}, {614000, 1}}, 100000, 620000, port, 20);
    EXPECT_NE(diagram.find("Drive line: port 0x050E, bit mask 0x08\n"), std::string::npos) << diagram;
    EXPECT_NE(diagram.find("  low for 512.000 ms, from +2.000 ms\n"), std::string::npos) << diagram;
    // Times count from the call's start. 20 columns over 572 ms: high, a falling edge, 16 low columns, a
    // rising edge, high.
    EXPECT_NE(diagram.find("  high |-+" + std::string(16, ' ') + "+-|\n"), std::string::npos) << diagram;
    EXPECT_NE(diagram.find("  low  | +" + std::string(16, '-') + "+ |\n"), std::string::npos) << diagram;
    EXPECT_NE(diagram.find("+572.000 ms\n"), std::string::npos) << diagram;

    EXPECT_EQ(DrawTimingDiagram({}, 0, 10, port), "Drive line: port 0x050E, bit mask 0x08\n  (the line was not touched)\n");
    for (const auto& [line, words] : std::vector<std::pair<DriveLine, const char*>>{
             {{DriveLine::Where::SuperIoRegister, 0xF1, 0x04}, "Super I/O register 0xF1 (device 7), bit mask 0x04"},
             {{DriveLine::Where::Memory, 0xFDAE0670, 0x1}, "memory register 0xFDAE0670, bit mask 0x1"},
             {{}, "none (driven by commands, not by a line)"},
         }) {
        EXPECT_EQ(DescribeDriveLine(line), words);
    }
}

} // namespace
} // namespace cashdrawer::cli
