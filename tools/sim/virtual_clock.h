// A clock whose sleeps return at once: they only advance its time and log
// the pause, so a 512 ms kick runs in microseconds and its pauses can be
// asserted exactly.
#pragma once

#include "platform/clock.h"
#include "sim/access_log.h"

namespace cashdrawer::sim {

class VirtualClock final : public Clock {
public:
    explicit VirtualClock(AccessLog& log) : log_(log) {}

    void SleepMs(uint32_t ms) override {
        log_.Append({nowMicros_, AccessOp::Pause, 0, 0, ms});
        nowMicros_ += uint64_t{ms} * 1000u;
    }
    uint64_t NowMicros() override { return nowMicros_; }

    // Nothing runs while a test waits: a raised alarm answers at once, one
    // that is not raised costs the whole time, as a pause.
    struct FlagAlarm final : Alarm {
        void Raise() override { raised = true; }
        bool raised = false;
    };
    std::unique_ptr<Alarm> MakeAlarm() override { return std::make_unique<FlagAlarm>(); }
    bool WaitMs(Alarm& alarm, uint32_t ms) override {
        auto& flag = static_cast<FlagAlarm&>(alarm);
        if (!flag.raised) {
            SleepMs(ms);
        }
        return flag.raised;
    }

private:
    AccessLog& log_;
    uint64_t nowMicros_ = 0;
};

} // namespace cashdrawer::sim
