// The exported functions. Each serialises on the export lock and hands the
// call to the process-wide library; no exception crosses this boundary.
#include "cash_drawer.h"

#include "interface/drawer_api.h"
#include "interface/drawer_library.h"
#include "interface/library_unload.h"
#include "interface/process_parts.h"
#include "platform/export_lock.h"

#include <memory>
#include <type_traits>

namespace cashdrawer {
namespace {

// The parts the library runs on and the library itself. The library is
// declared last, so it is destroyed first: it stops its monitor before the
// parts it runs on go.
struct ProcessLibrary {
    std::unique_ptr<ProcessParts> parts = MakeProcessParts();
    DrawerLibrary library{parts->Platform()};
    // Each calling thread's last failure, for GetCashDrawerError.
    ThreadErrors errors;
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

} // namespace

ProcessParts& CurrentProcessParts() {
    Library();
    return *processLibrary->parts;
}

namespace {

template <typename Call>
int Serialised(Call call) noexcept {
    try {
        ExportLock lock;
        DrawerLibrary& library = Library();
        processLibrary->parts->BeforeCall();
        const int result = call(library);
        processLibrary->errors.Set(CallingThreadId(), library.LastFailure());
        processLibrary->parts->AfterCall();
        return result;
    } catch (...) {
        // Only an allocation failure can get here; nothing reached a drawer.
        return CASH_DRAWER_UNREACHABLE;
    }
}

// The later exports' session: the same lock, library and error store.
class ProcessSession final : public DrawerSession {
public:
    int Serialised(const std::function<int(DrawerLibrary&)>& call) override {
        return cashdrawer::Serialised([&call](DrawerLibrary& library) { return call(library); });
    }
    std::string LastError() override {
        ExportLock lock;
        Library();
        return processLibrary->errors.Get(CallingThreadId());
    }
    void SetLastError(std::string text) override {
        ExportLock lock;
        Library();
        processLibrary->errors.Set(CallingThreadId(), std::move(text));
    }
    Clock& WaitClock() override {
        ExportLock lock;
        return CurrentProcessParts().WaitClock();
    }
};

template <typename Call>
int WithSession(Call call) noexcept {
    try {
        ProcessSession session;
        return call(session);
    } catch (...) {
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
    if (processEnding) {
        // The process takes everything back itself; the hardware libraries
        // may be gone already, so none of their code is called now. The
        // serial port is closed in order all the same (no test can tell it
        // from the close the system makes as the process ends). Passing
        // false would wait out the stop timeout for a monitor thread the
        // system has already ended: a slower exit, nothing a caller sees.
        // Only Windows reports a process end; the POSIX unload never does.
        processLibrary->library.OnUnload(true);
        return;
    }
    // FreeLibrary: an application that loads us per transaction must get
    // every handle and module reference back, or it runs out of them. (The
    // serial drawer's destructor stops its monitor as OnUnload would.)
    delete processLibrary;
    processLibrary = nullptr;
}

} // namespace cashdrawer

using cashdrawer::DrawerLibrary;
using cashdrawer::DrawerSession;
using cashdrawer::Serialised;
using cashdrawer::WithSession;

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

extern "C" int CASH_DRAWER_CALL WaitCashStatus(const char* drawerId, int state, int timeoutMs) {
    return WithSession([=](DrawerSession& session) { return cashdrawer::WaitCashStatus(session, drawerId, state, timeoutMs); });
}

extern "C" int CASH_DRAWER_CALL OpenCashConfirmed(const char* drawerId, int timeoutMs) {
    return WithSession([=](DrawerSession& session) { return cashdrawer::OpenCashConfirmed(session, drawerId, timeoutMs); });
}

extern "C" int CASH_DRAWER_CALL GetCashDrawerError(char* buffer, int size) {
    return WithSession([=](DrawerSession& session) { return cashdrawer::GetCashDrawerError(session, buffer, size); });
}

extern "C" int CASH_DRAWER_CALL CheckCashDrawerHealth(const char* drawerId, char* buffer, int size) {
    return WithSession(
        [=](DrawerSession& session) { return cashdrawer::CheckCashDrawerHealth(session, drawerId, buffer, size); });
}

extern "C" int CASH_DRAWER_CALL GetCashDrawerVersion(char* buffer, int size) {
    return WithSession([=](DrawerSession& session) { return cashdrawer::GetCashDrawerVersion(session, buffer, size); });
}

// The API takes and returns int and C strings only: nothing whose size
// depends on the pointer size (no size_t, long or handle), so a 32-bit and
// a 64-bit caller declare the same functions, and VB6, Delphi and C# need
// no per-bitness declarations.
static_assert(std::is_same_v<decltype(&OpenCash), int(CASH_DRAWER_CALL*)(const char*)>);
static_assert(std::is_same_v<decltype(&GetCashStatus), int(CASH_DRAWER_CALL*)(const char*)>);
static_assert(std::is_same_v<decltype(&OpenCashDefault), int(CASH_DRAWER_CALL*)()>);
static_assert(std::is_same_v<decltype(&GetCashStatusDefault), int(CASH_DRAWER_CALL*)()>);
static_assert(std::is_same_v<decltype(&WaitCashStatus), int(CASH_DRAWER_CALL*)(const char*, int, int)>);
static_assert(std::is_same_v<decltype(&OpenCashConfirmed), int(CASH_DRAWER_CALL*)(const char*, int)>);
static_assert(std::is_same_v<decltype(&GetCashDrawerError), int(CASH_DRAWER_CALL*)(char*, int)>);
static_assert(std::is_same_v<decltype(&CheckCashDrawerHealth), int(CASH_DRAWER_CALL*)(const char*, char*, int)>);
static_assert(std::is_same_v<decltype(&GetCashDrawerVersion), int(CASH_DRAWER_CALL*)(char*, int)>);
static_assert(sizeof(int) == 4, "the results and arguments are 32-bit on every Windows and Linux target");
