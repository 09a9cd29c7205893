// Calendar and clock interfaces with the semantics of their Windows namesakes.
#pragma once
#include <cstdint>

namespace platform {

struct SYSTEMTIME {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;  // 0 = Sunday
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
};

// A FILETIME is a count of 100 ns intervals since 1601-01-01 00:00:00 UTC,
// held here as one 64-bit value rather than two 32-bit halves.
using FILETIME = uint64_t;

constexpr uint64_t kTicksPerMillisecond = 10'000;
constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr uint64_t kTicksPerDay = 864'000'000'000;

// Fails (returns false, leaves *st untouched) for values of 0x8000000000000000 and above.
bool FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st);
// Fails on any field out of range: year 1601..30827, month 1..12, day within its month,
// hour < 24, minute < 60, second < 60, millisecond < 1000. wDayOfWeek is ignored.
bool SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft);

void GetLocalTime(SYSTEMTIME* st);
void GetSystemTime(SYSTEMTIME* st);
// Current UTC time as a FILETIME.
FILETIME GetSystemTimeAsFileTime();

// Milliseconds since boot, wrapping after 49.7 days like its namesake.
uint32_t GetTickCount();
uint64_t GetTickCount64();
bool QueryPerformanceCounter(int64_t* count);
bool QueryPerformanceFrequency(int64_t* frequency);

void Sleep(uint32_t milliseconds);
// Gives up the rest of the time slice.
bool SwitchToThread();

}  // namespace platform
