// A serial drawer device on the master side of a pseudo-terminal: the link
// under test opens the slave side as its COM port. The device answers each
// status request (1D 61 01) with its 4-byte report, may stream reports
// unasked, and records every byte it receives with the time it came.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <deque>
#include <thread>
#include <vector>

namespace cashdrawer::sim {

class SimSerialDevice {
public:
    using Report = std::array<uint8_t, 4>;
    struct Received {
        uint64_t timeMicros; // steady clock
        uint8_t byte;
    };

    // Opens the pty and starts answering; throws std::runtime_error when no
    // pty can be had.
    SimSerialDevice();
    ~SimSerialDevice();
    SimSerialDevice(const SimSerialDevice&) = delete;
    SimSerialDevice& operator=(const SimSerialDevice&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    void SetReport(Report report);
    // Sends a report every `intervalMs` unasked; 0 stops.
    void SetStreaming(uint32_t intervalMs) { streamIntervalMs_ = intervalMs; }
    // Answers only the first `answers` requests, then falls silent; after
    // `silentForMs` of silence (0: for ever) it answers every request again.
    void SetFallsSilent(uint32_t answers, uint32_t silentForMs);
    // Answers each request `ms` after it came (0: at once), as a real
    // device's firmware takes its time.
    void SetAnswerDelay(uint32_t ms) { answerDelayMs_ = ms; }
    std::vector<Received> ReceivedBytes() const;
    // Sends the report now, unasked; returns the time its last byte went out.
    uint64_t SendReport();

    static uint64_t NowMicros();

private:
    void Serve();
    // Whether this request is answered, under the falls-silent script.
    bool TakeAnswer();
    void WriteReport();

    int master_ = -1;
    int slaveKeeper_ = -1; // keeps the slave side alive while the link is closed
    std::string slavePath_;
    std::atomic<bool> stop_{false};
    std::atomic<uint32_t> streamIntervalMs_{0};
    std::atomic<uint32_t> answerDelayMs_{0};
    mutable std::mutex mutex_;
    Report report_{0x10, 0x00, 0x00, 0x00};
    bool limited_ = false;
    uint32_t answersLeft_ = 0;
    uint32_t silentForMs_ = 0;
    uint64_t silentSinceMicros_ = 0;
    std::vector<Received> received_;
    std::thread thread_;
};

} // namespace cashdrawer::sim
