// Recorder time: the frame records count 100 ns units from 0001-01-01 00:00:00, the recorder's
// query takes calendar fields, and people read "YYYY/MM/DD hh:mm:ss.mmm".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <varnel/varnel.h>

namespace play {

constexpr int64_t kTicksPerSecond = 10'000'000;

// "YYYY/MM/DD hh:mm:ss.mmm" of a frame time; "-" for a negative time (none).
std::string FrameTimeText(int64_t frameTime);

// Parses "YYYY/MM/DD hh:mm:ss" (also with '-' in the date, 'T' between date and time, and an
// optional ".mmm" that the query cannot carry and is therefore rejected when not zero).
std::optional<StreamSettingTime> ParseCalendar(std::string_view text);

// The frame time at the start of a calendar second, and back.
int64_t FrameTimeOf(const StreamSettingTime& t);
StreamSettingTime CalendarOf(int64_t frameTime);

// Where a seek to the frame time goes within the range [begin, end]: the nearest whole second,
// as the recorder's query counts them, and forward (orientation 1) a second before the end at
// the latest, so that there is something to play.
int64_t SeekSecond(int64_t frameTime, int64_t begin, int64_t end, int orientation);
// The percentage for an on-file position call that enters the group starting at the frame
// time, of an index holding the frame times from to upTo. The index counts groups, not time,
// so the place among the times stands for the place among the groups; rounded up, since a
// percentage enters the group in which it falls.
int32_t PercentOfHeld(int64_t frameTime, int64_t from, int64_t upTo);

}  // namespace play
