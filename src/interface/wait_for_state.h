// Waiting for a drawer to reach a state: reads one after the other until
// the state is the one wanted or the time is up, with the pauses between
// reads on the clock (a virtual one in the tests).
#pragma once

#include "platform/clock.h"

#include <functional>

namespace cashdrawer {

// How often a wait reads the drawer at the least.
inline constexpr uint32_t kWaitReadIntervalMs = 50;

// `read` makes one read and returns the published number (0, 1, -1, -2).
// Returns 1 when a read gave a state `wanted` accepts; 0 when `timeoutMs`
// has passed without one (the last read falls at the deadline); the read's
// own -1 or -2 at the first read that gives one. A read starts
// kWaitReadIntervalMs after the one before it started, or at once when
// that read took longer. `timeoutMs` 0 makes one read.
int WaitForState(Clock& clock, uint32_t timeoutMs, const std::function<int()>& read,
                 const std::function<bool(int state)>& wanted);

} // namespace cashdrawer
