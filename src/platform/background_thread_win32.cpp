#include "platform/background_thread.h"

#include <windows.h>

namespace cashdrawer {
namespace {

class Win32BackgroundThread final : public BackgroundThread {
public:
    bool Start(Step step, void* context) override {
        if (leftLoop_ == nullptr) {
            leftLoop_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
            never_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        }
        ::ResetEvent(leftLoop_);
        step_ = step;
        context_ = context;
        thread_ = ::CreateThread(nullptr, 0, &ThreadProc, this, 0, nullptr);
        return thread_ != nullptr;
    }

    bool Started() const override { return thread_ != nullptr; }

    bool Retire(uint32_t timeoutMs) override {
        if (thread_ == nullptr) {
            return true;
        }
        bool retired = ::WaitForSingleObject(leftLoop_, timeoutMs) == WAIT_OBJECT_0;
        if (retired) {
            // Parked inside SignalObjectAndWait: the APC makes it exit from
            // there, so it never returns into our code. Its exit completes
            // once the loader has finished unloading us.
            const auto exitThread = reinterpret_cast<PAPCFUNC>(reinterpret_cast<void*>(&::ExitThread));
            retired = ::QueueUserAPC(exitThread, thread_, 0) != 0;
        }
        if (!retired) {
            // Still inside our code (a read that never came back): frozen
            // where it stands, it can never run our code again.
            ::SuspendThread(thread_);
        }
        ::CloseHandle(thread_);
        thread_ = nullptr;
        return retired;
    }

private:
    static DWORD WINAPI ThreadProc(void* self) {
        auto* thread = static_cast<Win32BackgroundThread*>(self);
        while (thread->step_(thread->context_)) {
        }
        // Signal and park in one kernel call: once the unload sees the
        // signal, not one more instruction of ours runs on this thread.
        ::SignalObjectAndWait(thread->leftLoop_, thread->never_, INFINITE, TRUE);
        return 0;
    }

    HANDLE thread_ = nullptr;
    HANDLE leftLoop_ = nullptr;
    HANDLE never_ = nullptr;
    Step step_ = nullptr;
    void* context_ = nullptr;
};

} // namespace

BackgroundThread& SystemMonitorThread() {
    static Win32BackgroundThread thread;
    return thread;
}

} // namespace cashdrawer
