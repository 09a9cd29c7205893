// The timer-queue stand-in against the real clock. Tolerances are wide: the machine running the
// tests may be busy, and a late tick is allowed; an early one, a drifting series or a callback
// outliving its deletion is not.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/periodic_timer.h"
#include "tests/net/net_test_util.h"

using namespace std::chrono;
using platform::PeriodicTimer;

TEST(PeriodicTimer, TicksOnAbsoluteDeadlinesWithoutDriftOrBursts) {
    for (uint32_t due : {0u, 30u}) {
        std::mutex lock;
        std::vector<steady_clock::time_point> ticks;
        PeriodicTimer timer;
        const auto start = steady_clock::now();
        ASSERT_TRUE(timer.Create(
            [&] {
                std::lock_guard<std::mutex> hold(lock);
                ticks.push_back(steady_clock::now());
                // A slow tick now and then: the series must stay on its deadlines.
                if (ticks.size() % 100 == 0) std::this_thread::sleep_for(milliseconds(5));
            },
            due, 1));
        std::this_thread::sleep_for(milliseconds(600));
        timer.Delete();
        const auto elapsed = duration_cast<milliseconds>(steady_clock::now() - start).count() - due;
        std::lock_guard<std::mutex> hold(lock);
        ASSERT_FALSE(ticks.empty());
        EXPECT_GE(ticks[0] - start, milliseconds(due)) << "due " << due;
        EXPECT_LT(ticks[0] - start, milliseconds(due + 100)) << "due " << due;
        // Never before its deadline: every tick has a deadline of its own, the next one after
        // the time the previous tick came, so tick i follows tick 0 by more than i - 1 periods
        // however late some came, and there are never more ticks than periods.
        EXPECT_LE(static_cast<int64_t>(ticks.size()), elapsed + 1);
        EXPECT_GE(ticks.size(), 200u) << "a 1 ms timer ticks far more often than every 3 ms";
        for (size_t i = 1; i < ticks.size(); ++i)
            ASSERT_GE(ticks[i] - ticks[0], microseconds(900) * static_cast<int64_t>(i - 1))
                << "tick " << i << " came early: the series drifts";
    }
}

// Delete waits for a running callback and stops the ticks; a held timer does not tick, and
// deleting it waits for no release; one deleted before its due time never ticks nor waits for
// it; a Delete from inside the callback returns at once, and the callback may free the timer.
TEST(PeriodicTimer, DeleteHoldAndDeleteFromInsideTheCallback) {
    std::atomic<int> calls{0}, heldCalls{0};
    std::atomic<bool> inside{false}, ended{false}, freed{false};
    PeriodicTimer timer, held;
    ASSERT_TRUE(timer.Create(
        [&] {
            ++calls;
            inside = true;
            std::this_thread::sleep_for(milliseconds(50));
            ended = true;
        },
        0, 1));
    while (!inside) std::this_thread::yield();
    timer.Delete();
    EXPECT_TRUE(ended) << "Delete returned while the callback was still running";
    EXPECT_FALSE(timer.Running());
    const int after = calls;
    ASSERT_TRUE(held.Create([&] { ++heldCalls; }, 0, 1));
    std::this_thread::sleep_for(milliseconds(20));
    held.Hold(true);
    std::this_thread::sleep_for(milliseconds(5));
    const int atHold = heldCalls;
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(heldCalls, atHold) << "ticks while held";
    EXPECT_EQ(calls, after) << "a tick after Delete returned";
    held.Hold(false);
    EXPECT_TRUE(nettest::PollUntil([&] { return heldCalls > atHold + 10; }, seconds(1)))
        << "no ticks after the release";
    held.Hold(true);
    held.Delete();

    ASSERT_TRUE(timer.Create([&] { ++calls; }, 10'000, 1));
    const auto t0 = steady_clock::now();
    timer.Delete();
    EXPECT_LT(steady_clock::now() - t0, milliseconds(500));
    EXPECT_EQ(calls, after);

    ASSERT_TRUE(timer.Create(
        [&] {
            if (++calls == after + 3) timer.Delete();
        },
        0, 1));
    EXPECT_TRUE(nettest::PollUntil([&] { return !timer.Running(); }, seconds(1)));
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(calls, after + 3) << "ticks after a Delete from inside";
    timer.Delete();  // deleting twice is harmless
    // The thread must not touch the object its callback freed (the address sanitizer watches).
    auto* owned = new PeriodicTimer();
    ASSERT_TRUE(owned->Create(
        [&] {
            if (!freed.exchange(true)) delete owned;
        },
        0, 1));
    EXPECT_TRUE(nettest::PollUntil([&] { return freed.load(); }, seconds(1)));
    std::this_thread::sleep_for(milliseconds(20));
}
