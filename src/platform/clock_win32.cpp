#include "platform/clock.h"

#include <windows.h>

namespace cashdrawer {
namespace {

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

constexpr LONGLONG kHundredNanosPerMs = 10000;

// The system timer ticks every 15.6 ms by default, which would stretch a
// 10 ms step of a drawer sequence to the next tick.
//
// Windows 10 1803 and later: a high-resolution waitable timer wakes within
// about half a millisecond of its due time, without changing the timer
// resolution of the whole system. Older Windows refuse the flag: there,
// 1 ms timer ticks for the length of the pause (timeBeginPeriod), with
// winmm.dll loaded from System32 for the pause only - importing it would
// load and unload it with us, and some of its versions keep handles each
// time.
//
// The timer is made for each pause and closed after it: a pause costs a
// few microseconds more, and nothing of it outlives the call, whichever
// thread sleeps and whenever the library is unloaded.
bool SleepOnHighResolutionTimer(uint32_t ms) {
    HANDLE timer = ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (timer == nullptr) {
        return false;
    }
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(ms) * kHundredNanosPerMs; // relative
    const bool slept = ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
                       ::WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0;
    ::CloseHandle(timer);
    return slept;
}

void SleepWithFineTicks(uint32_t ms) {
    using PeriodFn = UINT(WINAPI*)(UINT);
    HMODULE winmm = ::LoadLibraryExW(L"winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const auto begin = winmm ? reinterpret_cast<PeriodFn>(reinterpret_cast<void*>(::GetProcAddress(winmm, "timeBeginPeriod"))) : nullptr;
    const auto end = winmm ? reinterpret_cast<PeriodFn>(reinterpret_cast<void*>(::GetProcAddress(winmm, "timeEndPeriod"))) : nullptr;
    const bool fineTicks = begin != nullptr && end != nullptr && begin(1) == 0; // TIMERR_NOERROR
    ::Sleep(ms);
    if (fineTicks) {
        end(1);
    }
    if (winmm != nullptr) {
        ::FreeLibrary(winmm);
    }
}

class Win32Clock final : public Clock {
public:
    void SleepMs(uint32_t ms) override {
        if (!SleepOnHighResolutionTimer(ms)) {
            SleepWithFineTicks(ms);
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

// At namespace scope, not a function's static: the guard of a function's
// static takes a semaphore from the C++ runtime that is never given back,
// one more handle each time the DLL is loaded.
Win32Clock systemClock;

} // namespace

Clock& SystemClock() { return systemClock; }

} // namespace cashdrawer
