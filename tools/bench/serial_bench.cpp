// Figures for the serial drawer on this platform, with the termios link on
// a pseudo-terminal and a simulated drawer device:
//   - the kick and status roads against the pauses they must make;
//   - the time from a report's last byte to the published state;
//   - the status read every 10, 20, 50 and 100 ms against a device that
//     takes 70 ms to answer: how many reads give the device's state;
//   - the monitor thread's CPU while idle.
//
//   serial_bench [--idle-seconds N]      default 60
#include "platform/background_thread_posix.h"
#include "serial/serial_drawer.h"
#include "serial/serial_link_posix.h"
#include "sim/sim_serial_device.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

using namespace cashdrawer;

namespace {

double NowMs() { return static_cast<double>(sim::SimSerialDevice::NowMicros()) / 1000.0; }

double ProcessCpuSeconds() {
    timespec cpu{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    return static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
}

// CPU the process uses over `seconds` with or without a monitor running.
double CpuShareWhileIdle(sim::SimSerialDevice& device, bool withMonitor, int seconds) {
    auto link = std::make_shared<PosixSerialLink>(device.SlavePath());
    PosixBackgroundThread thread;
    SerialDrawer drawer(link, thread, SystemClock());
    if (withMonitor) {
        static_cast<void>(drawer.StartSerialMonitor(SerialSettings{.ComNuM = 1, .Baudint = 9600}));
    }
    const double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return (ProcessCpuSeconds() - before) / seconds * 100.0;
}

} // namespace

int main(int argc, char** argv) {
    int idleSeconds = 60;
    if (argc > 2 && std::strcmp(argv[1], "--idle-seconds") == 0) {
        idleSeconds = std::max(1, std::atoi(argv[2]));
    }
    sim::SimSerialDevice device;

    {
        auto link = std::make_shared<PosixSerialLink>(device.SlavePath());
        PosixBackgroundThread thread;
        SerialDrawer drawer(link, thread, SystemClock());
        static_cast<void>(drawer.StartSerialMonitor(SerialSettings{.ComNuM = 1, .Baudint = 9600}));

        std::printf("Roads (wall time against the pauses they must make):\n");
        double start = NowMs();
        static_cast<void>(drawer.ReadSerialDrawerStatus());
        const double firstStatusEnd = NowMs();
        // The device answers the moment the request's last byte reaches it.
        const auto received = device.ReceivedBytes();
        const double answeredAt = received.empty() ? start : static_cast<double>(received.back().timeMicros) / 1000.0;
        std::printf("  first status          waits <= 500 ms  wall %8.3f ms: device answered at +%.3f ms, "
                    "status returned %.3f ms after\n",
                    firstStatusEnd - start, answeredAt - start, firstStatusEnd - answeredAt);
        start = NowMs();
        static_cast<void>(drawer.ReadSerialDrawerStatus());
        std::printf("  later status          pauses   0 ms  wall %8.3f ms\n", NowMs() - start);
        for (DrawerLetter letter : {DrawerLetter::A, DrawerLetter::B}) {
            start = NowMs();
            static_cast<void>(drawer.KickSerialDrawer(letter));
            std::printf("  kick drawer %c         pauses 200 ms  wall %8.3f ms\n", letter == DrawerLetter::A ? 'A' : 'B',
                        NowMs() - start);
        }

        std::printf("\nReport's last byte to published state (20 reports):\n");
        std::vector<double> latencies;
        for (int i = 0; i < 20; ++i) {
            const int32_t next = i % 2 == 0 ? 0 : 1; // alternate so each report changes the state
            device.SetReport({static_cast<uint8_t>(next == 0 ? 0x14 : 0x10), 0, 0, 0});
            std::this_thread::sleep_for(std::chrono::milliseconds(120)); // a quiet line between bursts
            const double sent = static_cast<double>(device.SendReport()) / 1000.0;
            while (drawer.State().serialDrawerStatus != next) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            latencies.push_back(NowMs() - sent);
        }
        std::sort(latencies.begin(), latencies.end());
        double sum = 0;
        for (double latency : latencies) {
            sum += latency;
        }
        std::printf("  min %.1f ms  median %.1f ms  mean %.1f ms  max %.1f ms\n", latencies.front(),
                    latencies[latencies.size() / 2], sum / static_cast<double>(latencies.size()), latencies.back());
        drawer.StopSerialMonitor(false);
    }

    std::printf("\nStatus read every N ms, device answering in 70 ms (3 s each):\n");
    device.SetAnswerDelay(70);
    device.SetReport({0x10, 0, 0, 0});
    for (const int intervalMs : {10, 20, 50, 100}) {
        auto link = std::make_shared<PosixSerialLink>(device.SlavePath());
        PosixBackgroundThread thread;
        SerialDrawer drawer(link, thread, SystemClock());
        static_cast<void>(drawer.StartSerialMonitor(SerialSettings{.ComNuM = 1, .Baudint = 9600}));
        int reads = 0, afterFirstReport = 0, trueState = 0, unreachable = 0;
        const double end = NowMs() + 3000;
        while (NowMs() < end) {
            const bool reportedBefore = drawer.State().statusReceived;
            const Result read = drawer.ReadSerialDrawerStatus();
            ++reads;
            if (reportedBefore) {
                ++afterFirstReport;
                trueState += read == Result::StateBit1 ? 1 : 0;
                unreachable += read == Result::StateBit1 || read == Result::StateBit0 ? 0 : 1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
        }
        std::printf("  every %3d ms: %4d reads, %4d after the first report: %4d the true state (%.1f %%), %d -2\n",
                    intervalMs, reads, afterFirstReport, trueState,
                    afterFirstReport == 0 ? 0.0 : 100.0 * trueState / afterFirstReport, unreachable);
        drawer.StopSerialMonitor(false);
    }
    device.SetAnswerDelay(0);

    std::printf("\nIdle CPU over %d s each (device polling included in both):\n", idleSeconds);
    const double baseline = CpuShareWhileIdle(device, false, idleSeconds);
    const double monitored = CpuShareWhileIdle(device, true, idleSeconds);
    std::printf("  without monitor %.4f %% of a core, with monitor %.4f %%: monitor %.4f %%\n", baseline, monitored,
                monitored - baseline);
    return 0;
}
