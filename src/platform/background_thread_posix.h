#pragma once

#include "platform/background_thread.h"

#include <memory>
#include <thread>

namespace cashdrawer {

class PosixBackgroundThread final : public BackgroundThread {
public:
    ~PosixBackgroundThread() override { Retire(1000); }

    bool Start(Step step) override;
    bool Started() const override { return thread_.joinable(); }
    bool Retire(uint32_t timeoutMs) override;

private:
    // Shared with the thread, so that a thread left to finish on its own
    // never touches this object after it is gone.
    struct Run;

    std::thread thread_;
    std::shared_ptr<Run> run_;
};

} // namespace cashdrawer
