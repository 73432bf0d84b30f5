#include "platform/clock.h"

#include <cerrno>
#include <ctime>

namespace cashdrawer {
namespace {

class PosixClock final : public Clock {
public:
    void SleepMs(uint32_t ms) override {
        timespec rest{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        // A signal may cut the sleep short; sleep out the rest so a drive
        // pulse is never shorter than the drawer needs.
        while (::nanosleep(&rest, &rest) == -1 && errno == EINTR) {
        }
    }

    uint64_t NowMicros() override {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    }
};

} // namespace

Clock& SystemClock() {
    static PosixClock clock;
    return clock;
}

} // namespace cashdrawer
