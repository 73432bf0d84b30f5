// How the agent does, in figures (it never passes or fails on them):
//   - events a second the journal takes, each line written and synced;
//   - the agent's CPU while it watches two drawers at 100 ms polls;
//   - the time from a sensor's change to its event in the journal.
// On the simulated library: agent_bench build/native-release/bin/sim/libcashdrawer.so.0 [FOLDER]
#include "watch/agent.h"
#include "journal/journal.h"
#include "app/serve.h"

#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/statfs.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

using namespace cashdrawer::agent;
using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A wait on real time that another thread can end.
class StoppableWait final : public ServeWait {
public:
    Woken Wait(uint32_t ms, std::string&) override {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; }) ? Woken::Stop
                                                                                                 : Woken::TimeUp;
    }
    void Stop() {
        std::lock_guard lock(mutex_);
        stop_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stop_ = false;
};

void JournalThroughput(const std::string& folder) {
    std::filesystem::remove_all(folder);
    Journal::OpenStatus status{};
    std::string error;
    auto journal = Journal::Open(JournalOptions{folder}, status, error);
    if (!journal) {
        std::printf("journal: %s\n", error.c_str());
        return;
    }
    struct statfs fs {};
    ::statfs(folder.c_str(), &fs);
    Event event{kind::kKick};
    event.fields["drawer"] = "RN340_CashA";
    event.fields["by"] = "https://till.example";
    constexpr int kEvents = 2000;
    const auto start = Clock::now();
    for (int i = 0; i < kEvents; ++i) {
        journal->Append(event, 0);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("journal: %d events in %.3f s: %.0f events/s, each written and fdatasync'ed (%s, filesystem 0x%lx)\n",
                kEvents, seconds, kEvents / seconds, folder.c_str(), static_cast<unsigned long>(fs.f_type));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: agent_bench SIM_LIBRARY [JOURNAL_FOLDER]\n");
        return 1;
    }
    const std::string folder = argc > 2 ? argv[2] : (std::filesystem::current_path() / "agent-bench-journal").string();
    JournalThroughput(folder + "/throughput");

    std::string error;
    auto drawers = LoadDrawerLibrary(argv[1], error);
    void* sim = ::dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD);
    auto setPort = sim ? reinterpret_cast<void (*)(unsigned, unsigned, unsigned)>(::dlsym(sim, "CashDrawerSimSetPort")) : nullptr;
    if (!drawers || setPort == nullptr) {
        std::fprintf(stderr, "agent_bench: the simulated library is needed: %s\n", error.c_str());
        return 1;
    }
    setPort(0x53A, 0x04, 1); // RN340 drawer A reads 0
    AgentSettings settings;
    settings.drawers = {{"RN340_CashA", 1}, {"RN2180_CashB", 0}};
    settings.pollMs = 100;
    std::filesystem::remove_all(folder + "/watch");
    Journal::OpenStatus status{};
    auto journal = Journal::Open(JournalOptions{folder + "/watch"}, status, error);
    SystemAgentClock clock;
    Agent agent(settings, *drawers, *journal, clock);
    std::atomic<int64_t> lastEventMicros{0};
    agent.OnEvent([&](const JournalledEvent&) { lastEventMicros = clock.SteadyMicros(); });
    agent.Start();
    StoppableWait wait;
    std::thread loop([&] { ServeLoop(agent, clock, wait, settings.pollMs, [](const std::string&) {}); });

    // Idle: nothing changes for 5 s.
    const double cpuBefore = CpuSeconds();
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double idleWall = std::chrono::duration<double>(Clock::now() - idleStart).count();
    std::printf("idle: %.3f %% of a core watching 2 drawers at 100 ms polls (%.0f ms CPU in %.1f s)\n",
                100.0 * (CpuSeconds() - cpuBefore) / idleWall, 1000.0 * (CpuSeconds() - cpuBefore), idleWall);

    // Sensor to journal: 20 changes at uneven moments within the poll.
    std::vector<double> latencies;
    for (int change = 0; change < 20; ++change) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + 37 * change % 100));
        const int64_t before = lastEventMicros;
        const int64_t changedAt = clock.SteadyMicros();
        setPort(0x53A, change % 2 == 0 ? 0x00 : 0x04, 1);
        while (lastEventMicros == before) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        latencies.push_back((lastEventMicros - changedAt) / 1000.0);
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("sensor to journal: %zu changes, min %.1f ms, median %.1f ms, max %.1f ms (poll 100 ms)\n",
                latencies.size(), latencies.front(), latencies[latencies.size() / 2], latencies.back());
    wait.Stop();
    loop.join();
    agent.Stop("benchmark done");
    return 0;
}
