// A simulated serial drawer device for the Windows tests under Wine: it
// opens a pseudo-terminal, links a Wine COM port name to it, answers status
// requests, and logs every byte it receives.
//
//   serial_device_sim --link PATH --log FILE [--report HEX8] [--stream MS]
//                     [--answers N [--silent-for MS]] [--answer-delay MS]
//
// PATH is created as a symbolic link to the pty (e.g. $WINEPREFIX/dosdevices/com12)
// and removed on exit. Each line of FILE is "<microseconds> <byte in hex>",
// microseconds on this machine's monotonic clock. Runs until SIGTERM or SIGINT.
#include "sim/sim_serial_device.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void RequestStop(int) { stopRequested = 1; }

bool ParseReport(const char* hex, cashdrawer::sim::SimSerialDevice::Report& report) {
    if (std::strlen(hex) != 8) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        const std::string pair(hex + 2 * i, 2);
        report[static_cast<size_t>(i)] = static_cast<uint8_t>(std::strtoul(pair.c_str(), nullptr, 16));
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::string linkPath;
    std::string logPath;
    cashdrawer::sim::SimSerialDevice::Report report{0x10, 0, 0, 0};
    unsigned streamMs = 0;
    long answers = -1;
    unsigned silentForMs = 0;
    unsigned answerDelayMs = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--link") {
            linkPath = argv[i + 1];
        } else if (option == "--log") {
            logPath = argv[i + 1];
        } else if (option == "--report" && ParseReport(argv[i + 1], report)) {
        } else if (option == "--answers") {
            answers = std::strtol(argv[i + 1], nullptr, 10);
        } else if (option == "--silent-for") {
            silentForMs = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (option == "--answer-delay") {
            answerDelayMs = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (option == "--stream") {
            streamMs = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        } else {
            std::fprintf(stderr, "unknown or bad option %s\n", option.c_str());
            return 1;
        }
    }
    if (linkPath.empty() || logPath.empty()) {
        std::fprintf(stderr, "usage: %s --link PATH --log FILE [--report HEX8] [--stream MS] [--answers N [--silent-for MS]] [--answer-delay MS]\n", argv[0]);
        return 1;
    }

    cashdrawer::sim::SimSerialDevice device;
    device.SetReport(report);
    device.SetStreaming(streamMs);
    device.SetAnswerDelay(answerDelayMs);
    if (answers >= 0) {
        device.SetFallsSilent(static_cast<uint32_t>(answers), silentForMs);
    }
    ::unlink(linkPath.c_str());
    if (::symlink(device.SlavePath().c_str(), linkPath.c_str()) != 0) {
        std::perror("symlink");
        return 1;
    }
    std::signal(SIGTERM, RequestStop);
    std::signal(SIGINT, RequestStop);

    size_t logged = 0;
    std::FILE* log = std::fopen(logPath.c_str(), "w");
    while (stopRequested == 0 && log != nullptr) {
        const auto received = device.ReceivedBytes();
        for (; logged < received.size(); ++logged) {
            std::fprintf(log, "%llu %02X\n", static_cast<unsigned long long>(received[logged].timeMicros),
                         received[logged].byte);
        }
        std::fflush(log);
        ::usleep(2000);
    }
    if (log != nullptr) {
        std::fclose(log);
    }
    ::unlink(linkPath.c_str());
    return 0;
}
