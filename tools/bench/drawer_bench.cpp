// Prints, for every drawer the library drives and for each export, the wall
// time of one call on the simulated terminal against the sum of the pauses
// its sequence must make, and the time of the same call with the pauses
// taken off (on a virtual clock): the library's own cost.
//
//   drawer_bench [--quick]     --quick skips the real-time runs
#include "interface/catalogue.h"
#include "interface/drawer_library.h"
#include "platform/clock.h"
#include "sim/sim_terminal.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#ifdef _WIN32
#include <windows.h>
#endif

using namespace cashdrawer;

namespace {

// CPU time this thread has used, in microseconds: what a pause's spin
// costs shows here, a sleep does not.
double ThreadCpuMicros() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    ::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user);
    const auto micros = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10.0;
    };
    return micros(kernel) + micros(user);
#else
    timespec cpu{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    return static_cast<double>(cpu.tv_sec) * 1e6 + static_cast<double>(cpu.tv_nsec) / 1e3;
#endif
}

// The real clock, also adding up what the sequence asked to sleep, how
// late each pause ended, and the CPU time the pauses used.
class PauseCountingClock final : public Clock {
public:
    explicit PauseCountingClock(sim::AccessLog&) {}
    void SleepMs(uint32_t ms) override {
        const double cpuBefore = ThreadCpuMicros();
        const uint64_t before = SystemClock().NowMicros();
        SystemClock().SleepMs(ms);
        const double late = static_cast<double>(SystemClock().NowMicros() - before) - ms * 1000.0;
        pauseCpuMicros += ThreadCpuMicros() - cpuBefore;
        worstLateMicros = std::max(worstLateMicros, late);
        pausedMs += ms;
        ++pauses;
    }
    void Reset() {
        pausedMs = 0;
        pauses = 0;
        worstLateMicros = 0;
        pauseCpuMicros = 0;
    }
    uint64_t NowMicros() override { return SystemClock().NowMicros(); }
    std::unique_ptr<Alarm> MakeAlarm() override { return SystemClock().MakeAlarm(); }
    bool WaitMs(Alarm& alarm, uint32_t ms) override { return SystemClock().WaitMs(alarm, ms); }
    uint64_t pausedMs = 0;
    int pauses = 0;
    double worstLateMicros = 0;
    double pauseCpuMicros = 0;
};

using Steady = std::chrono::steady_clock;

double MicrosSince(Steady::time_point start) {
    return std::chrono::duration<double, std::micro>(Steady::now() - start).count();
}

template <typename ClockType>
using Terminal = sim::BasicSimTerminal<ClockType>;

int CallExport(DrawerLibrary& library, bool kick, const char* drawerId) {
    return kick ? library.OpenCash(drawerId) : library.GetCashStatus(drawerId);
}

void RealTimeRow(bool kick, const char* drawerId) {
    Terminal<PauseCountingClock> terminal;
    PauseCountingClock& clock = terminal.clock;
    CallExport(terminal.library, kick, drawerId); // the first call writes the one-time set-ups
    clock.Reset();
    const auto start = Steady::now();
    CallExport(terminal.library, kick, drawerId);
    const double wallMs = MicrosSince(start) / 1000.0;
    const double ratio = clock.pausedMs == 0 ? 0.0 : wallMs / static_cast<double>(clock.pausedMs);
    std::printf("  %-14s %-13s pauses %5llu ms  wall %9.3f ms  over %+7.3f ms  ratio %.4f  worst pause %+6.1f us"
                "  CPU %5.1f us/pause\n",
                drawerId, kick ? "OpenCash" : "GetCashStatus", static_cast<unsigned long long>(clock.pausedMs), wallMs,
                wallMs - static_cast<double>(clock.pausedMs), ratio, clock.worstLateMicros,
                clock.pauses == 0 ? 0.0 : clock.pauseCpuMicros / clock.pauses);
}

void OwnTimeRow(bool kick, const char* drawerId) {
    constexpr int kCalls = 20000;
    Terminal<sim::VirtualClock> terminal;
    CallExport(terminal.library, kick, drawerId);
    const auto start = Steady::now();
    for (int i = 0; i < kCalls; ++i) {
        CallExport(terminal.library, kick, drawerId);
        terminal.log.Clear();
    }
    std::printf("  %-14s %-13s %8.3f us per call\n", drawerId, kick ? "OpenCash" : "GetCashStatus",
                MicrosSince(start) / kCalls);
}

bool Driven(const CatalogueRow& row) { return row.method != &kSerialDrawer; }

// Each export a row has a sequence for.
template <typename Measure>
void ForEachDrivenCall(Measure measure) {
    for (const CatalogueRow& row : Catalogue()) {
        if (!Driven(row)) {
            continue;
        }
        if (row.Kicks()) {
            measure(true, row.drawerId);
        }
        if (row.ReadsStatus()) {
            measure(false, row.drawerId);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    std::printf("Own time per call (pauses on a virtual clock; includes the simulated port space's logging):\n");
    ForEachDrivenCall(OwnTimeRow);
    OwnTimeRow(false, "NoSuchDrawer");
    if (quick) {
        return 0;
    }
    // What one pause overshoots here: the floor under every figure below.
    constexpr int kSleeps = 50;
    sim::AccessLog probeLog;
    PauseCountingClock probe{probeLog};
    const auto sleepStart = Steady::now();
    for (int i = 0; i < kSleeps; ++i) {
        probe.SleepMs(10);
    }
    std::printf("\nA 10 ms pause here: %.1f us late on average, %.1f us at worst, %.1f us of CPU (%d pauses).\n",
                MicrosSince(sleepStart) / kSleeps - 10000.0, probe.worstLateMicros, probe.pauseCpuMicros / kSleeps,
                kSleeps);
    std::printf("\nWall time against the pause sum (real sleeps):\n");
    ForEachDrivenCall(RealTimeRow);
    return 0;
}
