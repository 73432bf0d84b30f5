#include "sim/sim_serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace cashdrawer::sim {
namespace {
constexpr uint8_t kStatusRequest[] = {0x1D, 0x61, 0x01};
}

uint64_t SimSerialDevice::NowMicros() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

SimSerialDevice::SimSerialDevice() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        throw std::runtime_error("no pseudo-terminal available");
    }
    slavePath_ = ::ptsname(master_);
    slaveKeeper_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    // Raw from the start: no echo of the device's bytes, no line editing.
    termios line{};
    ::tcgetattr(slaveKeeper_, &line);
    ::cfmakeraw(&line);
    ::tcsetattr(slaveKeeper_, TCSANOW, &line);
    thread_ = std::thread([this] { Serve(); });
}

SimSerialDevice::~SimSerialDevice() {
    stop_ = true;
    thread_.join();
    ::close(slaveKeeper_);
    ::close(master_);
}

void SimSerialDevice::SetReport(Report report) {
    std::lock_guard<std::mutex> lock(mutex_);
    report_ = report;
}

void SimSerialDevice::SetFallsSilent(uint32_t answers, uint32_t silentForMs) {
    std::lock_guard<std::mutex> lock(mutex_);
    limited_ = true;
    answersLeft_ = answers;
    silentForMs_ = silentForMs;
    silentSinceMicros_ = NowMicros();
}

bool SimSerialDevice::TakeAnswer() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!limited_) {
        return true;
    }
    if (answersLeft_ > 0) {
        if (--answersLeft_ == 0) {
            silentSinceMicros_ = NowMicros();
        }
        return true;
    }
    if (silentForMs_ != 0 && NowMicros() - silentSinceMicros_ >= silentForMs_ * 1000ull) {
        limited_ = false; // back for good
        return true;
    }
    return false;
}

std::vector<SimSerialDevice::Received> SimSerialDevice::ReceivedBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void SimSerialDevice::Serve() {
    std::size_t matched = 0; // bytes of a status request seen so far
    uint64_t lastStreamed = NowMicros();
    std::deque<uint64_t> answersDue; // when each accepted request is answered
    while (!stop_) {
        pollfd ready{master_, POLLIN, 0};
        if (::poll(&ready, 1, answersDue.empty() ? 5 : 1) > 0 && (ready.revents & POLLIN) != 0) {
            uint8_t bytes[256];
            const ssize_t count = ::read(master_, bytes, sizeof bytes);
            const uint64_t now = NowMicros();
            bool answer = false;
            for (ssize_t i = 0; i < count; ++i) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    received_.push_back({now, bytes[i]});
                }
                matched = bytes[i] == kStatusRequest[matched] ? matched + 1 : (bytes[i] == kStatusRequest[0] ? 1 : 0);
                if (matched == sizeof kStatusRequest) {
                    matched = 0;
                    answer = true;
                }
            }
            if (answer && TakeAnswer()) {
                answersDue.push_back(now + answerDelayMs_ * 1000ull);
            }
        }
        while (!answersDue.empty() && answersDue.front() <= NowMicros()) {
            answersDue.pop_front();
            WriteReport();
        }
        const uint32_t interval = streamIntervalMs_;
        if (interval != 0 && NowMicros() - lastStreamed >= interval * 1000ull) {
            lastStreamed = NowMicros();
            WriteReport();
        }
    }
}

void SimSerialDevice::WriteReport() {
    Report report;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        report = report_;
    }
    if (::write(master_, report.data(), report.size()) < 0) {
        // The pty went away under us: the test is ending.
    }
}

uint64_t SimSerialDevice::SendReport() {
    WriteReport();
    return NowMicros();
}

} // namespace cashdrawer::sim
