// The media clock held to the rules that relate its values to the real clock: every value lies
// between the monotonic clock's readings taken around the calls it depends on, so that a busy
// machine moves the values but never breaks a rule; and the media timeline on top of it.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "element/CQMediaClock.h"
#include "element/timeline.h"

using namespace std::chrono;

namespace {

using Instant = steady_clock::time_point;

// When a call ran: after lo and before hi.
struct When {
    Instant lo, hi;
};
template <class F>
When At(F&& call) {
    const Instant lo = steady_clock::now();
    call();
    return {lo, steady_clock::now()};
}

// The clock counts whole milliseconds of the same monotonic clock: a value of a stretch known
// to last between lo and hi lies between their whole milliseconds, whatever the load.
void ExpectMs(int64_t value, steady_clock::duration lo, steady_clock::duration hi) {
    EXPECT_GE(value, floor<milliseconds>(lo).count());
    EXPECT_LE(value, floor<milliseconds>(hi).count());
}

// The ticks with the time each came; the clock paused from inside the tick given, on the
// clock's own thread, so that no other tick is on its way then (paused: when that ran).
struct Ticks {
    struct Tick {
        int32_t value;
        Instant at;
    };
    Ticks(CQMediaClock& clock, size_t pauseAt) {
        clock.Bind([this, &clock, pauseAt](int32_t value) {
            std::lock_guard<std::mutex> hold(lock);
            if (all.size() + 1 == pauseAt) paused = At([&] { clock.Pause(); });
            all.push_back({value, steady_clock::now()});
            changed.notify_all();
            return 0;
        });
    }
    // Waits until n ticks have come (a generous bound for a sanitizer build); all so far.
    std::vector<Tick> Wait(size_t n) {
        std::unique_lock<std::mutex> hold(lock);
        EXPECT_TRUE(changed.wait_for(hold, 30s, [&] { return all.size() >= n; })) << n;
        return all;
    }
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Tick> all;
    When paused;  // set before the tick that Wait(pauseAt) waits for
};

}  // namespace

// Running, the ticks rise with the real clock; paused from a tick, no more come, each pulse
// gives exactly one with the last tick's value; the paused time is left out of the value from
// Play on, and counted in GetTick; a reset starts from zero, a reset while paused counting the
// pause from the reset; a stopped clock ticks no more and starts again from zero.
TEST(CQMediaClock, ValuesFollowTheRealClockLeavingOutThePauses) {
    constexpr size_t kPauseAt = 20;
    CQMediaClock clock;
    Ticks ticks(clock, kPauseAt);
    const When start = At([&] { clock.StartNew(); });
    std::vector<Ticks::Tick> seen = ticks.Wait(kPauseAt);
    for (size_t i = 0; i < seen.size(); ++i) {
        ExpectMs(seen[i].value, {}, seen[i].at - start.lo);
        EXPECT_GE(seen[i].value, i > 0 ? seen[i - 1].value : 0);
    }
    const int32_t last = seen.back().value;
    const When paused = ticks.paused;

    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ticks.Wait(0).size(), kPauseAt) << "ticks while paused";
    for (size_t pulse = 1; pulse <= 2; ++pulse) {
        clock.Pulse();
        seen = ticks.Wait(kPauseAt + pulse);
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(ticks.Wait(0).size(), kPauseAt + pulse) << "one tick a pulse";
        EXPECT_EQ(seen.back().value, last) << "a pulse repeats the last tick";
    }
    // Read while paused, the value goes on: the paused total is brought up to date by Play.
    int32_t value = 0;
    When read = At([&] { value = clock.GetClock(); });
    ExpectMs(value, read.lo - start.hi, read.hi - start.lo);

    const When play = At([&] { clock.Play(); });
    seen = ticks.Wait(kPauseAt + 3);
    ExpectMs(seen.back().value, play.lo - start.hi - (play.hi - paused.lo),
             seen.back().at - start.lo - (play.lo - paused.hi));
    read = At([&] { clock.Play(), value = clock.GetClock(); });  // a Play while running: no change
    ExpectMs(value, read.lo - start.hi - (play.hi - paused.lo),
             read.hi - start.lo - (play.lo - paused.hi));
    int64_t tick = 0;
    read = At([&] { tick = clock.GetTick(); });
    using Ticks100ns = duration<int64_t, std::ratio<1, 10'000'000>>;
    EXPECT_GE(tick, duration_cast<Ticks100ns>(read.lo - start.hi).count());
    EXPECT_LE(tick, duration_cast<Ticks100ns>(read.hi - start.lo).count()) << "paused time counted";

    const When reset = At([&] { clock.Reset(); });
    read = At([&] { value = clock.GetClock(); });
    ExpectMs(value, read.lo - reset.hi, read.hi - reset.lo);
    clock.Pause();
    std::this_thread::sleep_for(5ms);
    clock.Reset();
    const When resumed = At([&] { clock.Play(); });
    read = At([&] { value = clock.GetClock(); });
    ExpectMs(value, read.lo - resumed.hi, read.hi - resumed.lo);

    clock.Stop();
    const size_t stopped = ticks.Wait(0).size();
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(ticks.Wait(0).size(), stopped) << "ticks after Stop";
    EXPECT_FALSE(clock.IsStarted());
    const When again = At([&] { clock.StartNew(); });
    seen = ticks.Wait(stopped + 1);
    ExpectMs(seen[stopped].value, {}, seen[stopped].at - again.lo);
    clock.Stop();
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
