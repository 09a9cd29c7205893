#include "platform/wintime.h"

#include <sched.h>
#include <time.h>

#include <chrono>
#include <thread>

namespace platform {
namespace {

// Days from 0000-03-01, the origin of the era arithmetic below, to 1601-01-01.
constexpr int64_t kDaysTo1601 = 584'694;

// Days from 1601-01-01 to the given proleptic Gregorian date (after H. Hinnant's algorithm,
// shifted so that eras start on March 1 of years divisible by 400).
int64_t DaysFrom1601(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146'097 + static_cast<int64_t>(doe) - kDaysTo1601;
}

void CivilFromDays1601(int64_t days, int64_t* y, unsigned* m, unsigned* d) {
    const int64_t z = days + kDaysTo1601;
    const int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
    const unsigned doe = static_cast<unsigned>(z - era * 146'097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool IsLeap(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(unsigned y, unsigned m) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

void FromTimespec(const timespec& ts, const tm& t, SYSTEMTIME* st) {
    st->wYear = static_cast<uint16_t>(t.tm_year + 1900);
    st->wMonth = static_cast<uint16_t>(t.tm_mon + 1);
    st->wDayOfWeek = static_cast<uint16_t>(t.tm_wday);
    st->wDay = static_cast<uint16_t>(t.tm_mday);
    st->wHour = static_cast<uint16_t>(t.tm_hour);
    st->wMinute = static_cast<uint16_t>(t.tm_min);
    st->wSecond = static_cast<uint16_t>(t.tm_sec);
    st->wMilliseconds = static_cast<uint16_t>(ts.tv_nsec / 1'000'000);
}

int64_t NowNs(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

bool FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) {
    if (ft == nullptr || st == nullptr || *ft >= 0x8000000000000000ULL) return false;
    const uint64_t days = *ft / kTicksPerDay;
    uint64_t rest = *ft % kTicksPerDay;
    int64_t y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays1601(static_cast<int64_t>(days), &y, &m, &d);
    st->wYear = static_cast<uint16_t>(y);
    st->wMonth = static_cast<uint16_t>(m);
    st->wDay = static_cast<uint16_t>(d);
    st->wDayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
    st->wHour = static_cast<uint16_t>(rest / (3600 * kTicksPerSecond));
    rest %= 3600 * kTicksPerSecond;
    st->wMinute = static_cast<uint16_t>(rest / (60 * kTicksPerSecond));
    rest %= 60 * kTicksPerSecond;
    st->wSecond = static_cast<uint16_t>(rest / kTicksPerSecond);
    rest %= kTicksPerSecond;
    st->wMilliseconds = static_cast<uint16_t>(rest / kTicksPerMillisecond);
    return true;
}

bool SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) {
    if (st == nullptr || ft == nullptr) return false;
    if (st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12) return false;
    if (st->wDay < 1 || st->wDay > DaysInMonth(st->wYear, st->wMonth)) return false;
    if (st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999)
        return false;
    const auto days = static_cast<uint64_t>(DaysFrom1601(st->wYear, st->wMonth, st->wDay));
    *ft = days * kTicksPerDay +
          ((st->wHour * 60ULL + st->wMinute) * 60ULL + st->wSecond) * kTicksPerSecond +
          st->wMilliseconds * kTicksPerMillisecond;
    return true;
}

void GetLocalTime(SYSTEMTIME* st) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    localtime_r(&ts.tv_sec, &t);
    FromTimespec(ts, t, st);
}

void GetSystemTime(SYSTEMTIME* st) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t{};
    gmtime_r(&ts.tv_sec, &t);
    FromTimespec(ts, t, st);
}

FILETIME GetSystemTimeAsFileTime() {
    constexpr uint64_t kUnixEpochAsFileTime = 116'444'736'000'000'000ULL;
    return kUnixEpochAsFileTime + static_cast<uint64_t>(NowNs(CLOCK_REALTIME) / 100);
}

uint64_t GetTickCount64() {
    return static_cast<uint64_t>(NowNs(CLOCK_BOOTTIME) / 1'000'000);
}

uint32_t GetTickCount() {
    return static_cast<uint32_t>(GetTickCount64());
}

bool QueryPerformanceCounter(int64_t* count) {
    if (count == nullptr) return false;
    *count = NowNs(CLOCK_MONOTONIC);
    return true;
}

bool QueryPerformanceFrequency(int64_t* frequency) {
    if (frequency == nullptr) return false;
    *frequency = 1'000'000'000;
    return true;
}

void Sleep(uint32_t milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool SwitchToThread() {
    return sched_yield() == 0;
}

}  // namespace platform
