// The one background thread of the library: the serial drawer's status
// monitor. It runs from the first serial call until the library is
// unloaded; the unload must be sure that none of our code runs after the
// library is gone, without waiting for the thread to exit (which, under the
// loader's lock, it cannot).
#pragma once

#include <cstdint>

namespace cashdrawer {

class BackgroundThread {
public:
    // One round of the thread's work; false when the thread should stop.
    using Step = bool (*)(void* context);

    virtual ~BackgroundThread() = default;

    // Runs step(context) over and over on a new thread until it returns
    // false; false when no thread could be made.
    virtual bool Start(Step step, void* context) = 0;
    virtual bool Started() const = 0;
    // Called after the step has been asked to return false: waits at most
    // `timeoutMs` until the thread has left its loop and can run no more of
    // our code. True when it has; false when it did not in time, in which
    // case the thread has been made harmless another way.
    virtual bool Retire(uint32_t timeoutMs) = 0;
};

BackgroundThread& SystemMonitorThread();

} // namespace cashdrawer
