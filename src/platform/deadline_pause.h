// A pause that ends at its deadline, not at the scheduler's next tick after
// it: the system's sleep covers all but a margin before the deadline, and
// a short spin on the monotonic clock covers the rest. A system sleep may
// end early (a signal) or late (a busy scheduler, a coarse timer); the
// pause is never shorter than asked, and it is late only when the sleep
// overshoots the whole margin.
#pragma once

#include <atomic>
#include <cstdint>

namespace cashdrawer {

// The platform's two halves of a pause, and its clock.
class PauseParts {
public:
    virtual ~PauseParts() = default;
    virtual uint64_t NowMicros() = 0;
    // Sleeps about `micros`; may end early or late.
    virtual void CoarseSleepMicros(uint64_t micros) = 0;
    // The coarse sleeps are over: what they took can be given back now,
    // before the spin, so that it costs no time after the deadline.
    virtual void CoarseDone() {}
    // One round of the spin: the processor's pause hint.
    virtual void Relax() = 0;
};

struct PauseResult {
    uint64_t deadline;
    int coarseSleeps;              // 0 when the whole pause was spun
    uint64_t worstSleepLateMicros; // how far past its own end a coarse sleep ran, at most
    bool clockStalled = false;     // the clock stood still: the pause ended without reaching its deadline
};

// The bounds that keep a pause finite on a clock that stands still: the
// coarse sleeps of one pause (a signal may cut each short), and the spin's
// rounds per microsecond of margin (a processor's pause hint takes 10 to
// 150 cycles, so a working clock moves well within them).
inline constexpr int kMaxCoarseSleeps = 16;
inline constexpr uint64_t kMaxRelaxRoundsPerMicro = 1000;

// Pauses until `durationMicros` after now: coarse sleeps until `marginMicros`
// before the deadline (repeated if one ends early), then a spin to the
// deadline.
PauseResult PauseUntilDeadline(PauseParts& parts, uint64_t durationMicros, uint64_t marginMicros);

// The margin, learnt from how late this system's sleeps actually wake: the
// latest worst lateness, forgotten slowly, plus headroom, kept between a
// floor and a ceiling. A timer that wakes 1 ms late (Wine's) gets a 1 ms
// margin; one that wakes on time costs a short spin only. Shared by every
// thread that pauses.
class SleepMargin {
public:
    SleepMargin(uint64_t floorMicros, uint64_t ceilingMicros) : floor_(floorMicros), ceiling_(ceilingMicros) {}

    uint64_t Micros() const;
    // What one pause found; a pause without a coarse sleep teaches nothing.
    void Learn(const PauseResult& pause);

    static constexpr uint64_t kHeadroomMicros = 100;

private:
    const uint64_t floor_;
    const uint64_t ceiling_;
    std::atomic<uint64_t> lateness_{0};
};

} // namespace cashdrawer
