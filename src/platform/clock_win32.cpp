#include "platform/clock.h"

#include <windows.h>
#include <timeapi.h>

namespace cashdrawer {
namespace {

class Win32Clock final : public Clock {
public:
    // The system timer ticks every 15.6 ms by default, which would stretch
    // a 10 ms step of a drawer sequence to the next tick. For the length of
    // the sleep, ask for 1 ms ticks (for this process only, on current
    // Windows), so the drawer sees pauses close to what it needs.
    void SleepMs(uint32_t ms) override {
        const bool fineTimer = ::timeBeginPeriod(1) == TIMERR_NOERROR;
        ::Sleep(ms);
        if (fineTimer) {
            ::timeEndPeriod(1);
        }
    }

    uint64_t NowMicros() override {
        LARGE_INTEGER frequency;
        LARGE_INTEGER counter;
        ::QueryPerformanceFrequency(&frequency);
        ::QueryPerformanceCounter(&counter);
        const uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
        const uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
        return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
    }
};

} // namespace

Clock& SystemClock() {
    static Win32Clock clock;
    return clock;
}

} // namespace cashdrawer
