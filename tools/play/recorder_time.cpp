#include "recorder_time.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace play {
namespace {

using std::chrono::days;
using std::chrono::sys_days;

// Days from 0001-01-01 to 1970-01-01, the origin of sys_days.
const int64_t kEpochDays =
    -sys_days{std::chrono::year{1} / std::chrono::January / 1}.time_since_epoch().count();

bool ReadNumber(std::string_view& text, int digits, int& out) {
    if (text.size() < static_cast<size_t>(digits)) return false;
    out = 0;
    for (int i = 0; i < digits; ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return false;
        out = out * 10 + (c - '0');
    }
    text.remove_prefix(digits);
    return true;
}

bool ReadChar(std::string_view& text, std::string_view accepted) {
    if (text.empty() || accepted.find(text.front()) == std::string_view::npos) return false;
    text.remove_prefix(1);
    return true;
}

}  // namespace

int64_t FrameTimeOf(const StreamSettingTime& t) {
    auto ymd = std::chrono::year{t.Year} / t.Month / t.Day;
    int64_t daysSinceOne = sys_days{ymd}.time_since_epoch().count() + kEpochDays;
    int64_t seconds = daysSinceOne * 86400 + t.Hour * 3600 + t.Minute * 60 + t.Second;
    return seconds * kTicksPerSecond;
}

StreamSettingTime CalendarOf(int64_t frameTime) {
    int64_t seconds = frameTime / kTicksPerSecond;
    int64_t day = seconds / 86400;
    int64_t inDay = seconds % 86400;
    std::chrono::year_month_day ymd{sys_days{days{day - kEpochDays}}};
    StreamSettingTime t{};
    t.Year = static_cast<int>(ymd.year());
    t.Month = static_cast<int>(static_cast<unsigned>(ymd.month()));
    t.Day = static_cast<int>(static_cast<unsigned>(ymd.day()));
    t.Hour = static_cast<int>(inDay / 3600);
    t.Minute = static_cast<int>(inDay / 60 % 60);
    t.Second = static_cast<int>(inDay % 60);
    return t;
}

std::string FrameTimeText(int64_t frameTime) {
    if (frameTime < 0) return "-";
    StreamSettingTime t = CalendarOf(frameTime);
    int ms = static_cast<int>(frameTime % kTicksPerSecond / 10'000);
    char text[40];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d.%03d", t.Year, t.Month, t.Day,
                  t.Hour, t.Minute, t.Second, ms);
    return text;
}

std::optional<StreamSettingTime> ParseCalendar(std::string_view text) {
    StreamSettingTime t{};
    if (!ReadNumber(text, 4, t.Year) || !ReadChar(text, "/-") || !ReadNumber(text, 2, t.Month) ||
        !ReadChar(text, "/-") || !ReadNumber(text, 2, t.Day) || !ReadChar(text, " T") ||
        !ReadNumber(text, 2, t.Hour) || !ReadChar(text, ":") || !ReadNumber(text, 2, t.Minute) ||
        !ReadChar(text, ":") || !ReadNumber(text, 2, t.Second))
        return std::nullopt;
    if (!text.empty()) {
        int ms = 0;
        if (!ReadChar(text, ".") || !ReadNumber(text, 3, ms) || ms != 0 || !text.empty())
            return std::nullopt;
    }
    auto ymd = std::chrono::year{t.Year} / t.Month / t.Day;
    if (t.Year < 1 || !ymd.ok() || t.Hour > 23 || t.Minute > 59 || t.Second > 59)
        return std::nullopt;
    return t;
}

int64_t SeekSecond(int64_t frameTime, int64_t begin, int64_t end, int orientation) {
    int64_t at = (std::clamp(frameTime, begin, end) + kTicksPerSecond / 2) / kTicksPerSecond *
                 kTicksPerSecond;
    return orientation == 1 ? std::max(begin, std::min(at, end - kTicksPerSecond)) : at;
}

int32_t PercentOfHeld(int64_t frameTime, int64_t from, int64_t upTo) {
    const double share =
        upTo > from ? static_cast<double>(frameTime - from) / static_cast<double>(upTo - from) : 0;
    return static_cast<int32_t>(std::clamp(std::ceil(share * 100 + 1e-6), 0.0, 100.0));
}

}  // namespace play
