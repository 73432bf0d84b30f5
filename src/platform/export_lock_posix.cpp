#include "platform/export_lock.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace cashdrawer {
namespace {
// Statically initialised: usable from the first call, with nothing to set up
// at load and nothing to release at unload.
pthread_mutex_t turnsGuard = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t turnChanged = PTHREAD_COND_INITIALIZER;
// A ticket per caller, served in the order taken: a thread that kicks
// again the moment its call returns cannot overtake one that was already
// waiting (a plain mutex lets it, and a waiting reader misses reads).
uint64_t nextTicket = 0;
uint64_t nowServing = 0;
} // namespace

uint64_t CallingThreadId() { return static_cast<uint64_t>(::syscall(SYS_gettid)); }

ExportLock::ExportLock() {
    ::pthread_mutex_lock(&turnsGuard);
    const uint64_t ticket = nextTicket++;
    while (nowServing != ticket) {
        ::pthread_cond_wait(&turnChanged, &turnsGuard);
    }
    ::pthread_mutex_unlock(&turnsGuard);
}

ExportLock::~ExportLock() {
    ::pthread_mutex_lock(&turnsGuard);
    ++nowServing;
    ::pthread_cond_broadcast(&turnChanged);
    ::pthread_mutex_unlock(&turnsGuard);
}

int ExportLock::CallersWaiting() {
    ::pthread_mutex_lock(&turnsGuard);
    const auto waiting = static_cast<int>(nextTicket - nowServing) - 1;
    ::pthread_mutex_unlock(&turnsGuard);
    // (Asked with no call in progress the count is -1; shown as none. At
    // exactly 0 either branch gives 0.)
    return waiting < 0 ? 0 : waiting;
}

} // namespace cashdrawer
