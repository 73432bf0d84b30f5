// The serial drawer (model DL470): a drawer device on a COM port, driven by
// printer-style command bytes. Its state arrives as 4-byte status reports
// that a background thread, the status monitor, gathers every 50 ms and
// publishes for GetCashStatus.
#pragma once

#include "config/config_file.h"
#include "hardware/drawer_id.h"
#include "platform/background_thread.h"
#include "platform/clock.h"
#include "serial/serial_link.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

namespace cashdrawer {

// Shared between the threads that call the exports and the monitor.
struct SerialDrawerState {
    // Cleared by every start of the monitor before its thread runs, and
    // read by that thread alone.
    std::atomic<bool> stopRequested;
    // Set once, at the first status report; never cleared.
    std::atomic<bool> statusReceived{false};
    // The state of the latest report: 1 when its sense bit reads 0.
    std::atomic<int32_t> serialDrawerStatus{0};
    // How many reports have been published: the device has answered a
    // request once this has moved since the request was sent.
    std::atomic<uint64_t> reportsPublished{0};
    // How many bursts have begun and ended, whatever their shape: a burst
    // that begins after a request and has ended is the request's answer,
    // even when it is no report (two answers run together, a garbled one).
    std::atomic<uint64_t> burstsBegun{0};
    std::atomic<uint64_t> burstsEnded{0};
    // Raised at each report, for a caller waiting for the first one.
    Clock::Alarm* reportArrived = nullptr;
};

// Gathers the bytes of one burst - consecutive polls that each delivered
// data, ended by a poll that delivers none - and publishes the burst when
// it is a status report. Called once per poll by the monitor thread, or
// directly by a test.
class StatusReportAssembler {
public:
    static constexpr std::size_t kCapacity = 2048;

    void Poll(SerialLink& link, SerialDrawerState& state);

private:
    void EndBurst(SerialDrawerState& state);

    std::array<uint8_t, kCapacity> burst_{};
    std::size_t fill_ = 0;
    bool overflowed_ = false; // the burst outgrew the buffer and is dropped whole
};

// What the monitor thread touches, owned jointly by the drawer and the
// thread: a monitor that misses its stop deadline keeps it alive, and the
// last owner closes the port.
struct SerialMonitorShare {
    SerialMonitorShare(std::shared_ptr<SerialLink> serialLink, Clock& monitorClock)
        : link(std::move(serialLink)), clock(monitorClock), reportArrived(clock.MakeAlarm()) {
        state.reportArrived = reportArrived.get();
    }
    ~SerialMonitorShare() { link->Close(); }

    std::shared_ptr<SerialLink> link;
    Clock& clock; // process-wide: outlives every thread
    std::unique_ptr<Clock::Alarm> reportArrived;
    SerialDrawerState state;
    StatusReportAssembler assembler;
};

class SerialDrawer {
public:
    SerialDrawer(std::shared_ptr<SerialLink> link, BackgroundThread& thread, Clock& clock)
        : share_(std::make_shared<SerialMonitorShare>(std::move(link), clock)), thread_(thread), clock_(clock) {}
    ~SerialDrawer() { StopSerialMonitor(false); }
    SerialDrawer(const SerialDrawer&) = delete;
    SerialDrawer& operator=(const SerialDrawer&) = delete;

    // Opens the port with the settings and starts the monitor, unless it
    // runs already. Ok when the monitor runs; otherwise why it does not:
    // the port's open result (the port may stay open, see SerialLink),
    // ThreadFailed, or MonitorLate.
    Result StartSerialMonitor(const SerialSettings& settings);
    // Ok after the kick; NotOpen when the port is not open (nothing was
    // sent), WriteFailed when the kick command could not be written,
    // MonitorLate after a late stop.
    Result KickSerialDrawer(DrawerLetter drawer);
    // The latest reported state; waits for a first report, at most 500 ms
    // (as long as the device takes to answer). Otherwise why there is no
    // state: NotOpen, WriteFailed (the request), NoReport (none has ever
    // arrived), DeviceSilent (a request sent more than 500 ms ago has had
    // no report after it), MonitorLate.
    Result ReadSerialDrawerStatus();
    // Asks the monitor to stop, waits at most 150 ms for it to leave its
    // loop (not at all when no monitor ran, or when the process is ending
    // and it is gone already), and closes the port - or, when the monitor
    // is late, leaves the port to it: it closes it as it leaves.
    void StopSerialMonitor(bool processEnding);

    const SerialDrawerState& State() const { return share_->state; }
    // How long the oldest unanswered status request has waited; 0 when
    // every request has had its report.
    uint64_t SilentForMs() const;

private:
    // One poll of the monitor thread: false once it is asked to stop.
    static bool MonitorStep(SerialMonitorShare& share);
    Result Write(std::span<const uint8_t> bytes);
    // Sends 1D 61 01 and notes when the oldest unanswered request went out;
    // sends nothing while the answer to the newest request is still on its
    // way.
    Result SendStatusRequest();
    bool AnswerOnItsWay() const;
    bool DeviceFellSilent() const;

    std::shared_ptr<SerialMonitorShare> share_;
    BackgroundThread& thread_;
    Clock& clock_;
    // The oldest status request that no report has followed yet, and the
    // report count when it was sent. Touched by the calling threads only.
    bool requestUnanswered_ = false;
    uint64_t unansweredSinceMicros_ = 0;
    uint64_t reportsAtRequest_ = 0;
    // When the newest status request went out, and how many bursts had
    // begun by then: any burst after that one, once ended, answers it.
    bool requestSent_ = false;
    uint64_t lastRequestMicros_ = 0;
    uint64_t burstsBegunAtRequest_ = 0;
    // The monitor missed its stop deadline and owns the port until it
    // leaves: the drawer keeps its hands off.
    bool monitorLate_ = false;
};

} // namespace cashdrawer
