// The four exported functions. Each serialises on the export lock and hands
// the call to the process-wide library; no exception crosses this boundary.
#include "cash_drawer.h"

#include "interface/drawer_library.h"
#include "interface/library_unload.h"
#include "platform/background_thread_win32.h"
#include "platform/export_lock.h"

#include <memory>

namespace cashdrawer {
namespace {

// Everything the library takes from the system, owned in one place so the
// unload can give it all back: the hardware libraries' modules, the bus
// mutex handle, the COM port and its events, the monitor thread.
struct ProcessLibrary {
    std::unique_ptr<PortIo> portIo = MakeSystemPortIo();
    std::unique_ptr<BoardIo> boardIo = MakeSystemBoardIo();
    std::unique_ptr<SharedBusLock> busLock = MakeSystemSuperIoBusLock();
    std::unique_ptr<BackgroundThread> monitorThread = MakeSystemMonitorThread();
    // Declared last, destroyed first: it stops its monitor before the parts
    // it runs on go.
    DrawerLibrary library{DrawerPlatform{
        .portIo = *portIo,
        .boardIo = *boardIo,
        .superIoBusLock = *busLock,
        .profileStore = SystemProfileStore(),
        .serialLink = MakeSystemSerialLink(),
        .monitorThread = *monitorThread,
        .clock = SystemClock(),
    }};
};

ProcessLibrary* processLibrary = nullptr;

// Built on the first call, under the export lock: loading the DLL touches
// no port, file, device or thread.
DrawerLibrary& Library() {
    if (processLibrary == nullptr) {
        processLibrary = new ProcessLibrary();
    }
    return processLibrary->library;
}

template <typename Call>
int Serialised(Call call) noexcept {
    try {
        ExportLock lock;
        return call(Library());
    } catch (...) {
        // Only an allocation failure can get here; nothing reached a drawer.
        return CASH_DRAWER_UNREACHABLE;
    }
}

} // namespace

// From the unload notification, without the export lock: the loader
// serialises it, and a call still holding the lock would be the host's bug.
void OnLibraryUnload(bool processEnding) noexcept {
    if (processLibrary == nullptr) {
        return;
    }
    processLibrary->library.OnUnload(processEnding);
    if (processEnding) {
        // The process takes everything back itself; the hardware libraries
        // may be gone already, so none of their code is called now.
        return;
    }
    // FreeLibrary: an application that loads us per transaction must get
    // every handle and module reference back, or it runs out of them.
    delete processLibrary;
    processLibrary = nullptr;
}

} // namespace cashdrawer

using cashdrawer::DrawerLibrary;
using cashdrawer::Serialised;

extern "C" int CASH_DRAWER_CALL OpenCash(const char* drawerId) {
    return Serialised([drawerId](DrawerLibrary& library) { return library.OpenCash(drawerId); });
}

extern "C" int CASH_DRAWER_CALL GetCashStatus(const char* drawerId) {
    return Serialised([drawerId](DrawerLibrary& library) { return library.GetCashStatus(drawerId); });
}

extern "C" int CASH_DRAWER_CALL OpenCashDefault(void) {
    return Serialised([](DrawerLibrary& library) { return library.OpenCashDefault(); });
}

extern "C" int CASH_DRAWER_CALL GetCashStatusDefault(void) {
    return Serialised([](DrawerLibrary& library) { return library.GetCashStatusDefault(); });
}
