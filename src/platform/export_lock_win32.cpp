#include "platform/export_lock.h"

#include <windows.h>

namespace cashdrawer {
namespace {
// Statically initialised: usable from the first call, with nothing to set up
// at load and nothing to release at unload.
SRWLOCK exportLock = SRWLOCK_INIT;
} // namespace

uint64_t CallingThreadId() { return ::GetCurrentThreadId(); }

ExportLock::ExportLock() { ::AcquireSRWLockExclusive(&exportLock); }
ExportLock::~ExportLock() { ::ReleaseSRWLockExclusive(&exportLock); }

} // namespace cashdrawer
