// The agent's lock, for the threads of the bridge and the serve loop. On
// Windows an SRW lock: Debian's mingw (the win32 thread model, which the
// DLL and the tool are built with) has no std::mutex. Used through
// std::lock_guard like any mutex.
#pragma once

#if defined(_WIN32)
#include <windows.h>

namespace cashdrawer::agent {

class AgentMutex {
public:
    AgentMutex() = default;
    AgentMutex(const AgentMutex&) = delete;
    AgentMutex& operator=(const AgentMutex&) = delete;
    void lock() { ::AcquireSRWLockExclusive(&lock_); }
    void unlock() { ::ReleaseSRWLockExclusive(&lock_); }
    // For the condition that waits on it (agent_thread.h).
    PSRWLOCK Native() { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

} // namespace cashdrawer::agent
#else
#include <mutex>

namespace cashdrawer::agent {
using AgentMutex = std::mutex;
} // namespace cashdrawer::agent
#endif
