#include "hardware/memory_gpio.h"

namespace cashdrawer {
namespace {

struct RegisterSetMap {
    uint32_t statusRegister; // bit 0 enables the sense line, bit 1 reads it
    uint32_t outputRegister; // bit 0 drives the drawer solenoid, active low
};

constexpr RegisterSetMap kRegisterSets[] = {
    /* A */ {.statusRegister = 0xFDAE0500, .outputRegister = 0xFDAE0670},
    /* B */ {.statusRegister = 0xFDAE04F8, .outputRegister = 0xFDAE0660},
};

constexpr uint32_t kBit0 = 0x1;
constexpr uint32_t kSenseBit = kMemoryGpioSenseBit;

constexpr uint32_t kSenseSettleMs = 100; // after enabling the sense line
constexpr uint32_t kOutputHighMs = 600;  // drive line held high before the pulse
constexpr uint32_t kPulseLowMs = 100;    // the solenoid pulse

const RegisterSetMap& MapOf(DrawerLetter set) { return kRegisterSets[set == DrawerLetter::A ? 0 : 1]; }

Result StatusOf(uint32_t statusValue) { return StateOf((statusValue & kSenseBit) == 0); }

} // namespace

bool MemoryGpioRegistersReachable(BoardIo& board) {
    const BoardIoHandle handle = board.Open();
    if (handle == 0) {
        return false;
    }
    bool reached = true;
    for (const RegisterSetMap& map : kRegisterSets) {
        reached = reached && board.Reach(handle, map.statusRegister) && board.Reach(handle, map.outputRegister);
    }
    board.Close(handle);
    return reached;
}

uint32_t MemoryGpioOutputRegister(DrawerLetter set) { return MapOf(set).outputRegister; }
uint32_t MemoryGpioStatusRegister(DrawerLetter set) { return MapOf(set).statusRegister; }

// Opens the library and makes both registers of the set reachable; on
// failure nothing stays open and no register has been touched.
bool MemoryGpioDrawers::OpenBoardIo(uint32_t statusRegister, uint32_t outputRegister) {
    state_.boardIoHandle = board_.Open();
    if (state_.boardIoHandle == 0) {
        return false;
    }
    if (!board_.Reach(state_.boardIoHandle, statusRegister) || !board_.Reach(state_.boardIoHandle, outputRegister)) {
        CloseBoardIo();
        return false;
    }
    return true;
}

void MemoryGpioDrawers::CloseBoardIo() {
    if (state_.boardIoHandle != 0) {
        board_.Close(state_.boardIoHandle);
        state_.boardIoHandle = 0;
    }
}

// Read-modify-write: one read and one write of the same register, every
// other bit written back as read.
void MemoryGpioDrawers::SetBit0(uint32_t address) {
    board_.WriteDWord(state_.boardIoHandle, address, board_.ReadDWord(state_.boardIoHandle, address) | kBit0);
}

void MemoryGpioDrawers::ClearBit0(uint32_t address) {
    board_.WriteDWord(state_.boardIoHandle, address, board_.ReadDWord(state_.boardIoHandle, address) & ~kBit0);
}

Result MemoryGpioDrawers::KickMemoryGpio(DrawerLetter set) {
    const RegisterSetMap& map = MapOf(set);
    if (!OpenBoardIo(map.statusRegister, map.outputRegister)) {
        return Result::BoardIoUnavailable;
    }
    SetBit0(map.statusRegister);
    clock_.SleepMs(kSenseSettleMs);
    SetBit0(map.outputRegister);
    clock_.SleepMs(kOutputHighMs);
    ClearBit0(map.outputRegister);
    clock_.SleepMs(kPulseLowMs);
    SetBit0(map.outputRegister);
    CloseBoardIo();
    return Result::Ok;
}

Result MemoryGpioDrawers::ReadMemoryGpioStatus(DrawerLetter set) {
    // Never hands an empty handle to the library.
    const RegisterSetMap& map = MapOf(set);
    if (!OpenBoardIo(map.statusRegister, map.outputRegister)) {
        return Result::BoardIoUnavailable;
    }
    if (set == DrawerLetter::A) {
        // Set A's sense line is enabled, and given time to settle, first.
        SetBit0(map.statusRegister);
        clock_.SleepMs(kSenseSettleMs);
    }
    const uint32_t value = board_.ReadDWord(state_.boardIoHandle, map.statusRegister);
    CloseBoardIo();
    return StatusOf(value);
}

} // namespace cashdrawer
