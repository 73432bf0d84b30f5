// A recording stand-in for the board I/O library, built as QuorlinIO.dll:
// the four functions our DLL calls, served by a simulated memory space, and
// a control interface for hosts (quorlinio_double.h).
#include "sim/quorlinio_double.h"

#include "platform/clock.h"
#include "sim/double_drawer_mechanics.h"
#include "sim/double_lock.h"
#include "sim/sim_board_io.h"

#include <windows.h>

#define DOUBLE_EXPORT extern "C" __declspec(dllexport)

namespace {

using cashdrawer::sim::AccessLog;
using cashdrawer::sim::AccessRecord;
using cashdrawer::sim::CopyRecord;
using cashdrawer::sim::SimBoardIo;

SRWLOCK stateLock = SRWLOCK_INIT;

struct Locked : cashdrawer::sim::DoubleLock {
    Locked() : DoubleLock(stateLock) {}
};

// A terminal's physical memory, and its memory drawers' mechanics (the
// port space is the other double's: here it is only what the mechanics
// are built on, and nothing reaches it).
struct DoubleState {
    AccessLog log;
    SimBoardIo board{cashdrawer::SystemClock(), log};
    AccessLog noPortsLog;
    cashdrawer::sim::SimPortSpace noPorts{cashdrawer::SystemClock(), noPortsLog};
    cashdrawer::sim::DoubleDrawerMechanics drawers{noPorts, board, log};
};

// At namespace scope: a function's static would keep a handle of the C++
// runtime's each time the double is loaded.
DoubleState doubleState;

DoubleState& State() { return doubleState; }

using cashdrawer::sim::AccessOp;
static_assert(static_cast<int>(AccessOp::BoardOpen) == SIM_BOARD_OPEN &&
              static_cast<int>(AccessOp::BoardClose) == SIM_BOARD_CLOSE &&
              static_cast<int>(AccessOp::MemRead) == SIM_MEM_READ && static_cast<int>(AccessOp::MemWrite) == SIM_MEM_WRITE);

} // namespace

DOUBLE_EXPORT void* WINAPI olvexioOpen(DWORD) {
    Locked lock;
    State().drawers.CallBegins();
    return reinterpret_cast<void*>(State().board.Open());
}

DOUBLE_EXPORT void WINAPI olvexioClose(void* handle) {
    Locked lock;
    State().board.Close(reinterpret_cast<uintptr_t>(handle));
    State().drawers.CallEnds();
}

DOUBLE_EXPORT DWORD WINAPI olvexioReadMemDWord(void* handle, DWORD address) {
    Locked lock;
    return State().board.ReadDWord(reinterpret_cast<uintptr_t>(handle), address);
}

DOUBLE_EXPORT void WINAPI olvexioWriteMemDWord(void* handle, DWORD address, DWORD value) {
    Locked lock;
    State().board.WriteDWord(reinterpret_cast<uintptr_t>(handle), address, value);
}

DOUBLE_EXPORT void __stdcall SimBoardPoke(unsigned address, unsigned value) {
    Locked lock;
    State().board.Poke(address, value);
}

DOUBLE_EXPORT void __stdcall SimBoardFailOpen(int fail) {
    Locked lock;
    State().board.SetOpenFails(fail != 0);
}

DOUBLE_EXPORT int __stdcall SimBoardRecordCount(void) {
    Locked lock;
    return static_cast<int>(State().log.Records().size());
}

DOUBLE_EXPORT int __stdcall SimBoardRecordAt(int index, SimBoardRecord* out) {
    Locked lock;
    return CopyRecord(State().log, index, out, [](const AccessRecord& record) {
        return SimBoardRecord{record.timeMicros, static_cast<int>(record.op), record.address, record.value};
    });
}

DOUBLE_EXPORT void __stdcall SimSetDrawerClosesAfter(unsigned ms) {
    Locked lock;
    State().drawers.Drawers().SetClosesAfterMs(ms);
}

DOUBLE_EXPORT int __stdcall SimPushDrawerShut(const char* drawerId) {
    Locked lock;
    return State().drawers.Drawers().PushShut(drawerId);
}

DOUBLE_EXPORT int __stdcall SimJamDrawer(const char* drawerId, int jammed) {
    Locked lock;
    return State().drawers.Drawers().SetJammed(drawerId, jammed != 0);
}

// Says that this library is a recording double, not the vendor's: the tool
// refuses to drive "hardware" through it without --simulate.
DOUBLE_EXPORT int __stdcall CashDrawerRecordingDouble(void) { return 1; }
