// The hardware library doubles are called from every thread of the host;
// each of their functions runs whole under this one lock per double.
#pragma once

#include "sim/access_log.h"

#include <windows.h>

#include <cstddef>

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

// Copies record `index` of the double's log into the host's form of it;
// 0 when there is no such record.
template <typename HostRecord, typename Convert>
int CopyRecord(const AccessLog& log, int index, HostRecord* out, Convert convert) {
    const auto& records = log.Records();
    if (out == nullptr || index < 0 || static_cast<std::size_t>(index) >= records.size()) {
        return 0;
    }
    *out = convert(records[static_cast<std::size_t>(index)]);
    return 1;
}

} // namespace cashdrawer::sim
