// The four exported functions. Each serialises on the export lock and hands
// the call to the process-wide library; no exception crosses this boundary.
#include "cash_drawer.h"

#include "interface/drawer_library.h"
#include "platform/export_lock.h"

namespace cashdrawer {
namespace {

// Built on the first call, under the export lock: loading the DLL touches
// no port, file, device or thread.
DrawerLibrary& ProcessLibrary() {
    static DrawerLibrary library(DrawerPlatform{
        .portIo = SystemPortIo(),
        .boardIo = SystemBoardIo(),
        .superIoBusLock = SystemSuperIoBusLock(),
        .profileStore = SystemProfileStore(),
        .clock = SystemClock(),
    });
    return library;
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
