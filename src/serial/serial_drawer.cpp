#include "serial/serial_drawer.h"

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
// A request older than this with no report after it: the device is silent.
constexpr uint32_t kReportDeadlineMs = 500;
// How long the device takes to answer a status request: its firmware
// answers within a few milliseconds, and the 4-byte report takes 17 ms on
// the wire at 2400 Bd, the slowest rate the port is set to. 100 ms leaves
// room for a busy adapter.
constexpr uint32_t kDeviceAnswerMs = 100;
// A second request sent while the answer to the first is on its way brings
// its own answer close on the first one's heels: the two arrive less than a
// monitor poll apart, run together into one 8-byte burst and are both
// dropped. So no request goes out until the first one's answer has been
// gathered (any burst after it, whatever its shape), or for as long as an
// answer can take to arrive and be gathered: the device's answer time and
// two polls, one to see the burst begin and one to see it end. Past that,
// every read asks again, as a read is meant to.
constexpr uint32_t kAnswerOnItsWayMs = kDeviceAnswerMs + 2 * kPollIntervalMs;

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
    if (fill_ == 0 && !overflowed_) {
        state.burstsBegun.fetch_add(1);
    }
    // (A burst that would fill the buffer exactly is no report either: it is
    // dropped at its end all the same, so where the line is drawn between
    // "full" and "overflowed" changes nothing a reader sees.)
    if (overflowed_ || fill_ + bytes > burst_.size()) {
        // (Reads bring at most kSerialReadMax bytes, so the buffer can only
        // overflow past 1048 bytes gathered, and no burst that long can be a
        // report whatever follows: the flag keeps the rule plain should the
        // sizes ever change, and no test can tell it from its absence.)
        overflowed_ = true;
        return;
    }
    std::memcpy(burst_.data() + fill_, received, bytes);
    fill_ += bytes;
}

void StatusReportAssembler::EndBurst(SerialDrawerState& state) {
    if (fill_ == 0 && !overflowed_) {
        return; // a quiet line: no burst to end
    }
    state.burstsEnded.fetch_add(1);
    if (fill_ == kReportLength && !overflowed_ && (burst_[0] & kReportMarker) != 0) {
        // The state first, then the flag a reader looks at before it.
        state.serialDrawerStatus.store((burst_[0] & kSenseBit) == 0 ? 1 : 0);
        state.statusReceived.store(true);
        state.reportsPublished.fetch_add(1);
        if (state.reportArrived != nullptr) {
            state.reportArrived->Raise();
        }
    }
    fill_ = 0;
    overflowed_ = false;
}

Result SerialDrawer::StartSerialMonitor(const SerialSettings& settings) {
    if (monitorLate_) {
        return Result::MonitorLate;
    }
    if (thread_.Started()) {
        return Result::Ok;
    }
    SerialLink& link = *share_->link;
    // A port whose line settings were refused stays open (the kick still
    // goes out), but no monitor runs on it: no report will ever be read,
    // and the status says so.
    link.NameDevice(settings.Device);
    const Result opened = link.Open(settings.ComNuM, settings.Baudint, kParityNone, kByteSize8, kOneStopBit);
    if (opened != Result::Ok) {
        return opened;
    }
    share_->state.stopRequested = false;
    // A thread that cannot be made leaves the monitor stopped; the next
    // serial call opens the port again and retries.
    return thread_.Start([share = share_] { return MonitorStep(*share); }) ? Result::Ok : Result::ThreadFailed;
}

bool SerialDrawer::MonitorStep(SerialMonitorShare& share) {
    if (share.state.stopRequested) {
        return false;
    }
    share.assembler.Poll(*share.link, share.state);
    share.clock.SleepMs(kPollIntervalMs);
    return true;
}

Result SerialDrawer::Write(std::span<const uint8_t> bytes) {
    return share_->link->Write(bytes.data(), static_cast<int>(bytes.size()));
}

