#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <map>

#include "recorder_time.h"

namespace play {
namespace {

// Playback starts here unless told otherwise: the sample catalogue's recordings begin at this
// time, and a real recorder is usually asked for a range anyway.
constexpr StreamSettingTime kDefaultBegin{2024, 1, 1, 0, 0, 0, 0};
constexpr int kDefaultLengthSeconds = 3600;

bool ParseInt(const std::string& text, int low, int high, int& out) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return false;
    out = value;
    return true;
}

bool ParseSeconds(const std::string& text, double& out) {
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !(value >= 0) || value > 1e6)
        return false;
    out = value;
    return true;
}

// "1,2,3,4": 1 to 16 distinct channel numbers, as the element's request carries them.
bool ParseChannels(const std::string& text, std::vector<int>& out) {
    std::vector<int> channels;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        int channel = 0;
        if (!ParseInt(text.substr(start, comma - start), 0, 2147483647, channel)) return false;
        if (std::find(channels.begin(), channels.end(), channel) != channels.end()) return false;
        channels.push_back(channel);
        start = comma + 1;
    }
    if (channels.empty() || channels.size() > 16) return false;
    out = std::move(channels);
    return true;
}

bool ParseAction(const std::string& text, TimedAction& action) {
    size_t colon = text.find(':');
    if (colon == std::string::npos || !ParseSeconds(text.substr(0, colon), action.at)) return false;
    std::string what = text.substr(colon + 1);
    static const std::map<std::string, TimedAction::Kind> kinds = {
        {"pause", TimedAction::Pause},
        {"play", TimedAction::Play},
        {"reverse", TimedAction::Reverse},
        {"forward", TimedAction::Forward}};
    if (auto it = kinds.find(what); it != kinds.end()) {
        action.kind = it->second;
        return true;
    }
    if (what.rfind("speed=", 0) == 0) {
        action.kind = TimedAction::Speed;
        return ParseSpeed(what.substr(6), action.speed);
    }
    return false;
}

struct Parser {
    Options& o;
    int lengthSeconds = kDefaultLengthSeconds;
    bool endGiven = false;

    // Each option: takes a value or not, and what it does; a false result means the value is
    // bad, and the text says what a good one looks like.
    struct Spec {
        bool takesValue;
        const char* expected;
        std::function<bool(const std::string&)> apply;
    };

    std::map<std::string, Spec> Specs() {
        auto integer = [](int& field, int low, int high) {
            return
                [&field, low, high](const std::string& v) { return ParseInt(v, low, high, field); };
        };
        auto flag = [](bool& field) {
            return [&field](const std::string&) { return field = true; };
        };
        auto text = [](std::string& field) {
            return [&field](const std::string& v) {
                field = v;
                return !v.empty();
            };
        };
        auto time = [](StreamSettingTime& field) {
            return [&field](const std::string& v) {
                auto t = ParseCalendar(v);
                if (t) field = *t;
                return t.has_value();
            };
        };
        const int kMax = 2147483647;
        return {
            {"--ip", {true, "a recorder address", text(o.ip)}},
            {"--port", {true, "a port from 1 to 65535", integer(o.port, 1, 65535)}},
            {"--key", {true, "an integer", integer(o.key, -kMax, kMax)}},
            {"--subkey", {true, "an integer", integer(o.subKey, -kMax, kMax)}},
            {"--fos-id", {true, "an integer", integer(o.fosId, -kMax, kMax)}},
            {"--resolution", {true, "an integer", integer(o.resolution, -kMax, kMax)}},
            {"--begin", {true, "a time like 2024/01/01 00:00:00", time(o.begin)}},
            {"--end",
             {true, "a time like 2024/01/01 00:01:00",
              [this, time](const std::string& v) {
                  endGiven = true;
                  return time(o.end)(v);
              }}},
            {"--length", {true, "seconds from 1 to 86400", integer(lengthSeconds, 1, 86400)}},
            {"--url",
             {true, "a URL below 500 characters",
              [this](const std::string& v) {
                  o.url = v;
                  return !v.empty() && v.size() < 500;
              }}},
            {"--fos",
             {true, "an integer FOS id",
              [this](const std::string& v) {
                  o.fos = true;
                  return ParseInt(v, -kMax, kMax, o.fosStreamId);
              }}},
            {"--speed",
             {true, "an exponent from -3 to 3 or a factor like 0.5x or 4x",
              [this](const std::string& v) { return ParseSpeed(v, o.speed); }}},
            {"--reverse",
             {false, "smooth or groups",
              [this](const std::string& v) {
                  o.orientation = 0;
                  if (v == "groups") o.smoothReverse = false;
                  return v.empty() || v == "smooth" || v == "groups";
              }}},
            {"--channels",
             {true, "a list of 1 to 16 channels like 1,2,3,4",
              [this](const std::string& v) { return ParseChannels(v, o.channels); }}},
            {"--export", {true, "a file name", text(o.exportPath)}},
            {"--key-frames", {false, "", flag(o.keyFramesOnly)}},
            {"--no-audio", {false, "", flag(o.noAudio)}},
            {"--on-file", {false, "", flag(o.onFile)}},
            {"--at",
             {true, "SECONDS:pause|play|reverse|forward|speed=X",
              [this](const std::string& v) {
                  TimedAction a;
                  if (!ParseAction(v, a)) return false;
                  o.actions.push_back(a);
                  return true;
              }}},
            {"--duration",
             {true, "seconds (0 plays to the end)",
              [this](const std::string& v) { return ParseSeconds(v, o.duration); }}},
            {"--timeout",
             {true, "seconds",
              [this](const std::string& v) { return ParseSeconds(v, o.timeout); }}},
            {"--window",
             {false, "",
              [this](const std::string&) {
                  o.display = Display::Window;
                  return true;
              }}},
            {"--headless",
             {false, "",
              [this](const std::string&) {
                  o.display = Display::Headless;
                  return true;
              }}},
            {"--hold",
             {true, "seconds", [this](const std::string& v) { return ParseSeconds(v, o.hold); }}},
            {"--out", {true, "a folder", text(o.outDir)}},
            {"--save-folder", {true, "a folder", text(o.saveFolder)}},
            {"--every", {true, "a count from 1 up", integer(o.every, 1, kMax)}},
            {"--sheet-columns", {true, "a count from 1 to 16", integer(o.sheetColumns, 1, 16)}},
            {"--sheet-pictures", {true, "a count from 1 to 256", integer(o.sheetPictures, 1, 256)}},
            {"--thumb-width", {true, "pixels from 64 to 1920", integer(o.thumbWidth, 64, 1920)}},
            {"--json", {true, "a file name or -", text(o.jsonPath)}},
            {"--trace", {true, "a file name", text(o.tracePath)}},
            {"--quiet", {false, "", flag(o.quiet)}},
            {"--help", {false, "", flag(o.help)}},
            {"--version", {false, "", flag(o.version)}},
        };
    }

