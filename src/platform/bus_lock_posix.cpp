#include "platform/bus_lock_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace cashdrawer {

namespace {

// flock needs no write access: the file is opened for reading, so an
// account that did not make it can still take the lock. Made by the first
// claimant readable by every account, whatever its umask; an existing file
// is opened without O_CREAT, which a sticky /run/lock refuses on another
// account's file (fs.protected_regular).
constexpr mode_t kLockFileMode = 0644; // every account may open it for reading

int OpenLockFile(const std::string& path) {
    const int existing = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (existing >= 0 || errno != ENOENT) {
        return existing;
    }
    const int made = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, kLockFileMode);
    if (made >= 0) {
        ::fchmod(made, kLockFileMode); // whatever the umask took away
        return made;
    }
    return errno == EEXIST ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1; // another claimant made it first
}

} // namespace

bool FlockBusLock::Acquire() {
    Release();
    fd_ = OpenLockFile(path_);
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
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // how often to look: any few ms will do
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
