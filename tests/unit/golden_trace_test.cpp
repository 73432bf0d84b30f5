#include "test_terminal.h"

#include "sim/golden_trace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace cashdrawer::test {
namespace {

// Every kind of record survives the trip through its text: the golden
// traces and the tool's output say exactly what the log holds.
TEST(TraceText, EveryRecordReadsBackFromItsDescription) {
    const AccessRecord records[] = {
        Init(),
        {.op = AccessOp::Initialize, .width = 1, .value = 0},
        Shutdown(),
        Read8(0x50E, 0xF7),
        Write8(0x2E, 0x87),
        Read32(0x5A8, 0xFFFFFF3F),
        Write32(0x5A8, 0x00000082),
        {.op = AccessOp::Write, .port = 0x48E, .width = 1, .value = 0xDF, .address = sim::kMisuse},
        Pause(512),
        BoardOpen(),
        {.op = AccessOp::BoardOpen, .value = 0},
        BoardClose(),
        MemRead(0xFDAE0500, 0x12345670),
        MemWrite(0xFDAE0670, 0xFFFFFFFE),
        BusClaim(),
        {.op = AccessOp::BusClaim, .value = 0},
        BusRelease(),
    };
    for (const AccessRecord& record : records) {
        const std::string text = sim::DescribeAccess(record);
        const std::optional<AccessRecord> back = sim::ParseAccess(text);
        ASSERT_TRUE(back.has_value()) << text;
        EXPECT_EQ(*back, record) << text;
    }
}

TEST(TraceText, LinesThatAreNotRecordsAreRefused) {
    for (const char* line : {"", "write 0x050E <- 0xFF", "write 0x050E <- 0xFF (word)", "read  0x10000 -> 0x00 (byte)",
                             "write 0x050E -> 0xFF (byte)", "pause ms", "pause 10 s", "read  [0xFDAE0500 -> 0x0",
                             "InitializeWinIo now", "write 0x050E <- 0xFF (byte) and more", "olvexioClose"}) {
        EXPECT_FALSE(sim::ParseAccess(line).has_value()) << '"' << line << '"';
    }
    std::string error;
    EXPECT_FALSE(sim::ParseGoldenTrace("InitializeWinIo\n", error).has_value());
    EXPECT_FALSE(sim::ParseGoldenTrace("call OpenCash RN340_CashA = 1\nwrite 0x50E\n", error).has_value());
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    EXPECT_FALSE(sim::ParseGoldenTrace("call Kick RN340_CashA = 1\n", error).has_value());
}

TEST(TraceText, AGoldenTraceHoldsItsSetUpCallAndAccesses) {
    std::string error;
    const auto golden = sim::ParseGoldenTrace("# a comment\r\n"
                                              "port 0x050E = 0xFF\n"
                                              "port 0x05A8 = 0x00000040\n"
                                              "memory 0xFDAE0670 = 0xFFFFFFFE\n"
                                              "call GetCashStatus RN370_CashB = -1\n"
                                              "\n"
                                              "InitializeWinIo\n"
                                              "pause 50 ms\n",
                                              error);
    ASSERT_TRUE(golden.has_value()) << error;
    ASSERT_EQ(golden->ports.size(), 2u);
    EXPECT_EQ(golden->ports[0].width, 1);
    EXPECT_EQ(golden->ports[1].port, 0x5A8);
    EXPECT_EQ(golden->ports[1].width, 4);
    EXPECT_EQ(golden->ports[1].value, 0x40u);
    ASSERT_EQ(golden->memory.size(), 1u);
    EXPECT_EQ(golden->memory[0].address, 0xFDAE0670u);
    EXPECT_EQ(golden->function, "GetCashStatus");
    EXPECT_EQ(golden->drawerId, "RN370_CashB");
    EXPECT_EQ(golden->result, -1);
    EXPECT_EQ(golden->accesses, (Trace{Init(), Pause(50)}));
    EXPECT_EQ(sim::PortLibraryAccesses(golden->accesses), Trace{Init()});
}

// The golden traces on the simulated terminal: every access, pause and
// claim of the shared ports, in order. The tests of the real DLL run the
// same files against the hardware library doubles.
TEST(GoldenTraces, EachCallMakesExactlyItsGoldenSequence) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(CASHDRAWER_GOLDEN_DIR)) {
        if (entry.path().extension() != ".trace") {
            continue;
        }
        ++files;
        std::ifstream file(entry.path());
        std::stringstream text;
        text << file.rdbuf();
        std::string error;
        const std::optional<sim::GoldenTrace> golden = sim::ParseGoldenTrace(text.str(), error);
        ASSERT_TRUE(golden.has_value()) << entry.path() << ": " << error;

        SimTerminal terminal;
        for (const auto& port : golden->ports) {
            terminal.ports.Poke(port.port, port.value, port.width == 4 ? PortWidth::DWord : PortWidth::Byte);
        }
        for (const auto& word : golden->memory) {
            terminal.board.Poke(word.address, word.value);
        }
        const char* id = golden->drawerId.c_str();
        const int result =
            golden->function == "OpenCash" ? terminal.library.OpenCash(id) : terminal.library.GetCashStatus(id);
        EXPECT_EQ(result, golden->result) << entry.path();
        EXPECT_EQ(terminal.Accesses(), golden->accesses) << entry.path();
    }
    EXPECT_GE(files, 15);
}

} // namespace
} // namespace cashdrawer::test
