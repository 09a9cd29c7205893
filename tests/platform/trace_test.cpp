#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/trace.h"
#include "varnel/varnel.h"

namespace {

struct Collected {
    std::mutex lock;
    std::vector<std::string> lines;
};

void Collect(const char* line, void* user) {
    auto* c = static_cast<Collected*>(user);
    std::lock_guard<std::mutex> guard(c->lock);
    c->lines.emplace_back(line);
}

}  // namespace

// Verbatim while a sink is installed, dropped without one; none lost while threads trace at
// once, and none delivered to a sink after it was replaced while another thread traces.
TEST(Trace, LinesReachTheInstalledSinkVerbatimFromEveryThread) {
    platform::OutputDebugStringA("before\r\n");
    Collected c;
    varnel_set_trace_sink(Collect, &c);
    platform::OutputDebugStringA("-----CVarnel1::Open-----\r\n");
    const std::string longLine(3000, 'x');
    platform::TraceF("do_exit %d %s\r\n", 1, longLine.c_str());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 1000; ++i) platform::TraceF("t%d %d\r\n", t, i);
        });
    for (auto& th : threads) th.join();
    varnel_set_trace_sink(nullptr, nullptr);
    platform::OutputDebugStringA("after\r\n");
    ASSERT_EQ(c.lines.size(), 4002u);
    EXPECT_EQ(c.lines[0] + c.lines[1],
              "-----CVarnel1::Open-----\r\ndo_exit 1 " + longLine + "\r\n");

    Collected other;
    std::thread swapper([&] {
        for (int i = 0; i < 1000; ++i) varnel_set_trace_sink(i % 2 ? Collect : nullptr, &other);
    });
    for (int i = 0; i < 1000; ++i) platform::OutputDebugStringA("x\r\n");
    swapper.join();
    varnel_set_trace_sink(nullptr, nullptr);
    EXPECT_LE(other.lines.size(), 1000u);
}
