#include "interface/wait_for_state.h"

#include <algorithm>

namespace cashdrawer {

int WaitForState(Clock& clock, uint32_t timeoutMs, const std::function<int()>& read,
                 const std::function<bool(int state)>& wanted) {
    const uint64_t deadline = clock.NowMicros() + uint64_t{timeoutMs} * 1000u;
    // The pauses asked for, added up: a clock that stands still never
    // reaches the deadline, but the wait ends once it has paused that long.
    uint64_t pausedMicros = 0;
    for (;;) {
        const uint64_t readStart = clock.NowMicros();
        const int state = read();
        if (state < 0) {
            return state; // unknown, or unreachable: no state will come
        }
        if (wanted(state)) {
            return 1;
        }
        const uint64_t now = clock.NowMicros();
        if (now >= deadline || pausedMicros >= uint64_t{timeoutMs} * 1000u) {
            return 0;
        }
        // A clock that went back would ask for a pause past the deadline.
        const uint64_t nextRead = std::min({readStart + uint64_t{kWaitReadIntervalMs} * 1000u, deadline,
                                            now + uint64_t{kWaitReadIntervalMs} * 1000u});
        if (nextRead > now) {
            // Whole milliseconds, rounded up: never a read before its time.
            const uint64_t pauseMs = (nextRead - now + 999u) / 1000u;
            clock.SleepMs(static_cast<uint32_t>(pauseMs));
            pausedMicros += pauseMs * 1000u;
        }
    }
}

} // namespace cashdrawer
