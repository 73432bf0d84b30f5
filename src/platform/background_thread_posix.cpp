#include "platform/background_thread_posix.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace cashdrawer {

struct PosixBackgroundThread::Run {
    std::mutex mutex;
    std::condition_variable leftLoop;
    bool left = false;
};

bool PosixBackgroundThread::Start(Step step) {
    run_ = std::make_shared<Run>();
    thread_ = std::thread([run = run_, step = std::move(step)]() mutable {
        // What the step holds is destroyed with this lambda as the thread
        // ends: before join() returns to Retire, and so before the unload
        // goes on.
        while (step()) {
        }
        std::lock_guard<std::mutex> lock(run->mutex);
        run->left = true;
        run->leftLoop.notify_all();
    });
    return true;
}

bool PosixBackgroundThread::Retire(uint32_t timeoutMs) {
    if (!thread_.joinable()) {
        return true;
    }
    bool left = false;
    {
        std::unique_lock<std::mutex> lock(run_->mutex);
        left = run_->leftLoop.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return run_->left; });
    }
    // Code is never unmapped here, so a thread that is late finishes on its
    // own, with its step and its share of the run.
    left ? thread_.join() : thread_.detach();
    run_.reset();
    return left;
}

std::unique_ptr<BackgroundThread> MakeSystemMonitorThread() { return std::make_unique<PosixBackgroundThread>(); }

} // namespace cashdrawer
