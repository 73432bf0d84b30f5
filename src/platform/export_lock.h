// The one process-wide lock that serialises the exported calls: two host
// threads calling at once get whole drawer sequences one after the other,
// and one call's port I/O shutdown can never end another's port access.
// Callers are served in the order they arrive.
#pragma once

#include <cstdint>

namespace cashdrawer {

// The calling thread's identity, as the system numbers it.
uint64_t CallingThreadId();

class ExportLock {
public:
    ExportLock();
    ~ExportLock();
    ExportLock(const ExportLock&) = delete;
    ExportLock& operator=(const ExportLock&) = delete;

    // How many callers wait for their turn now (for tests and diagnosis).
    static int CallersWaiting();
};

} // namespace cashdrawer
