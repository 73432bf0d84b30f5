#include "platform/clock.h"
#include "platform/deadline_pause.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace cashdrawer {
namespace {

// A clock whose coarse sleeps end early or late as scripted, and whose spin
// rounds each take 3 us.
class ScriptedParts final : public PauseParts {
public:
    explicit ScriptedParts(std::deque<int64_t> lateness) : lateness_(std::move(lateness)) {}

    uint64_t NowMicros() override { return now_; }
    void CoarseSleepMicros(uint64_t micros) override {
        requests.push_back(micros);
        const int64_t late = lateness_.empty() ? 0 : lateness_.front();
        if (!lateness_.empty()) {
            lateness_.pop_front();
        }
        now_ = static_cast<uint64_t>(static_cast<int64_t>(now_ + micros) + late);
    }
    void Relax() override {
        ++spins;
        now_ += 3;
    }
    void CoarseDone() override { spinsBeforeCoarseDone.push_back(spins); }

    std::vector<uint64_t> requests;
    int spins = 0;
    std::vector<int> spinsBeforeCoarseDone; // one entry a call

private:
    std::deque<int64_t> lateness_;
    uint64_t now_ = 1000000;
};

TEST(DeadlinePause, NeverShortAndEndsAtTheDeadlineWhateverTheSleepDoes) {
    struct Case {
        const char* name;
        uint64_t duration;
        uint64_t margin;
        std::deque<int64_t> lateness; // of each coarse sleep, in us
        std::vector<uint64_t> requests;
        int spins;
        uint64_t overshoot; // the pause's end past its deadline
        uint64_t sleepLate; // what the pause reports of its sleeps' lateness
    };
    const Case cases[] = {
        {"sleep on time: spin the margin", 10000, 300, {0}, {9700}, 100, 0, 0},
        {"sleep a little late: a shorter spin", 10000, 300, {120}, {9700}, 60, 0, 120},
        {"sleep past the deadline: no spin, late but never short", 10000, 300, {450}, {9700}, 0, 150, 450},
        {"sleep cut short: sleep out the rest, then spin", 20000, 300, {-5000, 0}, {19700, 5000}, 100, 0, 0},
        {"shorter than the margin: spin only", 200, 300, {}, {}, 67, 1, 0},
        {"nothing to wait", 0, 300, {}, {}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        ScriptedParts parts(c.lateness);
        const uint64_t start = parts.NowMicros();
        const PauseResult pause = PauseUntilDeadline(parts, c.duration, c.margin);
        const uint64_t deadline = pause.deadline;
        EXPECT_EQ(deadline, start + c.duration) << c.name;
        EXPECT_EQ(pause.coarseSleeps, static_cast<int>(c.requests.size())) << c.name;
        EXPECT_EQ(pause.worstSleepLateMicros, c.sleepLate) << c.name;
        EXPECT_EQ(parts.requests, c.requests) << c.name;
        EXPECT_EQ(parts.spins, c.spins) << c.name;
        EXPECT_EQ(parts.NowMicros() - deadline, c.overshoot) << c.name;
        // What the sleeps took (the timer resolution) goes back once, before
        // the spin, not after the deadline.
        EXPECT_EQ(parts.spinsBeforeCoarseDone, std::vector<int>{0}) << c.name;
    }
}

// A clock that stands still (or a timer that wakes at once for ever) must
// not hold a kick's pause for ever, nor one that jumps back make a sleep
// longer than the pause: every loop of the pause ends.
TEST(DeadlinePause, EndsOnAClockThatStandsStillOrJumpsBack) {
    class OddClock final : public PauseParts {
    public:
        explicit OddClock(std::deque<uint64_t> times) : times_(std::move(times)) {}
        uint64_t NowMicros() override {
            const uint64_t now = times_.front();
            if (times_.size() > 1) {
                times_.pop_front();
            }
            return now;
        }
        void CoarseSleepMicros(uint64_t micros) override { requests.push_back(micros); }
        void Relax() override { ++spins; }
        std::vector<uint64_t> requests;
        uint64_t spins = 0;

    private:
        std::deque<uint64_t> times_; // what the clock says at each look; the last for ever after
    };
    {
        OddClock still({5000000});
        const PauseResult pause = PauseUntilDeadline(still, 10000, 300);
        EXPECT_TRUE(pause.clockStalled);
        EXPECT_EQ(still.requests, (std::vector<uint64_t>{9700})) << "one sleep, then the clock is seen stuck";
        EXPECT_EQ(still.spins, 301000u);
    }
    {
        // Start at 5 s, then the clock reads 1 s (back 4 s) and stays there.
        OddClock back({5000000, 5000000, 1000000});
        const PauseResult pause = PauseUntilDeadline(back, 10000, 300);
        EXPECT_EQ(back.requests, (std::vector<uint64_t>{9700, 10000})) << "never more than the whole pause";
        EXPECT_TRUE(pause.clockStalled);
    }
    {
        // The sleep reaches its end, then the clock stops for the spin: only
        // the spin's bound ends the pause.
        OddClock stopsAfterTheSleep({5000000, 5000000, 5009700});
        const PauseResult pause = PauseUntilDeadline(stopsAfterTheSleep, 10000, 300);
        EXPECT_EQ(stopsAfterTheSleep.requests, (std::vector<uint64_t>{9700}));
        EXPECT_EQ(stopsAfterTheSleep.spins, 301000u);
        EXPECT_TRUE(pause.clockStalled) << "said by the spin";
    }
    {
        // A sleep that does not move the clock (a timer that wakes at once),
        // then a clock that has reached the deadline: said by the sleep.
        OddClock stillInTheSleep({5000000, 5000000, 5000000, 5010000});
        const PauseResult pause = PauseUntilDeadline(stillInTheSleep, 10000, 300);
        EXPECT_EQ(stillInTheSleep.requests, (std::vector<uint64_t>{9700}));
        EXPECT_EQ(stillInTheSleep.spins, 0u);
        EXPECT_TRUE(pause.clockStalled) << "said by the sleep";
    }
    {
        // Each sleep moves the clock by 1 us only: a signal storm.
        std::deque<uint64_t> times;
        for (uint64_t t = 0; t < 40; ++t) {
            times.push_back(5000000 + t);
        }
        times.push_back(5010000);
        OddClock crawling(times);
        const PauseResult pause = PauseUntilDeadline(crawling, 10000, 300);
        EXPECT_EQ(pause.coarseSleeps, 16) << "at most 16 sleeps";
        EXPECT_FALSE(pause.clockStalled);
    }
}

// The margin follows the sleeps' lateness: up at once, down slowly, never
// outside its bounds, and untaught by pauses that did not sleep.
TEST(SleepMargin, FollowsHowLateTheSleepsWake) {
    SleepMargin margin(100, 2000);
    EXPECT_EQ(margin.Micros(), 100u) << "the floor before anything is known";
    struct Step {
        int coarseSleeps;
        uint64_t late;
        uint64_t margin; // after learning it
    };
    const Step steps[] = {
        {1, 50, 150},     // 50 late + 100 headroom
        {1, 900, 1000},   // a late wake is believed at once
        {0, 0, 1000},     // a spin-only pause teaches nothing
        {1, 100, 975},    // 900 - (900 - 100) / 32 = 875, + 100
        {1, 5000, 2000},  // the ceiling
        {1, 0, 2000},     // 5000 - 5000/32 = 4844: still above the ceiling
    };
    for (const Step& step : steps) {
        margin.Learn(PauseResult{0, step.coarseSleeps, step.late});
        EXPECT_EQ(margin.Micros(), step.margin) << "after " << step.late;
    }
}

// The system clock's alarm: a report that arrives must wake the status read
// waiting for it, not leave it to its time limit. The waiter's limit is ten
// minutes, so only the raise can end its wait within the test's minute.
TEST(SystemClockAlarm, WakesItsWaiterWhenRaisedAndOnlyThen) {
    Clock& clock = SystemClock();
    auto unraised = clock.MakeAlarm();
    EXPECT_FALSE(clock.WaitMs(*unraised, 1)) << "nobody raised it";

    std::shared_ptr<Clock::Alarm> alarm = clock.MakeAlarm();
    // Shared with the waiter: should the raise not wake it, it outlives
    // this test, still waiting.
    auto woke = std::make_shared<std::promise<bool>>();
    std::future<bool> result = woke->get_future();
    std::thread([&clock, alarm, woke] { woke->set_value(clock.WaitMs(*alarm, 10 * 60 * 1000)); }).detach();
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the waiter is asleep by now
    alarm->Raise();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the raise woke nobody";
    EXPECT_TRUE(result.get());
    EXPECT_TRUE(clock.WaitMs(*alarm, 0)) << "it stays raised";
}

} // namespace
} // namespace cashdrawer
