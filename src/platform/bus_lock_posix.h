// The claim on the Super I/O ports on Linux: the kernel's hardware-monitor
// drivers and sensor tools read the same index/data pair. An advisory lock
// (flock) on a lock file is taken around each configuration-mode sequence,
// as the Windows build takes its named mutex: waited for at most 500 ms,
// after which the sequence runs anyway.
#pragma once

#include "platform/bus_lock.h"

#include <string>

namespace cashdrawer {

class FlockBusLock final : public SharedBusLock {
public:
    static constexpr char kLockFile[] = "/run/lock/cashdrawer-superio.lock";
    static constexpr int kWaitMs = 500;

    explicit FlockBusLock(std::string path = kLockFile) : path_(std::move(path)) {}
    ~FlockBusLock() override { Release(); }
    FlockBusLock(const FlockBusLock&) = delete;
    FlockBusLock& operator=(const FlockBusLock&) = delete;

    // False, at once, when the lock file cannot be opened (a system without
    // /run/lock), or after the wait when another holder keeps it.
    bool Acquire() override;
    void Release() override;
    std::string WhyNotHeld() const override { return whyNotHeld_; }

private:
    std::string path_;
    int fd_ = -1;
    std::string whyNotHeld_;
};

} // namespace cashdrawer
