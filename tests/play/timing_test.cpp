// Presentation timing against the schedule of frame times, and the reports built on it.
#include <gtest/gtest.h>

#include "recorder_time.h"
#include "report.h"
#include "timing.h"

namespace play {
namespace {

const int64_t T0 = FrameTimeOf({2024, 1, 1, 0, 0, 0, 0});
constexpr int64_t kFrame = 400'000;  // 40 ms

TEST(Schedule, PicturesOffTheirNeighboursCountNotASteadyLatency) {
    Schedule s;
    // Every tenth picture 5 ms late, one 30 ms late; the rest on time.
    for (int i = 0; i < 200; ++i) {
        double late = i == 150 ? 0.030 : (i % 10 == 5 ? 0.005 : 0);
        s.Add(i * 0.04 + late, T0 + i * kFrame);
    }
    Schedule::Result r = s.Summarise();
    EXPECT_NEAR(r.medianMs, 0, 1e-6);
    EXPECT_NEAR(r.p99Ms, 5, 1e-6);
    // The first picture shown at once, all later ones 10 ms behind it: a steady latency.
    Schedule steady;
    steady.Add(0, T0);
    for (int i = 1; i < 50; ++i) steady.Add(0.010 + i * 0.04, T0 + i * kFrame);
    EXPECT_NEAR(steady.Summarise().p99Ms, 0, 1e-6);
    // Pictures coming 10 ms slower each: a drift, measured from its middle.
    Schedule drift;
    for (int i = 0; i < 10; ++i) drift.Add(i * 0.05, T0 + i * kFrame);
    EXPECT_NEAR(drift.Summarise().p99Ms, 45, 1e-6);
    EXPECT_NEAR(drift.Summarise().medianMs, 25, 1e-6);
}

TEST(Schedule, SpeedDividesTheSteps) {
    Schedule s;
    s.SetSpeed(4.0);
    for (int i = 0; i < 50; ++i) s.Add(i * 0.01, T0 + i * kFrame);
    EXPECT_NEAR(s.Summarise().p99Ms, 0, 1e-6);
    s.SetSpeed(0.5);  // starts afresh: the first picture at the new speed anchors
    for (int i = 0; i < 50; ++i) s.Add(100 + i * 0.08, T0 + (50 + i) * kFrame);
    Schedule::Result r = s.Summarise();
    EXPECT_EQ(r.samples, 49u + 49u);
    EXPECT_NEAR(r.p99Ms, 0, 1e-6);
}

TEST(Schedule, RewindGroupsKeepThePace) {
    // Whole groups of 25 in falling group order, each group forwards: the jump back at each
    // group start is no step of its own.
    Schedule s;
    int n = 0;
    for (int group = 9; group >= 0; --group)
        for (int i = 0; i < 25; ++i, ++n) s.Add(n * 0.04, T0 + (group * 25 + i) * kFrame);
    Schedule::Result r = s.Summarise();
    EXPECT_EQ(r.samples, 249u);
    EXPECT_NEAR(r.p99Ms, 0, 1e-6);
    // Rewind by key frames: every step goes one second back.
    Schedule keys;
    for (int i = 0; i < 20; ++i) keys.Add(i * 1.0, T0 + (100 - i) * 25 * kFrame);
    EXPECT_EQ(keys.Summarise().samples, 19u);
    EXPECT_NEAR(keys.Summarise().p99Ms, 0, 1e-6);
}

TEST(Schedule, StallsStartAfreshAndAreCounted) {
    Schedule s;
    for (int i = 0; i < 10; ++i) s.Add(i * 0.04, T0 + i * kFrame);
    for (int i = 10; i < 20; ++i) s.Add(5.0 + i * 0.04, T0 + i * kFrame);  // 5 s waiting for data
    Schedule::Result r = s.Summarise();
    EXPECT_EQ(r.restarts, 1);
    EXPECT_EQ(r.samples, 18u);
    EXPECT_NEAR(r.p99Ms, 0, 1e-6);
    // A jump of ten seconds or more in frame time keeps the last step.
    Schedule jump;
    jump.Add(0, T0);
    jump.Add(0.04, T0 + kFrame);
    jump.Add(0.08, T0 + kFrame + 20 * kTicksPerSecond);
    EXPECT_NEAR(jump.Summarise().p99Ms, 0, 1e-6);
    EXPECT_EQ(Schedule().Summarise().samples, 0u);
}

TEST(RateMeter, CountsTheLastSecond) {
    RateMeter m;
    for (int i = 0; i < 100; ++i) m.Add(i * 0.04);
    EXPECT_EQ(m.Rate(3.99), 25.0);
    EXPECT_EQ(m.Rate(10.0), 0.0);
}

TEST(Report, ProgressLineAndSpeeds) {
    Progress p;
    p.frameTime = T0 + 76 * kFrame;
    p.pictures = 76;
    p.rate = 25;
    p.buffered = 4.04;
    EXPECT_EQ(ProgressLine(p),
              "2024/01/01 00:00:03.040  pictures 76  25.0/s  buffered 4.0 s  1x forward");
    p.paused = true;
    p.buffered = -1;
    p.speed = 2;
    p.orientation = 0;
    EXPECT_EQ(ProgressLine(p),
              "2024/01/01 00:00:03.040  pictures 76  25.0/s  buffered -  4x reverse  paused");
    EXPECT_EQ(SpeedText(-1, 1), "0.5x forward");
    EXPECT_EQ(SpeedText(3, 5), "8x reverse");
}

TEST(Report, SummaryTextAndJson) {
    Summary s;
    s.pictures = 250;
    s.firstFrameTime = T0;
    s.lastFrameTime = T0 + 249 * kFrame;
    s.width = 1920;
    s.height = 1080;
    s.feedState = 101;
    s.ending = "end of recording";
    s.seconds = 10.25;
    s.timing.samples = 249;
    s.timing.medianMs = 1.25;
    s.timing.p99Ms = 6.5;
    s.sheetPath = "out/\"sheet\".png";
    s.sheetPictures = 16;
    std::string text = SummaryText(s);
    EXPECT_NE(text.find("250 pictures in 10.2 s (end of recording)"), std::string::npos) << text;
    EXPECT_NE(text.find("last frame     2024/01/01 00:00:09.960"), std::string::npos) << text;
    EXPECT_NE(text.find("feed at end    101 (end mark)"), std::string::npos) << text;
    EXPECT_NE(text.find("median 1.2 ms, p99 6.5 ms over 249 pictures"), std::string::npos) << text;
    std::string json = SummaryJson(s);
    for (const char* part :
         {"\"pictures\": 250,", "\"first_frame_time\": \"2024/01/01 00:00:00.000\",",
          "\"feed_state\": 101,", "\"median_error_ms\": 1.250", "\"p99_error_ms\": 6.500",
          "\"contact_sheet\": \"out/\\\"sheet\\\".png\",", "\"error\": null,"})
        EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
    s.feedState = -1;
    s.error = "cannot reach";
    json = SummaryJson(s);
    EXPECT_NE(json.find("\"feed_state\": null,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"error\": \"cannot reach\","), std::string::npos) << json;
    EXPECT_NE(SummaryText(s).find("still playing (stopped by the host)"), std::string::npos);
}

}  // namespace
}  // namespace play
