// The time source of the drawer sequences. Every pause of a kick or status
// sequence goes through SleepMs, so tests can run the sequences on a virtual
// clock and see each pause exactly.
#pragma once

#include <cstdint>

namespace cashdrawer {

class Clock {
public:
    virtual ~Clock() = default;
    // Blocks the calling thread for at least `ms` milliseconds.
    virtual void SleepMs(uint32_t ms) = 0;
    // Monotonic time in microseconds since an arbitrary start.
    virtual uint64_t NowMicros() = 0;
};

// The operating system's clock, one per process.
Clock& SystemClock();

} // namespace cashdrawer
