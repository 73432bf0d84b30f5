// A claim on the shared Super I/O ports that logs when it is taken and
// released, so tests see it span each configuration-mode sequence.
#pragma once

#include "platform/bus_lock.h"
#include "platform/clock.h"
#include "sim/access_log.h"

namespace cashdrawer::sim {

class SimBusLock final : public SharedBusLock {
public:
    SimBusLock(Clock& clock, AccessLog& log) : clock_(clock), log_(log) {}

    // Another program holds the ports past our wait: claims time out.
    void SetHeldElsewhere(bool held) { heldElsewhere_ = held; }

    bool Acquire() override {
        log_.Append({.timeMicros = clock_.NowMicros(), .op = AccessOp::BusClaim, .value = heldElsewhere_ ? 0u : 1u});
        return !heldElsewhere_;
    }
    void Release() override { log_.Append({.timeMicros = clock_.NowMicros(), .op = AccessOp::BusRelease}); }

private:
    Clock& clock_;
    AccessLog& log_;
    bool heldElsewhere_ = false;
};

} // namespace cashdrawer::sim
