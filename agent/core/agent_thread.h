// A thread and a condition for the agent's own workers (the fleet client's
// network and pump threads). On Windows the system's own (CreateThread, a
// condition variable on the SRW lock): Debian's mingw, in the win32 thread
// model the DLL and the tool are built with, has no std::thread.
#pragma once

#include "core/agent_mutex.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <condition_variable>
#include <thread>
#endif

namespace cashdrawer::agent {

class AgentCondition {
public:
    void NotifyAll() {
#if defined(_WIN32)
        ::WakeAllConditionVariable(&condition_);
#else
        condition_.notify_all();
#endif
    }

    // Waits until `done` holds or `ms` have passed; what `done` says last.
    template <typename Done>
    bool WaitFor(std::unique_lock<AgentMutex>& lock, int64_t ms, Done done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) {
                return done();
            }
#if defined(_WIN32)
            // Spurious and timed-out wakes alike go round the loop.
            ::SleepConditionVariableSRW(&condition_, lock.mutex()->Native(), static_cast<DWORD>(left), 0);
#else
            condition_.wait_for(lock, std::chrono::milliseconds(left));
#endif
        }
        return true;
    }

private:
#if defined(_WIN32)
    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
#else
    std::condition_variable condition_;
#endif
};

inline void SleepMs(int64_t ms) {
#if defined(_WIN32)
    ::Sleep(static_cast<DWORD>(ms));
#else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
#endif
}

class AgentThread {
public:
    AgentThread() = default;
    AgentThread(const AgentThread&) = delete;
    AgentThread& operator=(const AgentThread&) = delete;
    ~AgentThread() { Join(); }

    // False when the system gives no thread.
    bool Start(std::function<void()> body) {
#if defined(_WIN32)
        auto owned = std::make_unique<std::function<void()>>(std::move(body));
        handle_ = ::CreateThread(nullptr, 0, &AgentThread::Run, owned.get(), 0, nullptr);
        if (handle_ == nullptr) {
            return false;
        }
        owned.release(); // the thread's now
        return true;
#else
        thread_ = std::thread(std::move(body));
        return true;
#endif
    }

    void Join() {
#if defined(_WIN32)
        if (handle_ != nullptr) {
            ::WaitForSingleObject(handle_, INFINITE);
            ::CloseHandle(handle_);
            handle_ = nullptr;
        }
#else
        if (thread_.joinable()) {
            thread_.join();
        }
#endif
    }

private:
#if defined(_WIN32)
    static DWORD WINAPI Run(void* context) {
        std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(context));
        (*body)();
        return 0;
    }
    HANDLE handle_ = nullptr;
#else
    std::thread thread_;
#endif
};

} // namespace cashdrawer::agent
