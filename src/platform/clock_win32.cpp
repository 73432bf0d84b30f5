#include "platform/clock.h"
#include "platform/deadline_pause.h"

#include <windows.h>

namespace cashdrawer {
namespace {

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

constexpr LONGLONG kHundredNanosPerMicro = 10;
// How long past its due time a waitable timer is waited for at most.
constexpr DWORD kTimerGraceMs = 50;

// The bounds of the margin before a pause's deadline where the coarse
// sleep ends and the spin on the performance counter takes over; within
// them the margin follows how late the sleeps wake (see SleepMargin).
//
// The system timer ticks every 15.6 ms by default, which would stretch a
// 10 ms step of a drawer sequence to the next tick. A high-resolution
// waitable timer (Windows 10 1803 and later) is not bound to the tick: by
// its published behaviour it wakes within about half a millisecond of its
// due time, without raising the timer resolution of the whole system, so
// the margin settles at a few hundred microseconds there. Under Wine its
// wake-up is only as fine as the wine server's millisecond time-outs: 0.2
// to 1 ms late, and the margin grows to match.
constexpr uint64_t kHighResolutionMarginFloorMicros = 100;
constexpr uint64_t kHighResolutionMarginCeilingMicros = 2000;
// Older Windows refuse the flag: Sleep with 1 ms timer ticks wakes up to a
// tick and a bit late.
constexpr uint64_t kTickMarginFloorMicros = 1000;
constexpr uint64_t kTickMarginCeilingMicros = 3000;

uint64_t PerformanceCounterMicros() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    const uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
    const uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
}

// The coarse half of one pause. Its timer is made for the pause and closed
// before the spin: one shared timer could not serve two threads pausing at
// once (the monitor and a caller), and nothing of a pause outlives its
// call, whenever the library is unloaded. Making and closing it falls
// inside the margin, not after the deadline.
class Win32PauseParts final : public PauseParts {
public:
    Win32PauseParts()
        : timer_(::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS)) {}
    ~Win32PauseParts() override { CoarseDone(); }
    void CoarseDone() override {
        if (timer_ != nullptr) {
            ::CloseHandle(timer_);
            timer_ = nullptr;
        }
        if (winmm_ != nullptr) {
            if (fineTicks_) {
                endPeriod_(1);
            }
            ::FreeLibrary(winmm_);
            winmm_ = nullptr;
            fineTicks_ = false;
        }
    }
    Win32PauseParts(const Win32PauseParts&) = delete;
    Win32PauseParts& operator=(const Win32PauseParts&) = delete;

    bool HighResolution() const { return timer_ != nullptr; }

    uint64_t NowMicros() override { return PerformanceCounterMicros(); }

    void CoarseSleepMicros(uint64_t micros) override {
        if (timer_ != nullptr) {
            LARGE_INTEGER due;
            due.QuadPart = -static_cast<LONGLONG>(micros) * kHundredNanosPerMicro; // relative
            // A timer that never signals must not hold the pause for ever:
            // the wait gives up a while after the timer's due time, and
            // the pause looks at the clock again.
            const DWORD bound = static_cast<DWORD>(micros / 1000u) + kTimerGraceMs;
            if (::SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE) &&
                ::WaitForSingleObject(timer_, bound) != WAIT_FAILED) {
                return;
            }
        }
        StartFineTicks();
        ::Sleep(static_cast<DWORD>(micros / 1000u));
    }

    void Relax() override { YieldProcessor(); }

private:
    using PeriodFn = UINT(WINAPI*)(UINT);

    // 1 ms timer ticks for the rest of the pause (timeBeginPeriod), with
    // winmm.dll loaded from System32 for the pause only: importing it would
    // load and unload it with us, and some of its versions keep handles
    // each time.
    void StartFineTicks() {
        if (winmm_ != nullptr) {
            return;
        }
        winmm_ = ::LoadLibraryExW(L"winmm.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (winmm_ == nullptr) {
            return;
        }
        const auto begin = reinterpret_cast<PeriodFn>(reinterpret_cast<void*>(::GetProcAddress(winmm_, "timeBeginPeriod")));
        endPeriod_ = reinterpret_cast<PeriodFn>(reinterpret_cast<void*>(::GetProcAddress(winmm_, "timeEndPeriod")));
        fineTicks_ = begin != nullptr && endPeriod_ != nullptr && begin(1) == 0; // TIMERR_NOERROR
    }

    HANDLE timer_;
    HMODULE winmm_ = nullptr;
    PeriodFn endPeriod_ = nullptr;
    bool fineTicks_ = false;
};

class Win32Alarm final : public Clock::Alarm {
public:
    Win32Alarm() : event_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Win32Alarm() override {
        if (event_ != nullptr) {
            ::CloseHandle(event_);
        }
    }
    Win32Alarm(const Win32Alarm&) = delete;
    Win32Alarm& operator=(const Win32Alarm&) = delete;

    void Raise() override { ::SetEvent(event_); }
    bool WaitMs(uint32_t ms) {
        if (event_ == nullptr) { // no event to be had: wait out the time, then look
            ::Sleep(ms);
            return false;
        }
        return ::WaitForSingleObject(event_, ms) == WAIT_OBJECT_0;
    }

private:
    HANDLE event_;
};

class Win32Clock final : public Clock {
public:
    void SleepMs(uint32_t ms) override {
        Win32PauseParts parts; // made before the deadline is set: not part of the pause
        SleepMargin& margin = parts.HighResolution() ? highResolutionMargin_ : tickMargin_;
        margin.Learn(PauseUntilDeadline(parts, uint64_t{ms} * 1000u, margin.Micros()));
    }

    std::unique_ptr<Alarm> MakeAlarm() override { return std::make_unique<Win32Alarm>(); }
    bool WaitMs(Alarm& alarm, uint32_t ms) override { return static_cast<Win32Alarm&>(alarm).WaitMs(ms); }


    uint64_t NowMicros() override { return PerformanceCounterMicros(); }

private:
    SleepMargin highResolutionMargin_{kHighResolutionMarginFloorMicros, kHighResolutionMarginCeilingMicros};
    SleepMargin tickMargin_{kTickMarginFloorMicros, kTickMarginCeilingMicros};
};

// At namespace scope, not a function's static: the guard of a function's
// static takes a semaphore from the C++ runtime that is never given back,
// one more handle each time the DLL is loaded.
Win32Clock systemClock;

} // namespace

Clock& SystemClock() { return systemClock; }

} // namespace cashdrawer
