// A simulated 32-bit physical memory space standing in for the board I/O
// library. Memory reads back what was written or set; untouched words read
// 0. Every call is logged with the clock's time.
#pragma once

#include "hardware/board_io.h"
#include "platform/clock.h"
#include "sim/access_log.h"

#include <cstdint>
#include <map>

namespace cashdrawer::sim {

class SimBoardIo final : public BoardIo {
public:
    static constexpr BoardIoHandle kHandle = 0xB0A2D;

    SimBoardIo(Clock& clock, AccessLog& log) : clock_(clock), log_(log) {}

    // The library is missing: Open answers 0 without a call to log.
    void SetMissing(bool missing) { missing_ = missing; }
    // The library's open fails: it is called, and answers 0.
    void SetOpenFails(bool fails) { openFails_ = fails; }
    void Poke(uint32_t address, uint32_t value) { memory_[address] = value; }
    uint32_t Peek(uint32_t address) const;

    BoardIoHandle Open() override;
    void Close(BoardIoHandle handle) override;
    uint32_t ReadDWord(BoardIoHandle handle, uint32_t physicalAddress) override;
    void WriteDWord(BoardIoHandle handle, uint32_t physicalAddress, uint32_t value) override;
    std::string Diagnosis() const override {
        return missing_     ? "the simulated terminal has no board I/O library"
               : openFails_ ? "the simulated board I/O library's open gave no handle"
                            : "the simulated board I/O library";
    }

private:
    void Log(AccessOp op, uint32_t address, uint32_t value);

    Clock& clock_;
    AccessLog& log_;
    bool missing_ = false;
    bool openFails_ = false;
    std::map<uint32_t, uint32_t> memory_;
};

} // namespace cashdrawer::sim
