#include "sim/sim_board_io.h"

namespace cashdrawer::sim {

uint32_t SimBoardIo::Peek(uint32_t address) const {
    const auto found = memory_.find(address);
    return found == memory_.end() ? 0 : found->second;
}

BoardIoHandle SimBoardIo::Open() {
    if (missing_) {
        return 0;
    }
    const BoardIoHandle handle = openFails_ ? 0 : kHandle;
    Log(AccessOp::BoardOpen, 0, static_cast<uint32_t>(handle));
    return handle;
}

void SimBoardIo::Close(BoardIoHandle handle) { Log(AccessOp::BoardClose, 0, static_cast<uint32_t>(handle)); }

// A call with a handle other than the one Open gave is logged at address
// kMisuse, so that a test sees it.
uint32_t SimBoardIo::ReadDWord(BoardIoHandle handle, uint32_t physicalAddress) {
    const uint32_t value = Peek(physicalAddress);
    Log(AccessOp::MemRead, handle == kHandle ? physicalAddress : kMisuse, value);
    return value;
}

void SimBoardIo::WriteDWord(BoardIoHandle handle, uint32_t physicalAddress, uint32_t value) {
    if (handle == kHandle) {
        memory_[physicalAddress] = value;
    }
    Log(AccessOp::MemWrite, handle == kHandle ? physicalAddress : kMisuse, value);
}

void SimBoardIo::Log(AccessOp op, uint32_t address, uint32_t value) {
    log_.Append({.timeMicros = clock_.NowMicros(), .op = op, .value = value, .address = address});
}

} // namespace cashdrawer::sim
