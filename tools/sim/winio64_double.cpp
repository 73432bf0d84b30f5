// A recording stand-in for the port I/O library, built as WinIo64.dll: the
// four functions our DLL calls, served by a simulated port space with a
// Super I/O chip, and a
// control interface for hosts (winio64_double.h). Built once complete and
// once without SetPortVal, to check that a library lacking a function is
// treated as missing.
#include "sim/winio64_double.h"

#include "platform/clock.h"
#include "sim/double_drawer_mechanics.h"
#include "sim/double_lock.h"
#include "sim/sim_port_space.h"
#include "sim/sim_super_io_chip.h"

#include <windows.h>

#define DOUBLE_EXPORT extern "C" __declspec(dllexport)

namespace {

using cashdrawer::Result;
using cashdrawer::PortWidth;
using cashdrawer::sim::AccessLog;
using cashdrawer::sim::AccessRecord;
using cashdrawer::sim::CopyRecord;
using cashdrawer::sim::AccessOp;
using cashdrawer::sim::SimPortSpace;

SRWLOCK stateLock = SRWLOCK_INIT;

struct Locked : cashdrawer::sim::DoubleLock {
    Locked() : DoubleLock(stateLock) {}
};

// A terminal's port space with its Super I/O chip at 0x2E/0x2F, and its
// port drawers' mechanics (the memory space is the other double's: here it
// is only what the mechanics are built on, and nothing reaches it).
struct DoubleState {
    AccessLog log;
    SimPortSpace ports{cashdrawer::SystemClock(), log};
    cashdrawer::sim::SimSuperIoChip superIo;
    AccessLog noMemoryLog;
    cashdrawer::sim::SimBoardIo noMemory{cashdrawer::SystemClock(), noMemoryLog};
    cashdrawer::sim::DoubleDrawerMechanics drawers{ports, noMemory, log};

    DoubleState() { ports.Attach(superIo); }
};

// At namespace scope: a function's static would keep a handle of the C++
// runtime's each time the double is loaded.
DoubleState doubleState;

DoubleState& State() { return doubleState; }

PortWidth WidthOf(unsigned size) { return size == 4 ? PortWidth::DWord : PortWidth::Byte; }

} // namespace

static_assert(static_cast<int>(AccessOp::Initialize) == SIM_INITIALIZE && static_cast<int>(AccessOp::Shutdown) == SIM_SHUTDOWN &&
              static_cast<int>(AccessOp::Read) == SIM_READ && static_cast<int>(AccessOp::Write) == SIM_WRITE);

DOUBLE_EXPORT bool WINAPI InitializeWinIo() {
    Locked lock;
    State().drawers.CallBegins();
    return State().ports.Initialize() == Result::Ok;
}

DOUBLE_EXPORT void WINAPI ShutdownWinIo() {
    Locked lock;
    State().ports.Shutdown();
    State().drawers.CallEnds();
}

DOUBLE_EXPORT bool WINAPI GetPortVal(WORD port, PDWORD value, BYTE size) {
    Locked lock;
    *value = State().ports.Read(port, WidthOf(size));
    return true;
}

#ifndef WINIO_DOUBLE_WITHOUT_SETPORTVAL
DOUBLE_EXPORT bool WINAPI SetPortVal(WORD port, DWORD value, BYTE size) {
    Locked lock;
    State().ports.Write(port, value, WidthOf(size));
    return true;
}
#endif

DOUBLE_EXPORT void __stdcall SimPoke(unsigned port, unsigned value, unsigned width) {
    Locked lock;
    State().ports.Poke(static_cast<uint16_t>(port), value, WidthOf(width));
}

DOUBLE_EXPORT void __stdcall SimFailInitialize(int fail) {
    Locked lock;
    State().ports.SetStart(fail != 0 ? Result::LibraryFailed : Result::Ok);
}

DOUBLE_EXPORT int __stdcall SimRecordCount(void) {
    Locked lock;
    return static_cast<int>(State().log.Records().size());
}

DOUBLE_EXPORT int __stdcall SimRecordAt(int index, SimRecord* out) {
    Locked lock;
    return CopyRecord(State().log, index, out, [](const AccessRecord& record) {
        return SimRecord{record.timeMicros, static_cast<int>(record.op), record.port, record.width, record.value};
    });
}

DOUBLE_EXPORT void __stdcall SimClearRecords(void) {
    Locked lock;
    State().log.Clear();
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
