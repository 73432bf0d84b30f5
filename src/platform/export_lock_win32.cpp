#include "platform/export_lock.h"

#include <windows.h>

namespace cashdrawer {
namespace {
// Statically initialised: usable from the first call, with nothing to set up
// at load and nothing to release at unload.
SRWLOCK turnsGuard = SRWLOCK_INIT;
CONDITION_VARIABLE turnChanged = CONDITION_VARIABLE_INIT;
// A ticket per caller, served in the order taken: a thread that kicks
// again the moment its call returns cannot overtake one that was already
// waiting (an SRW lock lets it, and a waiting reader misses reads).
uint64_t nextTicket = 0;
uint64_t nowServing = 0;
} // namespace

uint64_t CallingThreadId() { return ::GetCurrentThreadId(); }

ExportLock::ExportLock() {
    ::AcquireSRWLockExclusive(&turnsGuard);
    const uint64_t ticket = nextTicket++;
    while (nowServing != ticket) {
        ::SleepConditionVariableSRW(&turnChanged, &turnsGuard, INFINITE, 0);
    }
    ::ReleaseSRWLockExclusive(&turnsGuard);
}

ExportLock::~ExportLock() {
    ::AcquireSRWLockExclusive(&turnsGuard);
    ++nowServing;
    ::WakeAllConditionVariable(&turnChanged);
    ::ReleaseSRWLockExclusive(&turnsGuard);
}

int ExportLock::CallersWaiting() {
    ::AcquireSRWLockExclusive(&turnsGuard);
    const auto waiting = static_cast<int>(nextTicket - nowServing) - 1;
    ::ReleaseSRWLockExclusive(&turnsGuard);
    return waiting < 0 ? 0 : waiting;
}

} // namespace cashdrawer
