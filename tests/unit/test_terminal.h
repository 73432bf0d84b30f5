// A terminal on the desk: simulated port space, virtual clock and a library
// instance bound to them, plus helpers to write expected access traces.
#pragma once

#include "sim/sim_terminal.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace cashdrawer::sim {

// Failure messages show a trace's records as the golden traces spell them.
inline void PrintTo(const AccessRecord& record, std::ostream* os) { *os << DescribeAccess(record); }

} // namespace cashdrawer::sim

namespace cashdrawer::test {

using sim::AccessOp;
using sim::AccessRecord;
using Trace = std::vector<AccessRecord>;

// The terminal, and its trace without times: the order of accesses and
// the pauses between them say everything the drawer sees.
struct SimTerminal : sim::SimTerminal {
    Trace Accesses() const {
        Trace trace = log.Records();
        for (AccessRecord& record : trace) {
            record.timeMicros = 0;
        }
        return trace;
    }
};

inline AccessRecord Init() { return {0, AccessOp::Initialize, 0, 1, 1}; }
inline AccessRecord Shutdown() { return {0, AccessOp::Shutdown, 0, 1, 0}; }
inline AccessRecord Read8(uint16_t port, uint32_t value) { return {0, AccessOp::Read, port, 1, value}; }
inline AccessRecord Write8(uint16_t port, uint32_t value) { return {0, AccessOp::Write, port, 1, value}; }
inline AccessRecord Read32(uint16_t port, uint32_t value) { return {0, AccessOp::Read, port, 4, value}; }
inline AccessRecord Write32(uint16_t port, uint32_t value) { return {0, AccessOp::Write, port, 4, value}; }
inline AccessRecord Pause(uint32_t ms) { return {0, AccessOp::Pause, 0, 0, ms}; }
inline AccessRecord BoardOpen() { return {.op = AccessOp::BoardOpen, .value = sim::SimBoardIo::kHandle}; }
inline AccessRecord BoardClose() { return {.op = AccessOp::BoardClose, .value = sim::SimBoardIo::kHandle}; }
inline AccessRecord MemRead(uint32_t address, uint32_t value) {
    return {.op = AccessOp::MemRead, .value = value, .address = address};
}
inline AccessRecord MemWrite(uint32_t address, uint32_t value) {
    return {.op = AccessOp::MemWrite, .value = value, .address = address};
}
inline AccessRecord BusClaim() { return {.op = AccessOp::BusClaim, .value = 1}; }
inline AccessRecord BusRelease() { return {.op = AccessOp::BusRelease}; }

// Concatenates trace pieces.
inline Trace Join(std::initializer_list<Trace> pieces) {
    Trace all;
    for (const Trace& piece : pieces) {
        all.insert(all.end(), piece.begin(), piece.end());
    }
    return all;
}

// The GPIO chip set-up that precedes the first 8-bit profile access.
inline Trace GpioChipSetUp() {
    return {Write8(0x250, 0x89), Write8(0x251, 0x09), Write8(0x252, 0x0C), Write8(0x251, 0x04),
            Write8(0x252, 0x00), Write8(0x251, 0x23), Write8(0x252, 0x9E), Write8(0x250, 0xAA)};
}

} // namespace cashdrawer::test
