#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/event_handler.h"

using Event = QEvent::CQEvenHandler<int, const std::string&>;

TEST(CQEvenHandler, RaisesInOrderCopiesAndClears) {
    Event e;
    std::string log;
    e.Add([&](int s, const std::string& a) { log += "1:" + std::to_string(s) + a + " "; });
    e.m_Handlers.push_back(
        [&](int s, const std::string& a) { log += "2:" + std::to_string(s) + a; });
    e.RaisEvent(7, "x");
    EXPECT_EQ(log, "1:7x 2:7x");
    Event copy(e);
    e.ClearAll();
    log.clear();
    e.RaisEvent(1, "y");
    EXPECT_EQ(log, "");
    copy.RaisEvent(2, "z");
    EXPECT_EQ(log, "1:2z 2:2z");
    Event assigned;
    assigned = copy;
    EXPECT_EQ(assigned.m_Handlers.size(), 2u);
    assigned.m_Handlers.emplace_back();  // an empty slot
    EXPECT_THROW(assigned.RaisEvent(0, ""), std::bad_function_call);
}

TEST(CQEvenHandler, RaisingAndClearingFromSeveralThreads) {
    Event e;
    long calls = 0;  // not atomic: the event's lock is what keeps the handlers apart
    const auto handler = [&](int, const std::string&) { ++calls; };
    std::atomic<bool> stop{false};
    std::atomic<long> raised{0};
    std::vector<std::thread> raisers;
    for (int t = 0; t < 4; ++t)
        raisers.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                e.RaisEvent(t, "r");
                raised.fetch_add(1);
            }
        });
    std::thread changer([&] {
        while (!stop.load()) {
            e.Add(handler);
            e.Add(handler);
            e.ClearAll();
        }
    });
    for (auto& t : raisers) t.join();
    stop = true;
    changer.join();
    e.Add(handler);
    const long before = calls;
    e.RaisEvent(0, "");
    EXPECT_EQ(calls, before + 1);
    EXPECT_LE(before, 2 * raised.load());
}
