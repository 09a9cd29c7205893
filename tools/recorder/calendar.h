// Recorder time: 100 ns units from 0001-01-01 00:00:00 of the proleptic Gregorian calendar,
// computed here on its own (not through the library's conversions), so that a mistake in one
// shows against the other.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace recorder {

constexpr int64_t kTicksPerMs = 10'000;
constexpr int64_t kTicksPerSecond = 10'000'000;

// Fields must be in range (year 1..9999); nullopt otherwise.
std::optional<int64_t> FrameTimeOf(int year, int month, int day, int hour, int minute, int second,
                                   int ms);
// "YYYY/MM/DD hh:mm:ss[.mmm]"; '-' may stand for '/' in the date and between date and time.
std::optional<int64_t> ParseTime(std::string_view text);
// "YYYY/MM/DD hh:mm:ss.mmm".
std::string TimeText(int64_t frameTime);

}  // namespace recorder
