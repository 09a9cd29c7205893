// Recorder times: the 100 ns count from year 1, calendar fields and the text people read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "recorder_time.h"

namespace play {
namespace {

TEST(RecorderTime, KnownInstants) {
    struct Case {
        StreamSettingTime t;
        int64_t seconds;  // since 0001-01-01 00:00:00
    } cases[] = {
        {{1, 1, 1, 0, 0, 0, 0}, 0},
        {{1, 1, 2, 0, 0, 1, 0}, 86401},
        {{1970, 1, 1, 0, 0, 0, 0}, 719162LL * 86400},
        {{2024, 1, 1, 0, 0, 0, 0}, 738885LL * 86400},
        {{2024, 2, 29, 12, 30, 15, 0}, (738885LL + 59) * 86400 + 45015},
        {{9999, 12, 31, 23, 59, 59, 0}, 3652059LL * 86400 - 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FrameTimeOf(c.t), c.seconds * kTicksPerSecond) << c.t.Year;
        StreamSettingTime back = CalendarOf(c.seconds * kTicksPerSecond);
        EXPECT_EQ(back.Year, c.t.Year);
        EXPECT_EQ(back.Month, c.t.Month);
        EXPECT_EQ(back.Day, c.t.Day);
        EXPECT_EQ(back.Hour * 3600 + back.Minute * 60 + back.Second,
                  c.t.Hour * 3600 + c.t.Minute * 60 + c.t.Second);
    }
}

TEST(RecorderTime, TextKeepsMillisecondsAndMarksNone) {
    int64_t t = FrameTimeOf({2024, 1, 1, 0, 0, 3, 0}) + 40 * 10'000 + 9'999;
    EXPECT_EQ(FrameTimeText(t), "2024/01/01 00:00:03.040");
    EXPECT_EQ(FrameTimeText(0), "0001/01/01 00:00:00.000");
    EXPECT_EQ(FrameTimeText(-1), "-");
}

TEST(RecorderTime, ParsesWhatTheQueryCanCarry) {
    struct Case {
        const char* text;
        bool ok;
    } cases[] = {{"2024/01/01 00:00:00", true},     {"2024-01-01T23:59:59", true},
                 {"2024/01/01 00:00:00.000", true}, {"2024/01/01 00:00:00.500", false},
                 {"2024/1/1 0:0:0", false},         {"2024/01/01", false},
                 {"2024/01/01 24:00:00", false},    {"2024/01/01 00:60:00", false},
                 {"2024/02/30 00:00:00", false},    {"0000/01/01 00:00:00", false},
                 {"2024/01/01 00:00:00 ", false},   {"", false}};
    for (const Case& c : cases) EXPECT_EQ(ParseCalendar(c.text).has_value(), c.ok) << c.text;
    auto t = ParseCalendar("2021-07-04T07:30:56");
    ASSERT_TRUE(t);
    EXPECT_EQ(FrameTimeText(FrameTimeOf(*t)), "2021/07/04 07:30:56.000");
}

TEST(RecorderTime, SeeksLandOnTheSecondAndTheGroupAsked) {
    const int64_t s = kTicksPerSecond, ms = s / 1000;
    struct Case {
        int64_t at;
        int orientation;
        int64_t second;
    } cases[] = {{14 * s + 499 * ms, 1, 14},
                 {14 * s + 500 * ms, 1, 15},
                 {-5 * s, 1, 0},
                 {25 * s, 1, 19},
                 {25 * s, 0, 20},
                 {20 * s, 0, 20}};
    for (const Case& c : cases)
        EXPECT_EQ(SeekSecond(c.at, 0, 20 * s, c.orientation), c.second * s) << c.at;
    // An index of n groups of 1 s, holding frame times up to the last picture's: the
    // percentage for the start of group k enters group k, by the position call's rule that a
    // percentage p enters the group in which n * p / 100 falls.
    for (int n : {4, 20, 60})
        for (int k = 0; k < n; ++k) {
            const int p = PercentOfHeld(k * s, 0, n * s - 40 * ms);
            EXPECT_EQ(std::max(static_cast<int>(std::ceil(n * p / 100.0)), 1) - 1, k) << n;
        }
}

}  // namespace
}  // namespace play
