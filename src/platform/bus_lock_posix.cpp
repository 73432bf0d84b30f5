#include "platform/bus_lock_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace cashdrawer {

bool FlockBusLock::Acquire() {
    Release();
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        whyNotHeld_ = "the lock file " + path_ + " cannot be opened (" + std::strerror(errno) +
                      "), so the sequences run without the claim";
        return false;
    }
    // Polled rather than blocked on: a holder that never lets go costs the
    // bounded wait only.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::close(fd_);
            fd_ = -1;
            whyNotHeld_ = "held by another program (a lock on " + path_ + ") for more than 500 ms";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void FlockBusLock::Release() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

std::unique_ptr<SharedBusLock> MakeSystemSuperIoBusLock() { return std::make_unique<FlockBusLock>(); }

} // namespace cashdrawer
