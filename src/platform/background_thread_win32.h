// The monitor thread on Windows: a long-running callback on the process's
// thread pool. The pool signals the unload only after the callback has
// returned, so once the unload sees it no code of ours runs there again,
// and no thread of ours has to end under the loader lock the unload holds.
// A run that is late is left to finish by itself, never frozen, with our
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
    bool Started() const override { return work_ != nullptr; }
    bool Retire(uint32_t timeoutMs) override;

private:
    void* work_ = nullptr; // the pool's work item
    void* run_ = nullptr;  // the run shared with the callback
};


} // namespace cashdrawer
