// The one background activity of the library: the serial drawer's status
// monitor. It runs from the first serial call until the library is
// unloaded, on a thread of its own (POSIX) or as a long callback on the
// system's thread pool (Windows); the unload must be sure that none of our
// code runs after the library is gone, without waiting for a thread of
// ours to exit (which, under the loader's lock, it cannot).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace cashdrawer {

class BackgroundThread {
public:
    // One round of the thread's work; false when the thread should stop.
    // The thread owns the step: whatever the step holds (shared state, the
    // serial link) stays alive while the thread may still touch it, and is
    // released when the thread leaves its loop.
    using Step = std::function<bool()>;

    virtual ~BackgroundThread() = default;

    // Runs step() over and over on another thread until it returns false;
    // false when that could not be arranged (the step is released at once).
    virtual bool Start(Step step) = 0;
    virtual bool Started() const = 0;
    // Called after the step has been asked to return false: waits at most
    // `timeoutMs` for the thread to leave its loop. True when it has: its
    // step is released and it runs no more of our code. False when it is
    // late (a read that does not come back): it is left to finish on its
    // own, never frozen, and releases its step itself when it leaves.
    // Either way Started() is false afterwards.
    virtual bool Retire(uint32_t timeoutMs) = 0;
};

// The monitor of the operating system the library was built for.
std::unique_ptr<BackgroundThread> MakeSystemMonitorThread();

} // namespace cashdrawer
