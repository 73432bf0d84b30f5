// The hardware library doubles are called from every thread of the host;
// each of their functions runs whole under this one lock per double.
#pragma once

#include <windows.h>

namespace cashdrawer::sim {

class DoubleLock {
public:
    explicit DoubleLock(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
    ~DoubleLock() { ::ReleaseSRWLockExclusive(&lock_); }
    DoubleLock(const DoubleLock&) = delete;
    DoubleLock& operator=(const DoubleLock&) = delete;

private:
    SRWLOCK& lock_;
};

} // namespace cashdrawer::sim
