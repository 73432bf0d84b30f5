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

#include <chrono>
#include <cstdio>
#include <cstring>

using namespace cashdrawer;

namespace {

// The real clock, also adding up what the sequence asked to sleep.
class PauseCountingClock final : public Clock {
public:
    explicit PauseCountingClock(sim::AccessLog&) {}
    void SleepMs(uint32_t ms) override {
        pausedMs += ms;
        SystemClock().SleepMs(ms);
    }
    uint64_t NowMicros() override { return SystemClock().NowMicros(); }
    std::unique_ptr<Alarm> MakeAlarm() override { return SystemClock().MakeAlarm(); }
    bool WaitMs(Alarm& alarm, uint32_t ms) override { return SystemClock().WaitMs(alarm, ms); }
    uint64_t pausedMs = 0;
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
    clock.pausedMs = 0;
    const auto start = Steady::now();
    CallExport(terminal.library, kick, drawerId);
    const double wallMs = MicrosSince(start) / 1000.0;
    const double over = clock.pausedMs == 0 ? 0.0 : 100.0 * (wallMs - clock.pausedMs) / clock.pausedMs;
    std::printf("  %-14s %-13s pauses %5llu ms  wall %9.3f ms  over %+7.3f ms (%+.3f %%)\n", drawerId,
                kick ? "OpenCash" : "GetCashStatus", static_cast<unsigned long long>(clock.pausedMs), wallMs,
                wallMs - static_cast<double>(clock.pausedMs), over);
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

bool Driven(const CatalogueRow& row) { return row.method != DrawerMethod::Serial; }

// Each export a row has a sequence for.
template <typename Measure>
void ForEachDrivenCall(Measure measure) {
    for (const CatalogueRow& row : Catalogue()) {
        if (!Driven(row)) {
            continue;
        }
        if (row.kick.kind != KickKind::None) {
            measure(true, row.drawerId);
        }
        if (row.status.kind != StatusKind::NotRecognised) {
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
    // What one bare sleep overshoots here: the floor under every figure below.
    constexpr int kSleeps = 20;
    const auto sleepStart = Steady::now();
    for (int i = 0; i < kSleeps; ++i) {
        SystemClock().SleepMs(10);
    }
    std::printf("\nThis machine's sleep overshoots by %.1f us per 10 ms sleep, on average.\n",
                MicrosSince(sleepStart) / kSleeps - 10000.0);
    std::printf("\nWall time against the pause sum (real sleeps):\n");
    ForEachDrivenCall(RealTimeRow);
    return 0;
}
