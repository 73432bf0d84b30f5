#include "platform/deadline_pause.h"

namespace cashdrawer {

uint64_t PauseUntilDeadline(PauseParts& parts, uint64_t durationMicros, uint64_t marginMicros) {
    const uint64_t deadline = parts.NowMicros() + durationMicros;
    for (uint64_t now = parts.NowMicros(); now + marginMicros < deadline; now = parts.NowMicros()) {
        parts.CoarseSleepMicros(deadline - marginMicros - now);
    }
    while (parts.NowMicros() < deadline) {
        parts.Relax();
    }
    return deadline;
}

} // namespace cashdrawer
