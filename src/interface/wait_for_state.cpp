#include "interface/wait_for_state.h"

#include <algorithm>

namespace cashdrawer {

int WaitForState(Clock& clock, uint32_t timeoutMs, const std::function<int()>& read,
                 const std::function<bool(int state)>& wanted) {
    const uint64_t deadline = clock.NowMicros() + uint64_t{timeoutMs} * 1000u;
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
        if (now >= deadline) {
            return 0;
        }
        const uint64_t nextRead = std::min(readStart + uint64_t{kWaitReadIntervalMs} * 1000u, deadline);
        if (nextRead > now) {
            // Whole milliseconds, rounded up: never a read before its time.
            clock.SleepMs(static_cast<uint32_t>((nextRead - now + 999u) / 1000u));
        }
    }
}

} // namespace cashdrawer
