#include "platform/background_thread_win32.h"

#include <windows.h>

#include <atomic>

namespace cashdrawer {
namespace {

// Where a run stands; moved on by whichever side gets there first.
enum class RunState : int { Running, LeftLoop, Abandoned };

// One run of the monitor, on the heap and shared by the pool's callback and
// the unload: a run that is late outlives the BackgroundThread object.
struct Run {
    BackgroundThread::Step step;
    std::atomic<RunState> state{RunState::Running};
    HANDLE leftLoop = nullptr; // set by the pool once our callback has returned
};

// Keeps our module mapped until the process ends, so that a late run
// returns from its read into code that is still there.
bool PinOurModule() {
    HMODULE self = nullptr;
    return ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                reinterpret_cast<LPCWSTR>(&PinOurModule), &self) != 0;
}

VOID CALLBACK RunSteps(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WORK) {
    auto* run = static_cast<Run*>(context);
    ::CallbackMayRunLong(instance); // it runs until the unload: the pool adds a thread for others
    while (run->step()) {
    }
    run->step = nullptr; // what the step held (the port, shared state) goes now

    RunState expected = RunState::Running;
    if (run->state.compare_exchange_strong(expected, RunState::LeftLoop)) {
        // The pool sets the event after this callback has returned: when
        // the unload sees it, no instruction of ours is left to run on
        // the pool's thread, and the thread itself goes on in the system's
        // code - no thread of ours has to end under the loader lock.
        ::SetEventWhenCallbackReturns(instance, run->leftLoop);
        return;
    }
    // Abandoned by an unload that could not wait for us: our module was
    // pinned for us, and the run is ours to free.
    ::CloseHandle(run->leftLoop);
    delete run;
}

} // namespace

Win32BackgroundThread::~Win32BackgroundThread() { Retire(0); }

bool Win32BackgroundThread::Start(Step step) {
    auto* run = new Run{};
    run->step = std::move(step);
    run->leftLoop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    PTP_WORK work = run->leftLoop != nullptr ? ::CreateThreadpoolWork(&RunSteps, run, nullptr) : nullptr;
    if (work == nullptr) {
        if (run->leftLoop != nullptr) {
            ::CloseHandle(run->leftLoop);
        }
        delete run;
        return false;
    }
    ::SubmitThreadpoolWork(work);
    work_ = work;
    run_ = run;
    return true;
}

bool Win32BackgroundThread::Retire(uint32_t timeoutMs) {
    if (work_ == nullptr) {
        return true;
    }
    auto* run = static_cast<Run*>(run_);
    auto* work = static_cast<PTP_WORK>(work_);
    work_ = nullptr;
    run_ = nullptr;
    if (::WaitForSingleObject(run->leftLoop, timeoutMs) != WAIT_OBJECT_0) {
        RunState expected = RunState::Running;
        if (run->state.compare_exchange_strong(expected, RunState::Abandoned)) {
            // Still inside our code (a read that does not come back). A
            // frozen thread could hold a lock of the process for ever, so
            // it runs on and ends its run by itself, with our code kept
            // mapped for it. The pool frees the work once it returns.
            PinOurModule();
            ::CloseThreadpoolWork(work);
            return false;
        }
        // It left its loop just now and is returning: a moment's wait.
        ::WaitForSingleObject(run->leftLoop, INFINITE);
    }
    ::CloseThreadpoolWork(work);
    ::CloseHandle(run->leftLoop);
    delete run;
    return true;
}

std::unique_ptr<BackgroundThread> MakeSystemMonitorThread() { return std::make_unique<Win32BackgroundThread>(); }

} // namespace cashdrawer
