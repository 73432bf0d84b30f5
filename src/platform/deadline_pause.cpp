#include "platform/deadline_pause.h"

#include <algorithm>

namespace cashdrawer {

PauseResult PauseUntilDeadline(PauseParts& parts, uint64_t durationMicros, uint64_t marginMicros) {
    PauseResult result{parts.NowMicros() + durationMicros, 0, 0};
    const uint64_t sleepUntil = result.deadline - std::min(marginMicros, durationMicros);
    // Every loop here ends even when the clock does not behave: a sleep is
    // never longer than the whole pause (a clock that jumped back would ask
    // for more), the sleeps stop when one did not move the clock at all or
    // after kMaxCoarseSleeps (each cut short by a signal), and the spin
    // gives up after a number of rounds no working clock needs.
    for (uint64_t now = parts.NowMicros(); now < sleepUntil && result.coarseSleeps < kMaxCoarseSleeps;) {
        parts.CoarseSleepMicros(std::min(sleepUntil - now, durationMicros));
        ++result.coarseSleeps;
        const uint64_t woke = parts.NowMicros();
        // How late it woke: 0 when on time or early.
        result.worstSleepLateMicros = std::max(result.worstSleepLateMicros, woke - std::min(woke, sleepUntil));
        if (woke == now) {
            result.clockStalled = true;
            break;
        }
        now = woke;
    }
    parts.CoarseDone();
    const uint64_t spinBudget = (std::min(marginMicros, durationMicros) + 1) * kMaxRelaxRoundsPerMicro;
    for (uint64_t rounds = 0; parts.NowMicros() < result.deadline; ++rounds) {
        if (rounds == spinBudget) {
            result.clockStalled = true;
            break;
        }
        parts.Relax();
    }
    return result;
}

uint64_t SleepMargin::Micros() const { return std::clamp(lateness_.load() + kHeadroomMicros, floor_, ceiling_); }

void SleepMargin::Learn(const PauseResult& pause) {
    if (pause.coarseSleeps == 0) {
        return;
    }
    // A late wake is believed at once; an earlier one lowers the estimate
    // by a thirty-second of the way. Timers that are late now and then by
    // a whole coarse step (Wine's: every third or fourth wake about 1 ms
    // late, the others 0.2 to 0.5 ms) keep a margin that covers the step.
    // (At a wake exactly as late as the estimate both branches agree.)
    const uint64_t sleepLateMicros = pause.worstSleepLateMicros;
    uint64_t known = lateness_.load();
    const uint64_t next = sleepLateMicros >= known ? sleepLateMicros : known - (known - sleepLateMicros) / 32;
    lateness_.compare_exchange_strong(known, next);
}

} // namespace cashdrawer
