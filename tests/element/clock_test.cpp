// The media clock against the real clock: pausing, resuming, pulsing, resetting and the tick
// count, with tolerances wide enough for a busy machine; and the media timeline on top of it.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "element/CQMediaClock.h"
#include "element/timeline.h"

using namespace std::chrono;

namespace {

void SleepMs(int ms) {
    std::this_thread::sleep_for(milliseconds(ms));
}

class Ticks {
public:
    CQMediaClock::Callback Sink() {
        return [this](int32_t value) {
            std::lock_guard<std::mutex> hold(lock);
            values.push_back(value);
            return 0;
        };
    }
    std::vector<int32_t> Take() {
        std::lock_guard<std::mutex> hold(lock);
        return std::move(values);
    }

private:
    std::mutex lock;
    std::vector<int32_t> values;
};

}  // namespace

TEST(CQMediaClock, PausePlayPulseAndTickFollowTheRealClock) {
    Ticks ticks;
    CQMediaClock clock;
    clock.Bind(ticks.Sink());
    ASSERT_TRUE(clock.StartNew());
    SleepMs(300);
    clock.Pause();
    SleepMs(20);  // a tick in flight as the pause came

    // Running: the ticks count milliseconds, rising, one value per tick at most.
    std::vector<int32_t> running = ticks.Take();
    ASSERT_GE(running.size(), 50u);
    for (size_t i = 1; i < running.size(); ++i) ASSERT_GE(running[i], running[i - 1]);
    const int32_t lastTick = running.back();
    EXPECT_GE(lastTick, 200);
    EXPECT_LE(lastTick, 400);
    const int64_t tickAtPause = clock.GetTick();

    // Paused: no ticks. A pulse gives exactly one, with the value of the last tick before the
    // pause, however long ago that was.
    SleepMs(400);
    EXPECT_TRUE(ticks.Take().empty()) << "ticks while paused";
    clock.Pulse();
    SleepMs(100);
    EXPECT_EQ(ticks.Take(), std::vector<int32_t>{lastTick});
    clock.Pulse();
    SleepMs(50);
    EXPECT_EQ(ticks.Take(), std::vector<int32_t>{lastTick}) << "every pulse is one more tick";

    // GetClock while paused reads on past the pause: the paused total is only brought up to
    // date by Play.
    EXPECT_GE(clock.GetClock() - lastTick, 500);

    // Resumed: the value goes on from where it stopped, the paused time left out; GetTick
    // counts it.
    clock.Play();
    SleepMs(100);
    std::vector<int32_t> resumed = ticks.Take();
    ASSERT_FALSE(resumed.empty());
    EXPECT_GE(resumed.front(), lastTick);
    EXPECT_LE(resumed.front(), lastTick + 60) << "paused time counted in the clock";
    const int64_t tickNow = clock.GetTick();
    EXPECT_GE(tickNow - tickAtPause, 6'000'000) << "GetTick includes the 550 ms paused";
    EXPECT_LE(tickNow - tickAtPause, 15'000'000);

    // A play while running changes nothing; a pulse is dropped by Play.
    clock.Play();
    const int32_t before = clock.GetClock();
    SleepMs(50);
    EXPECT_GE(clock.GetClock() - before, 45);

    // Reset: from zero again, with the timer still ticking; a reset while paused counts the
    // pause from the reset, so that resuming does not set the clock back.
    clock.Reset();
    SleepMs(30);
    ticks.Take();
    SleepMs(30);
    std::vector<int32_t> afterReset = ticks.Take();
    ASSERT_FALSE(afterReset.empty());
    EXPECT_LT(afterReset.front(), 200);
    clock.Pause();
    SleepMs(100);
    clock.Reset();
    clock.Play();
    EXPECT_GE(clock.GetClock(), 0);
    EXPECT_LT(clock.GetClock(), 50);

    // Stopped: no more ticks, and starting again begins at zero.
    clock.Stop();
    ticks.Take();
    SleepMs(30);
    EXPECT_TRUE(ticks.Take().empty());
    EXPECT_FALSE(clock.IsStarted());
    clock.StartNew();
    SleepMs(30);
    clock.Stop();
    std::vector<int32_t> again = ticks.Take();
    ASSERT_FALSE(again.empty());
    EXPECT_LT(again.front(), 20);
}

// The timeline's rules, without a thread: the position moves at the speed and direction from
// where the last change left it, and every change keeps it where it was (or puts it where a
// step, seek or jump says).
TEST(Timeline, ChangesMoveThePositionOnlyAsTheyShould) {
    constexpr int64_t kMs = element::Timeline::kTicksPerMs;
    const int64_t t0 = 638396640000000000;  // 2024-01-01
    element::Timeline line;
    EXPECT_FALSE(line.Reached(t0, 0)) << "not started";
    line.Start(t0, 100, 1.0, true);
    EXPECT_TRUE(line.Reached(t0, 100));
    EXPECT_FALSE(line.Reached(t0 + 40 * kMs, 139));
    EXPECT_TRUE(line.Reached(t0 + 40 * kMs, 140));
    EXPECT_DOUBLE_EQ(line.MsUntil(t0 + 1000 * kMs, 600), 500);
    line.SetRate(4.0, true, 1100);  // at t0 + 1 s: 4x on from there
    EXPECT_EQ(line.Position(1100), t0 + 1000 * kMs);
    EXPECT_EQ(line.Position(1350), t0 + 2000 * kMs);
    EXPECT_DOUBLE_EQ(line.MsUntil(t0 + 3000 * kMs, 1350), 250);
    line.SetRate(0.5, false, 1350);  // a turn at t0 + 2 s: back at half speed
    EXPECT_EQ(line.Position(1550), t0 + 1900 * kMs);
    EXPECT_TRUE(line.Reached(t0 + 1900 * kMs, 1550));
    EXPECT_FALSE(line.Reached(t0 + 1800 * kMs, 1550)) << "ahead going back is earlier";
    EXPECT_DOUBLE_EQ(line.AheadMs(t0 + 1800 * kMs, 1550), 100);
    line.MoveTo(t0 + 3600'000 * kMs, 1600);  // a seek or a hole jump: no wait for the distance
    EXPECT_TRUE(line.Reached(t0 + 3600'000 * kMs, 1600));
    EXPECT_EQ(line.Position(1800), t0 + 3599'900 * kMs);
    line.Stop();
    EXPECT_FALSE(line.Started());
}
