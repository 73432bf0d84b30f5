// The monitor thread on Windows. A thread that left its loop parks in a
// kernel wait and is ended from there, so it runs none of our code while
// the loader unmaps it; one that is late is left to end by itself, with our
// module pinned in memory for it.
#pragma once

#include "platform/background_thread.h"

#include <memory>

namespace cashdrawer {

class Win32BackgroundThread final : public BackgroundThread {
public:
    Win32BackgroundThread() = default;
    ~Win32BackgroundThread() override;
    Win32BackgroundThread(const Win32BackgroundThread&) = delete;
    Win32BackgroundThread& operator=(const Win32BackgroundThread&) = delete;

    bool Start(Step step) override;
    bool Started() const override { return thread_ != nullptr; }
    bool Retire(uint32_t timeoutMs) override;

private:
    void* thread_ = nullptr; // HANDLE
    void* run_ = nullptr;    // the run shared with the thread
};

std::unique_ptr<BackgroundThread> MakeSystemMonitorThread();

} // namespace cashdrawer
