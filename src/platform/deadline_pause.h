// A pause that ends at its deadline, not at the scheduler's next tick after
// it: the system's sleep covers all but a margin before the deadline, and
// a short spin on the monotonic clock covers the rest. A system sleep may
// end early (a signal) or late (a busy scheduler); the pause is never
// shorter than asked, and it is late only by the spin's own granularity
// when the sleep ends on time.
#pragma once

#include <cstdint>

namespace cashdrawer {

// The platform's two halves of a pause, and its clock.
class PauseParts {
public:
    virtual ~PauseParts() = default;
    virtual uint64_t NowMicros() = 0;
    // Sleeps about `micros`; may end early or late.
    virtual void CoarseSleepMicros(uint64_t micros) = 0;
    // One round of the spin: the processor's pause hint.
    virtual void Relax() = 0;
};

// Pauses until `durationMicros` after now: a coarse sleep until `marginMicros`
// before the deadline (repeated if it ends early), then a spin to the
// deadline. Returns the deadline.
uint64_t PauseUntilDeadline(PauseParts& parts, uint64_t durationMicros, uint64_t marginMicros);

} // namespace cashdrawer
