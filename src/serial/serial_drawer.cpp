#include "serial/serial_drawer.h"

#include "cash_drawer.h"

#include <algorithm>
#include <cstring>

namespace cashdrawer {
namespace {

// Commands in the printer-command form the device understands.
constexpr uint8_t kStatusRequest[] = {0x1D, 0x61, 0x01}; // GS a 1: report the drawer status
constexpr uint8_t kKickCommand = 0x1B, kKickCode = 0x70; // ESC p m t1 t2: pulse drawer pin m
constexpr uint8_t kDrawerPinA = 0x30, kDrawerPinB = 0x31;
constexpr uint8_t kPulseOnTime = 0x30, kPulseOffTime = 0x30;

constexpr uint32_t kBetweenCommandsMs = 50;
constexpr uint32_t kAfterKickMs = 150;
constexpr uint32_t kFirstReportWaitMs = 500;
constexpr uint32_t kPollIntervalMs = 50;
constexpr uint32_t kStopWaitMs = 150;

// A status report is exactly 4 bytes; byte 0 carries the marker and the
// drawer's sense bit.
constexpr std::size_t kReportLength = 4;
constexpr uint8_t kReportMarker = 0x10;
constexpr uint8_t kSenseBit = 0x04;

constexpr uint8_t kByteSize8 = 8;

} // namespace

void StatusReportAssembler::Poll(SerialLink& link, SerialDrawerState& state) {
    uint8_t received[kSerialReadMax] = {};
    const int count = link.ReadInput(received);
    if (count <= 0) {
        EndBurst(state);
        return;
    }
    const std::size_t bytes = static_cast<std::size_t>(std::min(count, kSerialReadMax));
    if (overflowed_ || fill_ + bytes > burst_.size()) {
        overflowed_ = true;
        return;
    }
    std::memcpy(burst_.data() + fill_, received, bytes);
    fill_ += bytes;
}

void StatusReportAssembler::EndBurst(SerialDrawerState& state) {
    if (fill_ == kReportLength && !overflowed_ && (burst_[0] & kReportMarker) != 0) {
        // The state first, then the flag a reader looks at before it.
        state.serialDrawerStatus.store((burst_[0] & kSenseBit) == 0 ? 1 : 0);
        state.statusReceived.store(true);
    }
    burst_.fill(0);
    fill_ = 0;
    overflowed_ = false;
}

int SerialDrawer::StartSerialMonitor(const SerialSettings& settings) {
    if (thread_.Started()) {
        return 0;
    }
    if (link_.Open(settings.ComNuM, settings.Baudint, kParityNone, kByteSize8, kOneStopBit) != kSerialOk) {
        return 1;
    }
    state_.stopRequested = false;
    // A thread that cannot be made leaves the monitor stopped; the next
    // serial call opens the port again and retries.
    thread_.Start(&SerialDrawer::MonitorStep, this);
    return 0;
}

bool SerialDrawer::MonitorStep(void* self) {
    auto* drawer = static_cast<SerialDrawer*>(self);
    if (drawer->state_.stopRequested) {
        return false;
    }
    drawer->assembler_.Poll(drawer->link_, drawer->state_);
    drawer->clock_.SleepMs(kPollIntervalMs);
    return true;
}

void SerialDrawer::Write(std::span<const uint8_t> bytes) {
    link_.Write(bytes.data(), static_cast<int>(bytes.size()));
}

int SerialDrawer::KickSerialDrawer(DrawerLetter drawer) {
    if (!link_.IsOpen()) {
        return CASH_DRAWER_UNREACHABLE;
    }
    Write(kStatusRequest);
    clock_.SleepMs(kBetweenCommandsMs);
    const uint8_t kick[] = {kKickCommand, kKickCode, drawer == DrawerLetter::A ? kDrawerPinA : kDrawerPinB, kPulseOnTime,
                            kPulseOffTime};
    Write(kick);
    clock_.SleepMs(kAfterKickMs);
    return CASH_DRAWER_KICKED;
}

int SerialDrawer::ReadSerialDrawerStatus() {
    if (!link_.IsOpen()) {
        return CASH_DRAWER_UNREACHABLE;
    }
    Write(kStatusRequest);
    // Until a first report has come, give the device time to answer this
    // request; after that, the latest report answers at once and the reply
    // to this request is seen by the next call.
    if (!state_.statusReceived) {
        clock_.SleepMs(kFirstReportWaitMs);
    }
    return state_.serialDrawerStatus;
}

void SerialDrawer::StopSerialMonitor(bool processEnding) {
    state_.stopRequested = true;
    if (thread_.Started() && !processEnding) {
        thread_.Retire(kStopWaitMs);
    }
    // No read is in progress now: the monitor has left its loop, or is
    // frozen, or (at process end) is gone.
    link_.Close();
}

} // namespace cashdrawer
