#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/sync.h"
#include "platform/wintime.h"

using namespace platform;

TEST(Event, WaitAnyReturnsLowestSignalledAndConsumesAutoReset) {
    Event manual(true, false), autoA(false, false), autoB(false, false);
    Event* all[] = {&manual, &autoA, &autoB};
    const auto any = [&] { return WaitForMultipleObjects(3, all, false, 0); };
    using Results = std::vector<uint32_t>;  // braced: evaluated in order
    EXPECT_EQ(any(), WAIT_TIMEOUT);
    autoB.Set();
    autoA.Set();
    EXPECT_EQ(Results({any(), any(), any()}),
              Results({WAIT_OBJECT_0 + 1, WAIT_OBJECT_0 + 2, WAIT_TIMEOUT}));
    manual.Set();
    EXPECT_EQ(Results({any(), any()}), Results({WAIT_OBJECT_0, WAIT_OBJECT_0}));  // stays set
    manual.Reset();
    autoA.Set();
    EXPECT_EQ(WaitForMultipleObjects(3, all, true, 0), WAIT_TIMEOUT);
    manual.Set();
    autoB.Set();
    EXPECT_EQ(WaitForMultipleObjects(3, all, true, 0), WAIT_OBJECT_0);
    EXPECT_FALSE(autoA.IsSet());
    EXPECT_TRUE(manual.IsSet());
}

TEST(Event, TimeoutElapsesAndSetWakesWaiterOnOtherThread) {
    Event e(false, false);
    int64_t f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    const uint32_t tick0 = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(e, 30), WAIT_TIMEOUT);
    QueryPerformanceCounter(&t1);
    EXPECT_GE((t1 - t0) * 1000 / f, 29);  // the counters advance with the time waited
    EXPECT_GE(static_cast<uint32_t>(GetTickCount() - tick0), 25u);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    EXPECT_GE(now.wYear, 2024);

    // To the microsecond: never before the deadline, and a deadline passed still looks once.
    using Clock = std::chrono::steady_clock;
    Event* one[] = {&e};
    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(2500);
    EXPECT_EQ(WaitForMultipleObjects(1, one, false, deadline), WAIT_TIMEOUT);
    EXPECT_GE(Clock::now(), deadline);
    e.Set();
    EXPECT_EQ(WaitForMultipleObjects(1, one, false, deadline), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(1, one, false, deadline), WAIT_TIMEOUT);

    Thread setter;
    setter.Start([&] {
        Sleep(10);
        e.Set();
    });
    EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
    setter.Join();
    EXPECT_FALSE(setter.Running());
}

TEST(Event, EachAutoResetSignalReleasesExactlyOneWaiter) {
    Event work(false, false), quit(true, false);
    std::atomic<int> taken{0};
    std::vector<std::unique_ptr<Thread>> threads(4);
    for (auto& t : threads) {
        t = std::make_unique<Thread>();
        t->Start([&] {
            Event* both[] = {&quit, &work};
            while (WaitForMultipleObjects(2, both, false, INFINITE) == WAIT_OBJECT_0 + 1) ++taken;
        });
    }
    for (int sent = 0; sent < 200; ++sent) {
        while (work.IsSet()) SwitchToThread();  // the previous signal has been taken
        work.Set();
    }
    while (work.IsSet()) SwitchToThread();
    quit.Set();
    threads.clear();
    EXPECT_EQ(taken.load(), 200);
}
