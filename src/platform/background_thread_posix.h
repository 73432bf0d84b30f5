#pragma once

#include "platform/background_thread.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace cashdrawer {

class PosixBackgroundThread final : public BackgroundThread {
public:
    ~PosixBackgroundThread() override { Retire(1000); }

    bool Start(Step step, void* context) override;
    bool Started() const override { return thread_.joinable(); }
    bool Retire(uint32_t timeoutMs) override;

private:
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable leftLoop_;
    bool left_ = false;
};

} // namespace cashdrawer
