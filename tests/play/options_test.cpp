// Command lines of varnel-play and the recorder times in them: what good ones set, what bad ones
// say, and the 100 ns count from year 1 behind every time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>

#include "options.h"
#include "recorder_time.h"

namespace play {
namespace {

// A list written as one text, its items cut at '|'.
std::vector<std::string> Items(const std::string& text) {
    std::vector<std::string> out(1);
    for (char c : text) c == '|' ? out.push_back("") : out.back().push_back(c);
    return out;
}

TEST(PlayOptions, DefaultsAndEveryField) {
    // By default an hour from the catalogue start (the other defaults are the record's own).
    const Options d = ParseOptions({}).options;
    EXPECT_EQ(FrameTimeOf(d.end) - FrameTimeOf(d.begin), 3600 * kTicksPerSecond);
    ParseResult r =
        ParseOptions(Items("--ip|10.1.2.3|--port=8080|--key|7|--subkey|-2|--fos-id|3|--resolution|"
                           "1|--begin|2020/01/02 03:04:05|--end|2020-01-02T03:05:00|--speed|4x|"
                           "--reverse|groups|--key-frames|--no-audio|--on-file|--fos|9|--every|25|"
                           "--headless|--json|-|--at|10:reverse|--at|12.5:speed=-1|--at|3:pause|"
                           "--duration|12"));
    ASSERT_EQ(r.error, "");
    const Options& o = r.options;
    EXPECT_EQ(
        std::tie(o.ip, o.port, o.key, o.subKey, o.fosId, o.resolution, o.speed, o.orientation),
        std::make_tuple("10.1.2.3", 8080, 7, -2, 3, 1, 2, 0));
    EXPECT_EQ(std::tie(o.smoothReverse, o.keyFramesOnly, o.noAudio, o.onFile, o.fos),
              std::make_tuple(false, true, true, true, true));
    EXPECT_EQ(std::tie(o.fosStreamId, o.every, o.jsonPath, o.duration),
              std::make_tuple(9, 25, "-", 12.0));
    EXPECT_EQ(o.display, Display::Headless);
    EXPECT_EQ(FrameTimeText(FrameTimeOf(o.begin)) + " - " + FrameTimeText(FrameTimeOf(o.end)),
              "2020/01/02 03:04:05.000 - 2020/01/02 03:05:00.000");
    std::vector<std::tuple<double, int, int>> actions;
    for (const TimedAction& a : o.actions) actions.emplace_back(a.at, a.kind, a.speed);
    EXPECT_EQ(actions, (std::vector<std::tuple<double, int, int>>{{10, TimedAction::Reverse, 0},
                                                                  {12.5, TimedAction::Speed, -1},
                                                                  {3, TimedAction::Pause, 0}}));
    // --length sets the end when none is given, across a leap day.
    EXPECT_EQ(FrameTimeText(FrameTimeOf(
                  ParseOptions({"--begin", "2024/02/28 23:59:50", "--length", "20"}).options.end)),
              "2024/02/29 00:00:10.000");
}

TEST(PlayOptions, SpeedTexts) {
    const int kBad = 99;  // left as it was
    const std::pair<const char*, int> cases[] = {
        {"0", 0},   {"2", 2},        {"-3", -3},    {"4x", 2},     {"0.5x", -1}, {"1x", 0},
        {"8x", 3},  {"0.125x", -3},  {"3x", kBad},  {"16x", kBad}, {"4", kBad},  {"x", kBad},
        {"", kBad}, {"-0.5x", kBad}, {"2.0", kBad}, {"1e1x", kBad}};
    for (auto [text, exponent] : cases) {
        int e = kBad;
        EXPECT_EQ(ParseSpeed(text, e), exponent != kBad) << text;
        EXPECT_EQ(e, exponent) << text;
    }
}

TEST(PlayOptions, BadCommandLinesSayWhatIsWrong) {
    const std::pair<std::string, std::string> cases[] = {
        {"--bogus", "unknown option '--bogus'"},
        {"play", "unknown option 'play'"},
        {"--port", "--port needs a value: a port from 1 to 65535"},
        {"--speed|--reverse",
         "--speed needs a value: an exponent from -3 to 3 or a factor like 0.5x or 4x"},
        {"--port|0", "--port: '0' is not a port from 1 to 65535"},
        {"--port|65536", "--port: '65536' is not a port from 1 to 65535"},
        {"--port|80x", "--port: '80x' is not a port from 1 to 65535"},
        {"--key|one", "--key: 'one' is not an integer"},
        {"--begin|2024/13/01 00:00:00",
         "--begin: '2024/13/01 00:00:00' is not a time like 2024/01/01 00:00:00"},
        {"--end|yesterday", "--end: 'yesterday' is not a time like 2024/01/01 00:01:00"},
        {"--begin|2024/01/01 00:00:10|--end|2024/01/01 00:00:10",
         "--end must be later than --begin"},
        {"--speed|3x", "--speed: '3x' is not an exponent from -3 to 3 or a factor like 0.5x or 4x"},
        {"--at|5", "--at: '5' is not SECONDS:pause|play|reverse|forward|speed=X"},
        {"--at|5:jump", "--at: '5:jump' is not SECONDS:pause|play|reverse|forward|speed=X"},
        {"--at|-1:pause", "--at: '-1:pause' is not SECONDS:pause|play|reverse|forward|speed=X"},
        {"--every|0", "--every: '0' is not a count from 1 up"},
        {"--duration|soon", "--duration: 'soon' is not seconds (0 plays to the end)"},
        {"--reverse=yes", "--reverse: 'yes' is not smooth or groups"},
        {"--url|" + std::string(500, 'u'),
         "--url: '" + std::string(500, 'u') + "' is not a URL below 500 characters"},
        {"--ip|" + std::string(256, 'a'), "--ip: the address is too long"},
        {"--sheet-columns|17", "--sheet-columns: '17' is not a count from 1 to 16"},
        {"--channels|1,1", "--channels: '1,1' is not a list of 1 to 16 channels like 1,2,3,4"},
    };
    for (const auto& [args, error] : cases) EXPECT_EQ(ParseOptions(Items(args)).error, error);
}

TEST(PlayOptions, HelpDocumentsEveryOptionAndExitCode) {
    std::string help = HelpText();
    for (const std::string& option :
         Items("--ip|--port|--key|--subkey|--fos-id|--resolution|--begin|--end|--length|--url|"
               "--fos|--speed|--reverse|--key-frames|--no-audio|--on-file|--at|--duration|"
               "--timeout|--window|--headless|--hold|--out|--every|--sheet-columns|"
               "--sheet-pictures|--thumb-width|--save-folder|--json|--trace|--quiet|--help|"
               "--version"))
        EXPECT_NE(help.find("  " + option), std::string::npos) << option;
    for (const char* code : {"  0  ", "  1  ", "  2  ", "  3  ", "  4  "})
        EXPECT_NE(help.find(code), std::string::npos) << code;
}

TEST(RecorderTime, KnownInstantsThereAndBack) {
    const std::pair<std::string, int64_t> cases[] = {
        {"0001/01/01 00:00:00", 0},
        {"0001/01/02 00:00:01", 86401},
        {"1970/01/01 00:00:00", 719162LL * 86400},
        {"2024/01/01 00:00:00", 738885LL * 86400},
        {"2024/02/29 12:30:15", (738885LL + 59) * 86400 + 45015},
        {"9999/12/31 23:59:59", 3652059LL * 86400 - 1},
    };
    for (const auto& [text, seconds] : cases) {
        auto t = ParseCalendar(text);
        ASSERT_TRUE(t) << text;
        EXPECT_EQ(FrameTimeOf(*t), seconds * kTicksPerSecond) << text;
        // Back to the calendar, milliseconds kept and what is below them cut off.
        EXPECT_EQ(FrameTimeText(seconds * kTicksPerSecond + 40 * 10'000 + 9'999), text + ".040");
    }
    EXPECT_EQ(FrameTimeText(-1), "-");
    EXPECT_EQ(FrameTimeOf(ParseCalendar("2021-07-04T07:30:56").value()),
              FrameTimeOf(ParseCalendar("2021/07/04 07:30:56.000").value()));
    for (const char* text :
         {"2024/01/01 00:00:00.500", "2024/1/1 0:0:0", "2024/01/01", "2024/01/01 24:00:00",
          "2024/01/01 00:60:00", "2024/02/30 00:00:00", "2023/02/29 00:00:00",
          "0000/01/01 00:00:00", "2024/01/01 00:00:00 ", ""})
        EXPECT_FALSE(ParseCalendar(text)) << text;
}

TEST(RecorderTime, SeeksLandOnTheSecondAndTheGroupAsked) {
    const int64_t s = kTicksPerSecond, ms = s / 1000;
    const std::tuple<int64_t, int, int64_t> cases[] = {{14 * s + 499 * ms, 1, 14},
                                                       {14 * s + 500 * ms, 1, 15},
                                                       {-5 * s, 1, 0},
                                                       {25 * s, 1, 19},
                                                       {25 * s, 0, 20},
                                                       {20 * s, 0, 20}};
    for (auto [at, orientation, second] : cases)
        EXPECT_EQ(SeekSecond(at, 0, 20 * s, orientation), second * s) << at;
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
