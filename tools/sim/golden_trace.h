// Golden traces: a drawer call and every access it must make, kept once as
// text in the notation DescribeAccess prints, and read by both the unit
// tests (on the simulated terminal) and the tests of the real DLL (on the
// recording hardware library doubles).
//
// A file holds one call:
//
//   # what the sequence is, in a comment
//   port 0x050E = 0xFF            what a port reads before the call (byte;
//   port 0x05A8 = 0x00000040      eight digits: double word)
//   memory 0xFDAE0670 = 0xFFFFFFFE
//   call OpenCash RN340_CashA = 1
//   InitializeWinIo
//   write 0x0250 <- 0x89 (byte)
//   ...
#pragma once

#include "sim/access_log.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cashdrawer::sim {

// The record a DescribeAccess line stands for; nothing when the line is
// not one. The time is left 0.
std::optional<AccessRecord> ParseAccess(std::string_view line);

struct GoldenTrace {
    struct PortValue {
        uint16_t port;
        uint32_t value;
        uint8_t width;
    };
    struct MemoryValue {
        uint32_t address;
        uint32_t value;
    };
    std::vector<PortValue> ports;
    std::vector<MemoryValue> memory;
    std::string function; // OpenCash or GetCashStatus
    std::string drawerId;
    int result = 0;
    std::vector<AccessRecord> accesses;
};

// The golden trace in the text, or nothing with `error` naming the line
// that is not understood.
std::optional<GoldenTrace> ParseGoldenTrace(std::string_view text, std::string& error);

// The accesses that a hardware library sees itself: port I/O library calls
// and port accesses, or board I/O library calls and memory accesses. (The
// pauses and the claims of the shared ports happen outside them.)
std::vector<AccessRecord> PortLibraryAccesses(const std::vector<AccessRecord>& accesses);
std::vector<AccessRecord> BoardLibraryAccesses(const std::vector<AccessRecord>& accesses);

} // namespace cashdrawer::sim
