// Drawers wired to 32-bit GPIO registers in physical memory (RN2180 and
// RN3470), reached through the board I/O library. Each operation opens the
// library and closes it again; nothing is held between calls. No port I/O.
#pragma once

#include "hardware/board_io.h"
#include "hardware/drawer_id.h"
#include "hardware/result.h"
#include "platform/clock.h"

#include <cstdint>

namespace cashdrawer {

// Whether the board I/O opens and reaches every register of both sets;
// nothing is read or written. The Diagnosis says why not.
bool MemoryGpioRegistersReachable(BoardIo& board);

// The register whose bit 0 drives the drawer of register set A or B.
uint32_t MemoryGpioOutputRegister(DrawerLetter set);
// The register whose sense bit carries the drawer's state (set: state 0).
uint32_t MemoryGpioStatusRegister(DrawerLetter set);
inline constexpr uint32_t kMemoryGpioSenseBit = 0x2;

struct MemoryGpioState {
    // Non-zero only between OpenBoardIo and CloseBoardIo within one call.
    BoardIoHandle boardIoHandle = 0;
};

class MemoryGpioDrawers {
public:
    MemoryGpioDrawers(BoardIo& board, Clock& clock, MemoryGpioState& state) : board_(board), clock_(clock), state_(state) {}

    // Ok after the kick; BoardIoUnavailable when the board I/O library
    // cannot be opened, in which case no register was touched.
    // Register set A serves the "_CashA" drawers, set B the "_CashB" ones.
    Result KickMemoryGpio(DrawerLetter set);
    // StateBit1 when the sense bit reads clear, StateBit0 when set;
    // BoardIoUnavailable as above.
    Result ReadMemoryGpioStatus(DrawerLetter set);

private:
    bool OpenBoardIo(uint32_t statusRegister, uint32_t outputRegister);
    void CloseBoardIo();
    void SetBit0(uint32_t address);
    void ClearBit0(uint32_t address);

    BoardIo& board_;
    Clock& clock_;
    MemoryGpioState& state_;
};

} // namespace cashdrawer
