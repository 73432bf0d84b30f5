// Stand-ins for the serial drawer's platform parts in unit tests: a COM
// port link that plays scripted input and records what is sent, and a
// monitor thread that runs only when the test steps it.
#pragma once

#include "platform/background_thread.h"
#include "platform/clock.h"
#include "serial/serial_link.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

namespace cashdrawer::sim {

class SimSerialLink final : public SerialLink {
public:
    struct OpenCall {
        int32_t portNumber;
        int32_t baudRate;
        uint8_t parity, byteSize, stopBits;
    };
    struct Sent {
        uint64_t timeMicros;
        std::vector<uint8_t> bytes;
    };

    explicit SimSerialLink(Clock& clock) : clock_(clock) {}

    void SetOpenResult(Result result) { openResult_ = result; }
    void SetWritesFail(bool fail) { writesFail_ = fail; }
    // What one read delivers; an empty chunk is a poll with nothing waiting.
    // With nothing queued, reads deliver nothing.
    void QueueInput(std::vector<uint8_t> chunk) { input_.push_back(std::move(chunk)); }
    // A device that answers each status request `afterMs` after it was
    // written, with the report set at the time of the answer. Answers that
    // fall due before one read arrive together in it, as they would on the
    // line. Scripted input, while any is queued, comes first.
    void AnswerRequests(uint32_t afterMs, std::vector<uint8_t> report) {
        answerAfterMicros_ = uint64_t{afterMs} * 1000u;
        report_ = std::move(report);
        answering_ = true;
    }
    void SetReport(std::vector<uint8_t> report) { report_ = std::move(report); }
    const std::vector<OpenCall>& Opens() const { return opens_; }
    const std::vector<Sent>& Writes() const { return writes_; }

    Result Open(int32_t portNumber, int32_t baudRate, uint8_t parity, uint8_t byteSize, uint8_t stopBits) override {
        opens_.push_back({portNumber, baudRate, parity, byteSize, stopBits});
        open_ = openResult_ != Result::PortMissing;
        return openResult_;
    }
    bool IsOpen() const override { return open_; }
    int ReadInput(uint8_t* destination) override {
        if (input_.empty()) {
            return DueAnswers(destination);
        }
        std::vector<uint8_t> chunk = std::move(input_.front());
        input_.pop_front();
        const std::size_t count = std::min<std::size_t>(chunk.size(), kSerialReadMax);
        std::copy_n(chunk.begin(), count, destination);
        return static_cast<int>(count);
    }
    Result Write(const uint8_t* bytes, int count) override {
        if (!open_) {
            return Result::NotOpen;
        }
        if (writesFail_) {
            return Result::WriteFailed; // a pulled cable, a hung adapter: nothing goes out
        }
        writes_.push_back({clock_.NowMicros(), std::vector<uint8_t>(bytes, bytes + count)});
        if (answering_ && writes_.back().bytes == std::vector<uint8_t>{0x1D, 0x61, 0x01}) {
            answersDue_.push_back(clock_.NowMicros() + answerAfterMicros_);
        }
        return Result::Ok;
    }
    void Close() override { open_ = false; }

private:
    int DueAnswers(uint8_t* destination) {
        int count = 0;
        while (!answersDue_.empty() && answersDue_.front() <= clock_.NowMicros() &&
               count + static_cast<int>(report_.size()) <= kSerialReadMax) {
            answersDue_.pop_front();
            std::copy(report_.begin(), report_.end(), destination + count);
            count += static_cast<int>(report_.size());
        }
        return count;
    }

    Clock& clock_;
    Result openResult_ = Result::Ok;
    bool open_ = false;
    bool writesFail_ = false;
    std::deque<std::vector<uint8_t>> input_;
    bool answering_ = false;
    uint64_t answerAfterMicros_ = 0;
    std::vector<uint8_t> report_;
    std::deque<uint64_t> answersDue_;
    std::vector<OpenCall> opens_;
    std::vector<Sent> writes_;
};

class ManualThread final : public BackgroundThread {
public:
    bool Start(Step step) override {
        ++starts_;
        started_ = startSucceeds_;
        step_ = started_ ? std::move(step) : nullptr;
        return started_;
    }
    bool Started() const override { return started_; }
    bool Retire(uint32_t timeoutMs) override {
        retireWaits_.push_back(timeoutMs);
        started_ = false;
        if (late_) {
            return false; // the step, and what it holds, stays with the "thread"
        }
        // The thread's next round: it leaves its loop only if it was asked to.
        leftLoopAtRetire_ = !step_();
        step_ = nullptr;
        return true;
    }

    void SetStartSucceeds(bool succeeds) { startSucceeds_ = succeeds; }
    // Retire finds the thread still inside a step that has not come back.
    void SetLate(bool late) { late_ = late; }
    // One round of the monitor's work, as its thread would run it.
    bool RunStep() { return step_(); }
    // The late thread leaves its loop at last and lets go of its step.
    void FinishLateThread() { step_ = nullptr; }
    // Whether the round run at the last Retire ended the thread's loop.
    bool LeftLoopAtRetire() const { return leftLoopAtRetire_; }
    int Starts() const { return starts_; }
    const std::vector<uint32_t>& RetireWaits() const { return retireWaits_; }

private:
    Step step_;
    bool started_ = false;
    bool late_ = false;
    bool leftLoopAtRetire_ = false;
    bool startSucceeds_ = true;
    int starts_ = 0;
    std::vector<uint32_t> retireWaits_;
};

} // namespace cashdrawer::sim
