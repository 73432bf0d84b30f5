#include "platform/background_thread_posix.h"

#include <chrono>

namespace cashdrawer {

bool PosixBackgroundThread::Start(Step step, void* context) {
    left_ = false;
    thread_ = std::thread([this, step, context] {
        while (step(context)) {
        }
        std::lock_guard<std::mutex> lock(mutex_);
        left_ = true;
        leftLoop_.notify_all();
    });
    return true;
}

bool PosixBackgroundThread::Retire(uint32_t timeoutMs) {
    if (!thread_.joinable()) {
        return true;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    const bool left = leftLoop_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return left_; });
    lock.unlock();
    // Code is never unmapped here, so a thread that is late can finish on
    // its own.
    left ? thread_.join() : thread_.detach();
    return left;
}

BackgroundThread& SystemMonitorThread() {
    static PosixBackgroundThread thread;
    return thread;
}

} // namespace cashdrawer
