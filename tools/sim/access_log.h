// A log of everything a drawer sequence does to the simulated terminal:
// port I/O and board I/O library calls, port and memory reads and writes,
// claims of the shared Super I/O ports, and pauses, each with the time it
// happened.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cashdrawer::sim {

enum class AccessOp : uint8_t {
    Initialize, // port I/O library initialisation
    Shutdown,   // port I/O library shutdown
    Read,       // port read; `value` is what the port delivered
    Write,      // port write
    Pause,      // a sleep of `value` milliseconds
    BoardOpen,  // board I/O library open; `value` is the handle it gave (0: failed)
    BoardClose, // board I/O library close of handle `value`
    MemRead,    // 32-bit physical memory read at `address`
    MemWrite,   // 32-bit physical memory write at `address`
    BusClaim,   // the shared Super I/O ports claimed; `value` 0 when the claim timed out
    BusRelease, // the claim released
};

struct AccessRecord {
    uint64_t timeMicros = 0;
    AccessOp op = AccessOp::Pause;
    uint16_t port = 0;
    uint8_t width = 0;
    uint32_t value = 0;
    uint32_t address = 0; // physical address of a memory access; kMisuse on a call the library forbids

    friend bool operator==(const AccessRecord&, const AccessRecord&) = default;
};

// Marks a call the real library would not have served: a memory access
// with a handle it never gave, a port access outside the port I/O bracket.
// It differs from every expected record, so a trace comparison shows it.
inline constexpr uint32_t kMisuse = 0xDEADDEAD;

// Not synchronised: a host that calls from several threads guards it.
class AccessLog {
public:
    void Append(const AccessRecord& record) { records_.push_back(record); }
    const std::vector<AccessRecord>& Records() const { return records_; }
    void Clear() { records_.clear(); }
    // Forgets the oldest `count` records, to keep a long run's log bounded.
    void DropOldest(std::size_t count) {
        records_.erase(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(std::min(count, records_.size())));
    }

private:
    std::vector<AccessRecord> records_;
};

// The record in words, e.g. "write 0x050E <- 0xFF (byte)": the one notation
// of access traces, in the tool's output and in the golden traces alike.
std::string DescribeAccess(const AccessRecord& record);
// One line per record, with its time: "  +512.004 ms  write 0x050E <- 0xFF (byte)".
std::string FormatAccess(const AccessRecord& record, uint64_t originMicros);

} // namespace cashdrawer::sim
