// Command lines of varnel-play: what good ones set, and what bad ones say.
#include <gtest/gtest.h>

#include "options.h"
#include "recorder_time.h"

namespace play {
namespace {

ParseResult Parse(std::vector<std::string> args) {
    return ParseOptions(args);
}

// A list written as one text, its items cut at '|'.
std::vector<std::string> Items(const std::string& text) {
    std::vector<std::string> out(1);
    for (char c : text) c == '|' ? out.push_back("") : out.back().push_back(c);
    return out;
}

TEST(PlayOptions, DefaultsAskForAnHourFromTheCatalogueStart) {
    ParseResult r = Parse({});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.options.ip, "127.0.0.1");
    EXPECT_EQ(r.options.port, 80);
    EXPECT_EQ(r.options.key, 1);
    EXPECT_EQ(FrameTimeOf(r.options.end) - FrameTimeOf(r.options.begin), 3600 * kTicksPerSecond);
    EXPECT_EQ(r.options.orientation, 1);
    EXPECT_EQ(r.options.speed, 0);
    EXPECT_EQ(r.options.display, Display::Auto);
    EXPECT_FALSE(r.options.fos);
}

TEST(PlayOptions, RecordFieldsAndControls) {
    ParseResult r =
        Parse(Items("--ip|10.1.2.3|--port=8080|--key|7|--subkey|-2|--fos-id|3|--resolution|"
                    "1|--begin|2020/01/02 03:04:05|--end|2020-01-02T03:05:00|--speed|4x|"
                    "--reverse|groups|--key-frames|--no-audio|--on-file|--fos|9|--every|25|"
                    "--headless|--json|-|--at|10:reverse|--at|12.5:speed=-1|--at|3:pause|"
                    "--duration|12"));
    ASSERT_EQ(r.error, "");
    const Options& o = r.options;
    EXPECT_EQ(o.ip, "10.1.2.3");
    EXPECT_EQ(o.port, 8080);
    EXPECT_EQ(o.key, 7);
    EXPECT_EQ(o.subKey, -2);
    EXPECT_FALSE(o.smoothReverse);
    EXPECT_EQ(o.fosId, 3);
    EXPECT_EQ(o.resolution, 1);
    EXPECT_EQ(o.begin.Year, 2020);
    EXPECT_EQ(o.begin.Second, 5);
    EXPECT_EQ(o.end.Minute, 5);
    EXPECT_EQ(o.speed, 2);
    EXPECT_EQ(o.orientation, 0);
    EXPECT_TRUE(o.keyFramesOnly && o.noAudio && o.onFile && o.fos);
    EXPECT_EQ(o.fosStreamId, 9);
    EXPECT_EQ(o.every, 25);
    EXPECT_EQ(o.display, Display::Headless);
    EXPECT_EQ(o.jsonPath, "-");
    EXPECT_EQ(o.duration, 12.0);
    ASSERT_EQ(o.actions.size(), 3u);
    EXPECT_EQ(o.actions[0].kind, TimedAction::Reverse);
    EXPECT_EQ(o.actions[0].at, 10.0);
    EXPECT_EQ(o.actions[1].kind, TimedAction::Speed);
    EXPECT_EQ(o.actions[1].speed, -1);
    EXPECT_EQ(o.actions[2].kind, TimedAction::Pause);
}

TEST(PlayOptions, LengthSetsTheEndWhenNoEndIsGiven) {
    ParseResult r = Parse({"--begin", "2024/02/28 23:59:50", "--length", "20"});
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(FrameTimeText(FrameTimeOf(r.options.end)), "2024/02/29 00:00:10.000");
}

TEST(PlayOptions, SpeedTexts) {
    struct Case {
        const char* text;
        bool ok;
        int exponent;
    } cases[] = {{"0", true, 0},     {"2", true, 2},      {"-3", true, -3},  {"4x", true, 2},
                 {"0.5x", true, -1}, {"1x", true, 0},     {"8x", true, 3},   {"0.125x", true, -3},
                 {"3x", false, 0},   {"16x", false, 0},   {"4", false, 0},   {"x", false, 0},
                 {"", false, 0},     {"-0.5x", false, 0}, {"2.0", false, 0}, {"1e1x", false, 0}};
    for (const Case& c : cases) {
        int e = 99;
        EXPECT_EQ(ParseSpeed(c.text, e), c.ok) << c.text;
        EXPECT_EQ(e, c.ok ? c.exponent : 99) << c.text;
    }
}

TEST(PlayOptions, BadCommandLinesSayWhatIsWrong) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"play"}, "unknown option 'play'"},
        {{"--port"}, "--port needs a value: a port from 1 to 65535"},
        {{"--speed", "--reverse"},
         "--speed needs a value: an exponent from -3 to 3 or a factor like 0.5x or 4x"},
        {{"--port", "0"}, "--port: '0' is not a port from 1 to 65535"},
        {{"--port", "65536"}, "--port: '65536' is not a port from 1 to 65535"},
        {{"--port", "80x"}, "--port: '80x' is not a port from 1 to 65535"},
        {{"--key", "one"}, "--key: 'one' is not an integer"},
        {{"--begin", "2024/13/01 00:00:00"},
         "--begin: '2024/13/01 00:00:00' is not a time like 2024/01/01 00:00:00"},
        {{"--begin", "2023/02/29 00:00:00"},
         "--begin: '2023/02/29 00:00:00' is not a time like 2024/01/01 00:00:00"},
        {{"--end", "yesterday"}, "--end: 'yesterday' is not a time like 2024/01/01 00:01:00"},
        {{"--begin", "2024/01/01 00:00:10", "--end", "2024/01/01 00:00:10"},
         "--end must be later than --begin"},
        {{"--speed", "3x"},
         "--speed: '3x' is not an exponent from -3 to 3 or a factor like 0.5x or 4x"},
        {{"--at", "5"}, "--at: '5' is not SECONDS:pause|play|reverse|forward|speed=X"},
        {{"--at", "5:jump"}, "--at: '5:jump' is not SECONDS:pause|play|reverse|forward|speed=X"},
        {{"--at", "-1:pause"},
         "--at: '-1:pause' is not SECONDS:pause|play|reverse|forward|speed=X"},
        {{"--every", "0"}, "--every: '0' is not a count from 1 up"},
        {{"--duration", "soon"}, "--duration: 'soon' is not seconds (0 plays to the end)"},
        {{"--reverse=yes"}, "--reverse: 'yes' is not smooth or groups"},
        {{"--url", std::string(500, 'u')},
         "--url: '" + std::string(500, 'u') + "' is not a URL below 500 characters"},
        {{"--ip", std::string(256, 'a')}, "--ip: the address is too long"},
        {{"--sheet-columns", "17"}, "--sheet-columns: '17' is not a count from 1 to 16"},
        {{"--channels", "1,1"}, "--channels: '1,1' is not a list of 1 to 16 channels like 1,2,3,4"},
    };
    for (const Case& c : cases) {
        ParseResult r = Parse(c.args);
        EXPECT_EQ(r.error, c.error) << c.args[0];
    }
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

}  // namespace
}  // namespace play
