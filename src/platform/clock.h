// The time source of the drawer sequences. Every pause of a kick or status
// sequence goes through SleepMs, so tests can run the sequences on a virtual
// clock and see each pause exactly.
#pragma once

#include <cstdint>
#include <memory>

namespace cashdrawer {

class Clock {
public:
    // A flag one thread raises and another waits for, with a time limit:
    // an event, so the waiter wakes when it is raised, not at a poll.
    class Alarm {
    public:
        virtual ~Alarm() = default;
        virtual void Raise() = 0;
    };

    virtual ~Clock() = default;
    // Blocks the calling thread for at least `ms` milliseconds.
    virtual void SleepMs(uint32_t ms) = 0;
    // Monotonic time in microseconds since an arbitrary start.
    virtual uint64_t NowMicros() = 0;
    virtual std::unique_ptr<Alarm> MakeAlarm() = 0;
    // Waits until the alarm is raised or `ms` milliseconds have passed;
    // true when it is raised.
    virtual bool WaitMs(Alarm& alarm, uint32_t ms) = 0;
};

// The operating system's clock, one per process.
Clock& SystemClock();

} // namespace cashdrawer
