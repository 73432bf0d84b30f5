// The four exported functions. Each serialises on the export lock and hands
// the call to the process-wide library; no exception crosses this boundary.
#include "cash_drawer.h"

#include "interface/drawer_library.h"
#include "interface/library_unload.h"
#include "platform/export_lock.h"

namespace cashdrawer {
namespace {

DrawerLibrary* processLibrary = nullptr;

// Built on the first call, under the export lock: loading the DLL touches
// no port, file, device or thread. Never destroyed: the unload notification
// stops what must be stopped, before static destructors would run.
DrawerLibrary& ProcessLibrary() {
    if (processLibrary == nullptr) {
        processLibrary = new DrawerLibrary(DrawerPlatform{
            .portIo = SystemPortIo(),
            .boardIo = SystemBoardIo(),
            .superIoBusLock = SystemSuperIoBusLock(),
            .profileStore = SystemProfileStore(),
            .serialLink = SystemSerialLink(),
            .monitorThread = SystemMonitorThread(),
            .clock = SystemClock(),
        });
    }
    return *processLibrary;
}

template <typename Call>
int Serialised(Call call) noexcept {
    try {
        ExportLock lock;
        return call(ProcessLibrary());
    } catch (...) {
        // Only an allocation failure can get here; nothing reached a drawer.
        return CASH_DRAWER_UNREACHABLE;
    }
}

} // namespace

// From the unload notification, without the export lock: the loader
// serialises it, and a call still holding the lock would be the host's bug.
void OnLibraryUnload(bool processEnding) noexcept {
    if (processLibrary != nullptr) {
        processLibrary->OnUnload(processEnding);
    }
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
