#include "platform/clock.h"

#include <windows.h>

namespace cashdrawer {
namespace {

class Win32Clock final : public Clock {
public:
    void SleepMs(uint32_t ms) override { ::Sleep(ms); }

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
