#include "calendar.h"

#include <cstdio>

namespace recorder {
namespace {

bool Leap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysIn(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && Leap(y) ? 29 : days[m - 1];
}

// Days from 0001-01-01 to the first day of the given year.
int64_t DaysBeforeYear(int y) {
    const int64_t p = y - 1;
    return p * 365 + p / 4 - p / 100 + p / 400;
}

}  // namespace

std::optional<int64_t> FrameTimeOf(int year, int month, int day, int hour, int minute, int second,
                                   int ms) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysIn(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59 || ms < 0 || ms > 999)
        return std::nullopt;
    int64_t days = DaysBeforeYear(year);
    for (int m = 1; m < month; ++m) days += DaysIn(year, m);
    days += day - 1;
    const int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return seconds * kTicksPerSecond + ms * kTicksPerMs;
}

std::optional<int64_t> ParseTime(std::string_view text) {
    int f[7] = {0, 0, 0, 0, 0, 0, 0};
    size_t i = 0;
    // year / month / day sep hour : minute : second [. ms]
    static const char* const separators[] = {"/-", "/-", " -T", ":", ":", "."};
    for (int field = 0; field < 7; ++field) {
        if (field > 0) {
            if (i >= text.size()) {
                if (field == 6) break;  // the milliseconds are optional
                return std::nullopt;
            }
            bool ok = false;
            for (const char* s = separators[field - 1]; *s; ++s) ok = ok || text[i] == *s;
            if (!ok) return std::nullopt;
            ++i;
        }
        const size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 4) {
            f[field] = f[field] * 10 + (text[i] - '0');
            ++i;
        }
        if (i == start) return std::nullopt;
        if (field == 6) {  // ".5" is 500 ms, ".05" 50 ms
            for (size_t n = i - start; n < 3; ++n) f[6] *= 10;
            if (i - start > 3) return std::nullopt;
        }
    }
    if (i != text.size()) return std::nullopt;
    return FrameTimeOf(f[0], f[1], f[2], f[3], f[4], f[5], f[6]);
}

std::string TimeText(int64_t frameTime) {
    if (frameTime < 0) return "-";
    int64_t days = frameTime / (86400 * kTicksPerSecond);
    int64_t rest = frameTime % (86400 * kTicksPerSecond);
    int year = 1;
    // 400-year cycles have 146097 days; walk the rest year by year.
    year += static_cast<int>(days / 146097) * 400;
    days %= 146097;
    while (days >= (Leap(year) ? 366 : 365)) days -= Leap(year++) ? 366 : 365;
    int month = 1;
    while (days >= DaysIn(year, month)) days -= DaysIn(year, month++);
    const int ms = static_cast<int>(rest / kTicksPerMs % 1000);
    rest /= kTicksPerSecond;
    char out[64];
    std::snprintf(out, sizeof out, "%04d/%02d/%02d %02d:%02d:%02d.%03d", year, month,
                  static_cast<int>(days) + 1, static_cast<int>(rest / 3600),
                  static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60), ms);
    return out;
}

}  // namespace recorder
