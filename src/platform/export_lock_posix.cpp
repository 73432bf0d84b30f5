#include "platform/export_lock.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace cashdrawer {
namespace {
// Statically initialised: usable from the first call, with nothing to set up
// at load and nothing to release at unload.
pthread_mutex_t exportLock = PTHREAD_MUTEX_INITIALIZER;
} // namespace

uint64_t CallingThreadId() { return static_cast<uint64_t>(::syscall(SYS_gettid)); }

ExportLock::ExportLock() { ::pthread_mutex_lock(&exportLock); }
ExportLock::~ExportLock() { ::pthread_mutex_unlock(&exportLock); }

} // namespace cashdrawer