bool SerialDrawer::AnswerOnItsWay() const {
    // Bursts follow one another, so once more have ended than had begun at
    // the request, one that began after it has ended.
    return requestSent_ && share_->state.burstsEnded <= burstsBegunAtRequest_ &&
           clock_.NowMicros() - lastRequestMicros_ < kAnswerOnItsWayMs * 1000u;
}

Result SerialDrawer::SendStatusRequest() {
    if (AnswerOnItsWay()) {
        return Result::Ok; // the latest report stands until the answer is in
    }
    // Taken before the write: a burst that begins once the request is on
    // the line may be its answer.
    const uint64_t bursts = share_->state.burstsBegun;
    if (const Result written = Write(kStatusRequest); written != Result::Ok) {
        return written;
    }
    const uint64_t reports = share_->state.reportsPublished;
    const uint64_t now = clock_.NowMicros();
    requestSent_ = true;
    lastRequestMicros_ = now;
    burstsBegunAtRequest_ = bursts;
    if (!requestUnanswered_ || reports != reportsAtRequest_) {
        requestUnanswered_ = true;
        unansweredSinceMicros_ = now;
        reportsAtRequest_ = reports;
    }
    return Result::Ok;
}

uint64_t SerialDrawer::SilentForMs() const {
    const bool unanswered = requestUnanswered_ && share_->state.reportsPublished == reportsAtRequest_;
    return unanswered ? (clock_.NowMicros() - unansweredSinceMicros_) / 1000u : 0;
}

bool SerialDrawer::DeviceFellSilent() const {
    return requestUnanswered_ && share_->state.reportsPublished == reportsAtRequest_ &&
           clock_.NowMicros() - unansweredSinceMicros_ > kReportDeadlineMs * 1000u;
}

Result SerialDrawer::KickSerialDrawer(DrawerLetter drawer) {
    if (monitorLate_) {
        return Result::MonitorLate;
    }
    if (!share_->link->IsOpen()) {
        return Result::NotOpen;
    }
    // The kick command decides: a lost status request alone does not keep
    // the drawer shut, so the request's result counts for nothing here.
    const Result requested = SendStatusRequest();
    static_cast<void>(requested);
    clock_.SleepMs(kBetweenCommandsMs);
    const uint8_t kick[] = {kKickCommand, kKickCode, drawer == DrawerLetter::A ? kDrawerPinA : kDrawerPinB, kPulseOnTime,
                            kPulseOffTime};
    const Result kicked = Write(kick);
    clock_.SleepMs(kAfterKickMs);
    return kicked;
}

Result SerialDrawer::ReadSerialDrawerStatus() {
    const SerialDrawerState& state = share_->state;
    if (monitorLate_) {
        return Result::MonitorLate;
    }
    if (!share_->link->IsOpen()) {
        return Result::NotOpen;
    }
    if (const Result requested = SendStatusRequest(); requested != Result::Ok) {
        return requested;
    }
    // Until a first report has come, give the device time to answer this
    // request - as long as it takes, 500 ms at most; after that, the latest
    // report answers at once and the reply to this request is seen by the
    // next call.
    if (!state.statusReceived) {
        clock_.WaitMs(*share_->reportArrived, kFirstReportWaitMs);
        if (!state.statusReceived) {
            return Result::NoReport; // a silent or absent device is not a drawer state
        }
        return StateOf(state.serialDrawerStatus == 1);
    }
    return DeviceFellSilent() ? Result::DeviceSilent : StateOf(state.serialDrawerStatus == 1);
}

void SerialDrawer::StopSerialMonitor(bool processEnding) {
    share_->state.stopRequested = true;
    if (monitorLate_) {
        return; // stopped already; the late monitor closes the port
    }
    if (thread_.Started() && !processEnding && !thread_.Retire(kStopWaitMs)) {
        // Late, inside a read: closing the port under it would pull the
        // handle from a read in flight. It closes the port as it leaves,
        // and this drawer serves no more calls.
        monitorLate_ = true;
        return;
    }
    // No read is in progress now: the monitor has left its loop, or (at
    // process end) is gone.
    share_->link->Close();
}

} // namespace cashdrawer
