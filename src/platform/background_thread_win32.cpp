#include "platform/background_thread_win32.h"

#include <windows.h>

#include <atomic>

namespace cashdrawer {
namespace {

// Where a run stands; moved on by whichever side gets there first.
enum class RunState : int { Running, LeftLoop, Abandoned };

// One run of the thread, on the heap and shared by the thread and the
// unload: a thread that is late outlives the BackgroundThread object.
struct Run {
    BackgroundThread::Step step;
    std::atomic<RunState> state{RunState::Running};
    HANDLE leftLoop = nullptr; // manual-reset: the thread has left its loop
    HANDLE park = nullptr;     // never signalled: the thread waits here to be ended

    ~Run() {
        ::CloseHandle(leftLoop);
        ::CloseHandle(park);
    }
};

// Keeps our module mapped until the process ends, so that a late thread
// returns from its read into code that is still there.
bool PinOurModule() {
    HMODULE self = nullptr;
    return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                reinterpret_cast<LPCWSTR>(&PinOurModule), &self) != 0;
}

DWORD WINAPI ThreadProc(void* argument) {
    auto* run = static_cast<Run*>(argument);
    while (run->step()) {
    }
    run->step = nullptr; // what the step held (the port, shared state) goes now

    RunState expected = RunState::Running;
    if (run->state.compare_exchange_strong(expected, RunState::LeftLoop)) {
        // The unload is waiting, or will be. Signal and park in one kernel
        // call: once it sees the signal, not one more instruction of ours
        // runs on this thread; it ends the thread from there.
        ::SignalObjectAndWait(run->leftLoop, run->park, INFINITE, TRUE);
        return 0;
    }
    // Abandoned by an unload that could not wait for us: our module was
    // pinned, so this code is still mapped. Tidy up and end normally.
    delete run;
    return 0;
}

} // namespace

Win32BackgroundThread::~Win32BackgroundThread() { Retire(0); }

bool Win32BackgroundThread::Start(Step step) {
    auto* run = new Run{};
    run->step = std::move(step);
    run->leftLoop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    run->park = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (run->leftLoop == nullptr || run->park == nullptr) {
        delete run;
        return false;
    }
    thread_ = ::CreateThread(nullptr, 0, &ThreadProc, run, 0, nullptr);
    if (thread_ == nullptr) {
        delete run;
        return false;
    }
    run_ = run;
    return true;
}

bool Win32BackgroundThread::Retire(uint32_t timeoutMs) {
    if (thread_ == nullptr) {
        return true;
    }
    auto* run = static_cast<Run*>(run_);
    bool left = ::WaitForSingleObject(run->leftLoop, timeoutMs) == WAIT_OBJECT_0;
    if (!left) {
        RunState expected = RunState::Running;
        if (run->state.compare_exchange_strong(expected, RunState::Abandoned)) {
            // Still inside our code (a read that does not come back). A
            // frozen thread could hold a lock of the process forever, so it
            // runs on and ends by itself, with our code kept mapped for it.
            PinOurModule();
            ::CloseHandle(thread_);
            thread_ = nullptr;
            run_ = nullptr;
            return false;
        }
        // It left its loop just now and is about to park: a moment's wait.
        ::WaitForSingleObject(run->leftLoop, INFINITE);
        left = true;
    }
    // Parked inside SignalObjectAndWait: the APC makes it exit from there,
    // so it never returns into our code. Its exit completes once the loader
    // has finished unloading us.
    const auto exitThread = reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(&::ExitThread));
    ::QueueUserAPC(exitThread, thread_, 0);
    ::CloseHandle(thread_);
    thread_ = nullptr;
    delete run; // the parked thread reads nothing of it again
    run_ = nullptr;
    return true;
}

std::unique_ptr<BackgroundThread> MakeSystemMonitorThread() { return std::make_unique<Win32BackgroundThread>(); }

} // namespace cashdrawer
