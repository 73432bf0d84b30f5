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
#include <span>

namespace cashdrawer {

// Shared between the threads that call the exports and the monitor.
struct SerialDrawerState {
    std::atomic<bool> stopRequested{false};
    // Set once, at the first status report; never cleared.
    std::atomic<bool> statusReceived{false};
    // The state of the latest report: 1 when its sense bit reads 0.
    std::atomic<int32_t> serialDrawerStatus{0};
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

class SerialDrawer {
public:
    SerialDrawer(SerialLink& link, BackgroundThread& thread, Clock& clock) : link_(link), thread_(thread), clock_(clock) {}
    ~SerialDrawer() { StopSerialMonitor(false); }
    SerialDrawer(const SerialDrawer&) = delete;
    SerialDrawer& operator=(const SerialDrawer&) = delete;

    // Opens the port with the settings and starts the monitor, unless it
    // runs already. 0 when the monitor runs, 1 when the port did not open.
    int StartSerialMonitor(const SerialSettings& settings);
    // 1 after the kick; -2 when the port is not open (nothing was sent).
    int KickSerialDrawer(DrawerLetter drawer);
    // The latest reported state; waits 500 ms for a first report. -2 when
    // the port is not open.
    int ReadSerialDrawerStatus();
    // Asks the monitor to stop, waits at most 150 ms for it to leave its
    // loop (not at all when no monitor ran, or when the process is ending
    // and it is gone already), and closes the port.
    void StopSerialMonitor(bool processEnding);

    const SerialDrawerState& State() const { return state_; }

private:
    // One poll of the monitor thread: false once it is asked to stop.
    static bool MonitorStep(void* self);
    void Write(std::span<const uint8_t> bytes);

    SerialLink& link_;
    BackgroundThread& thread_;
    Clock& clock_;
    SerialDrawerState state_;
    StatusReportAssembler assembler_;
};

} // namespace cashdrawer