    std::string Run(const std::vector<std::string>& args) {
        o.begin = kDefaultBegin;
        auto specs = Specs();
        for (size_t i = 0; i < args.size(); ++i) {
            std::string name = args[i], value;
            bool inlineValue = false;
            if (size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
                inlineValue = true;
            }
            if (name == "-h") name = "--help";
            // The one option whose value may be left out.
            if (name == "--reverse" && !inlineValue && i + 1 < args.size() &&
                (args[i + 1] == "smooth" || args[i + 1] == "groups")) {
                value = args[++i];
                inlineValue = true;
            }
            auto it = specs.find(name);
            if (it == specs.end()) return "unknown option '" + args[i] + "'";
            const Spec& spec = it->second;
            if (spec.takesValue && !inlineValue) {
                // An option where its value should be means the value was left out.
                if (i + 1 >= args.size() ||
                    specs.count(args[i + 1].substr(0, args[i + 1].find('='))))
                    return name + " needs a value: " + spec.expected;
                value = args[++i];
            } else if (!spec.takesValue && inlineValue && name != "--reverse") {
                return name + " takes no value";
            }
            if (!spec.apply(value)) return name + ": '" + value + "' is not " + spec.expected;
        }
        if (!endGiven) o.end = CalendarOf(FrameTimeOf(o.begin) + lengthSeconds * kTicksPerSecond);
        if (o.url.empty() && FrameTimeOf(o.end) <= FrameTimeOf(o.begin))
            return "--end must be later than --begin";
        if (o.ip.size() >= sizeof(StreamSetting{}.IP)) return "--ip: the address is too long";
        if (o.saveFolder.size() >= sizeof(StreamSetting{}.SaveFolder))
            return "--save-folder: the path is too long";
        return "";
    }
};

}  // namespace

bool ParseSpeed(const std::string& text, int& exponent) {
    if (!text.empty() && text.back() == 'x') {
        double factor = 0;
        std::string number = text.substr(0, text.size() - 1);
        auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), factor);
        if (ec != std::errc() || end != number.data() + number.size() || !(factor > 0))
            return false;
        double e = std::log2(factor);
        if (std::fabs(e - std::round(e)) > 1e-9 || e < -3 || e > 3) return false;
        exponent = static_cast<int>(std::lround(e));
        return true;
    }
    return ParseInt(text, -3, 3, exponent);
}

ParseResult ParseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    Parser parser{result.options};
    result.error = parser.Run(args);
    return result;
}

}  // namespace play
