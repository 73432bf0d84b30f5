#include "platform/clock.h"
#include "platform/deadline_pause.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ctime>

namespace cashdrawer {
namespace {

// The bounds of the margin before a pause's deadline where the system
// sleep ends and the spin takes over; within them the margin follows how
// late the sleeps wake (see SleepMargin). Measured here (a virtual
// machine): clock_nanosleep wakes 60 to 400 us late; a margin of 300 us
// ended 120 pauses of 10 and 50 ms at most 5 us late for a spin of 175 to
// 200 us, where 150 us left some 240 us late. (Tuning figures: a bound a
// microsecond either way changes how long a pause spins, never where it
// ends, so no test can pin them.)
constexpr uint64_t kMarginFloorMicros = 100;
constexpr uint64_t kMarginCeilingMicros = 2000;

uint64_t MonotonicMicros() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

class PosixPauseParts final : public PauseParts {
public:
    uint64_t NowMicros() override { return MonotonicMicros(); }
    void CoarseSleepMicros(uint64_t micros) override {
        // A signal may cut it short: the caller sleeps out the rest.
        timespec rest{static_cast<time_t>(micros / 1000000u), static_cast<long>(micros % 1000000u) * 1000L};
        ::nanosleep(&rest, nullptr);
    }
    // A hint that this core only spins: it saves power and lets a sibling
    // hyper-thread run. The spin ends at the same time without it.
    void Relax() override {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
};

class PosixAlarm final : public Clock::Alarm {
public:
    void Raise() override {
        std::lock_guard<std::mutex> lock(mutex_);
        raised_ = true;
        changed_.notify_all();
    }
    bool WaitMs(uint32_t ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return raised_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool raised_ = false;
};

class PosixClock final : public Clock {
public:
    std::unique_ptr<Alarm> MakeAlarm() override { return std::make_unique<PosixAlarm>(); }
    bool WaitMs(Alarm& alarm, uint32_t ms) override { return static_cast<PosixAlarm&>(alarm).WaitMs(ms); }

    void SleepMs(uint32_t ms) override {
        PosixPauseParts parts;
        margin_.Learn(PauseUntilDeadline(parts, uint64_t{ms} * 1000u, margin_.Micros()));
    }

    uint64_t NowMicros() override { return MonotonicMicros(); }

private:
    SleepMargin margin_{kMarginFloorMicros, kMarginCeilingMicros};
};

PosixClock systemClock;

} // namespace

Clock& SystemClock() { return systemClock; }

} // namespace cashdrawer
