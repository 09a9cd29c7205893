// Presentation timing against the schedule of frame times, and the reports built on it.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "recorder_time.h"
#include "report.h"
#include "timing.h"

namespace play {
namespace {

const int64_t T0 = FrameTimeOf({2024, 1, 1, 0, 0, 0, 0});
constexpr int64_t kFrame = 400'000;  // 40 ms

// A run of n pictures: the wall clock from wall by step seconds, the frame index from first by
// frames; the speed, when not 0, set before it.
struct Piece {
    int n;
    double wall, step;
    int first, frames;
    double speed;
};

TEST(Schedule, ErrorsAreAgainstTheNeighboursAtTheSpeedAsked) {
    std::vector<Piece> groups;  // of 25, each forward, in falling order: the jump back no step
    for (int g = 9; g >= 0; --g) groups.push_back({25, (9 - g) * 1.0, 0.04, g * 25, 1, 0});
    // The results, then the pictures.
    const struct {
        size_t samples;
        double medianMs, p99Ms;
        int restarts;
        std::vector<Piece> pieces;
    } cases[] = {
        // The first at once, the rest 10 ms behind it: a steady latency, no error.
        {49, 0, 0, 0, {{1, 0, 0, 0, 1, 0}, {49, 0.05, 0.04, 1, 1, 0}}},
        // 10 ms slower each: a drift, measured from its middle.
        {9, 25, 45, 0, {{10, 0, 0.05, 0, 1, 0}}},
        // 4x, then 0.5x starting afresh.
        {98, 0, 0, 0, {{50, 0, 0.01, 0, 1, 4}, {50, 100, 0.08, 50, 1, 0.5}}},
        {249, 0, 0, 0, groups},
        // Rewind by key frames: every step a second back.
        {19, 0, 0, 0, {{20, 0, 1, 2500, -25, 0}}},
        // 5 s waiting for data: a stall, counted, and a fresh start.
        {18, 0, 0, 1, {{10, 0, 0.04, 0, 1, 0}, {10, 5.4, 0.04, 10, 1, 0}}},
        // A jump of ten seconds or more keeps the last step.
        {2, 0, 0, 0, {{2, 0, 0.04, 0, 1, 0}, {1, 0.08, 0, 501, 1, 0}}},
        {0, 0, 0, 0, {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        Schedule s;
        for (const Piece& p : c.pieces) {
            if (p.speed) s.SetSpeed(p.speed);
            for (int k = 0; k < p.n; ++k)
                s.Add(p.wall + k * p.step, T0 + (p.first + k * p.frames) * kFrame);
        }
        Schedule::Result r = s.Summarise();
        EXPECT_EQ(std::tuple(r.samples, r.restarts), std::tuple(c.samples, c.restarts)) << i;
        EXPECT_NEAR(r.medianMs, c.medianMs, 1e-6) << i;
        EXPECT_NEAR(r.p99Ms, c.p99Ms, 1e-6) << i;
    }
    // Every tenth picture 5 ms late, one 30 ms: the p99 is the 5 ms, the median none.
    Schedule late;
    for (int i = 0; i < 200; ++i)
        late.Add(i * 0.04 + (i == 150 ? 0.030 : (i % 10 == 5 ? 0.005 : 0)), T0 + i * kFrame);
    EXPECT_NEAR(late.Summarise().medianMs, 0, 1e-6);
    EXPECT_NEAR(late.Summarise().p99Ms, 5, 1e-6);
}

TEST(RateMeter, CountsTheLastSecond) {
    RateMeter m;
    for (int i = 0; i < 100; ++i) m.Add(i * 0.04);
    EXPECT_EQ(m.Rate(3.99), 25.0);
    EXPECT_EQ(m.Rate(10.0), 0.0);
}

TEST(Report, ProgressLineAndSpeeds) {
    Progress p;
    p.frameTime = T0 + 76 * kFrame, p.pictures = 76, p.rate = 25, p.buffered = 4.04;
    EXPECT_EQ(ProgressLine(p),
              "2024/01/01 00:00:03.040  pictures 76  25.0/s  buffered 4.0 s  1x forward");
    p.paused = true, p.buffered = -1, p.speed = 2, p.orientation = 0;
    EXPECT_EQ(ProgressLine(p),
              "2024/01/01 00:00:03.040  pictures 76  25.0/s  buffered -  4x reverse  paused");
    EXPECT_EQ(SpeedText(-1, 1), "0.5x forward");
    EXPECT_EQ(SpeedText(3, 5), "8x reverse");
}

TEST(Report, SummaryTextAndJson) {
    Summary s;
    s.pictures = 250, s.firstFrameTime = T0, s.lastFrameTime = T0 + 249 * kFrame;
    s.width = 1920, s.height = 1080, s.feedState = 101, s.ending = "end of recording";
    s.seconds = 10.25, s.timing = {249, 1.25, 6.5, 0};
    s.sheetPath = "out/\"sheet\".png", s.sheetPictures = 16;
    std::string text = SummaryText(s), json = SummaryJson(s);
    for (const char* part :
         {"250 pictures in 10.2 s (end of recording)", "last frame     2024/01/01 00:00:09.960",
          "feed at end    101 (end mark)", "median 1.2 ms, p99 6.5 ms over 249 pictures"})
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    for (const char* part :
         {"\"pictures\": 250,", "\"first_frame_time\": \"2024/01/01 00:00:00.000\",",
          "\"feed_state\": 101,", "\"median_error_ms\": 1.250", "\"p99_error_ms\": 6.500",
          "\"contact_sheet\": \"out/\\\"sheet\\\".png\",", "\"error\": null,"})
        EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
    s.feedState = -1, s.error = "cannot reach";
    json = SummaryJson(s);
    EXPECT_NE(json.find("\"feed_state\": null,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"error\": \"cannot reach\","), std::string::npos) << json;
    EXPECT_NE(SummaryText(s).find("still playing (stopped by the host)"), std::string::npos);
}

}  // namespace
}  // namespace play
