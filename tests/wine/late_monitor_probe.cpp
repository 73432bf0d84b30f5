// A small DLL that runs the library's monitor thread with a step that
// blocks longer than the unload's 150 ms, as a read from a hung COM port
// driver would. The host unloads it while the step is blocked: the unload
// must return within its bound, must not crash the host, and the thread
// must run on to the end of its step and release what the step holds.
#include "platform/background_thread_win32.h"

#include <windows.h>

#include <atomic>
#include <memory>

namespace {

std::atomic<bool> stopRequested{false};
cashdrawer::Win32BackgroundThread* thread = nullptr;
std::atomic<int> lastRetire{-1}; // what the unload's Retire answered: 1 in time, 0 late

// Held by the step; its destruction is what "released" means. Signals the
// host's named event so it can tell from outside.
struct StepHoldings {
    explicit StepHoldings(HANDLE event) : released(event) {}
    StepHoldings(const StepHoldings&) = delete;
    StepHoldings& operator=(const StepHoldings&) = delete;
    HANDLE released;
    ~StepHoldings() {
        ::SetEvent(released);
        ::CloseHandle(released);
    }
};

} // namespace

extern "C" __declspec(dllexport) int __stdcall StartLateMonitor(int blockMs, const wchar_t* releasedEventName) {
    HANDLE released = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, releasedEventName);
    if (released == nullptr) {
        return 0;
    }
    auto holdings = std::make_shared<StepHoldings>(released);
    thread = new cashdrawer::Win32BackgroundThread();
    return thread->Start([holdings, blockMs] {
        ::Sleep(static_cast<DWORD>(blockMs)); // the read that does not come back in time
        return !stopRequested.load();
    }) ? 1 : 0;
}

// Still callable after the unload: a late run pins the module.
extern "C" __declspec(dllexport) int __stdcall LastRetire() { return lastRetire.load(); }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr && thread != nullptr) {
        stopRequested = true;
        lastRetire = thread->Retire(150) ? 1 : 0;
        delete thread;
        thread = nullptr;
    }
    return TRUE;
}
