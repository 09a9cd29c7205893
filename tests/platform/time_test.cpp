// Calendar conversions, checked against python's datetime as an independent computation.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/wintime.h"

using platform::FILETIME;
using platform::SYSTEMTIME;

namespace {

std::string RunReference(const std::vector<FILETIME>& values) {
    const std::string in = std::string(VARNEL_BINARY_DIR) + "/time_reference_in.txt";
    FILE* f = std::fopen(in.c_str(), "w");
    for (FILETIME v : values) std::fprintf(f, "%llu\n", static_cast<unsigned long long>(v));
    std::fclose(f);
    const std::string cmd = "python3 " VARNEL_TEST_SOURCE_DIR "/time_reference.py < " + in;
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0);
    std::remove(in.c_str());
    return out;
}

SYSTEMTIME Make(int y, int mo, int d, int h, int mi, int s, int ms) {
    SYSTEMTIME st{};
    st.wYear = static_cast<uint16_t>(y);
    st.wMonth = static_cast<uint16_t>(mo);
    st.wDay = static_cast<uint16_t>(d);
    st.wHour = static_cast<uint16_t>(h);
    st.wMinute = static_cast<uint16_t>(mi);
    st.wSecond = static_cast<uint16_t>(s);
    st.wMilliseconds = static_cast<uint16_t>(ms);
    return st;
}

}  // namespace

TEST(FileTime, RandomInstantsMatchDatetimeBothWays) {
    std::mt19937_64 rng(20261206);
    FILETIME last{};
    SYSTEMTIME top = Make(30827, 12, 31, 23, 59, 59, 999);
    ASSERT_TRUE(platform::SystemTimeToFileTime(&top, &last));
    std::uniform_int_distribution<uint64_t> any(0, last);
    std::vector<FILETIME> values = {0, 1, last, 864000000000ULL * 365 - 1};
    while (values.size() < 10'000) values.push_back(any(rng));
    std::istringstream ref(RunReference(values));
    for (FILETIME v : values) {
        int y, mo, wd, d, h, mi, s, ms;
        ASSERT_TRUE(ref >> y >> mo >> wd >> d >> h >> mi >> s >> ms) << v;
        SYSTEMTIME st{};
        ASSERT_TRUE(platform::FileTimeToSystemTime(&v, &st)) << v;
        EXPECT_EQ(st.wYear, y) << v;
        EXPECT_EQ(st.wMonth, mo) << v;
        EXPECT_EQ(st.wDayOfWeek, wd) << v;
        EXPECT_EQ(st.wDay, d) << v;
        EXPECT_EQ(st.wHour, h) << v;
        EXPECT_EQ(st.wMinute, mi) << v;
        EXPECT_EQ(st.wSecond, s) << v;
        EXPECT_EQ(st.wMilliseconds, ms) << v;
        FILETIME back = 1;
        ASSERT_TRUE(platform::SystemTimeToFileTime(&st, &back));
        EXPECT_EQ(back, v - v % platform::kTicksPerMillisecond);
    }
}

TEST(FileTime, RejectsInvalidValues) {
    SYSTEMTIME st = Make(2000, 1, 1, 0, 0, 0, 0);
    FILETIME ft = 0x8000000000000000ULL;
    EXPECT_FALSE(platform::FileTimeToSystemTime(&ft, &st));
    ft = ~0ULL;
    EXPECT_FALSE(platform::FileTimeToSystemTime(&ft, &st));
    ft = 0x7FFFFFFFFFFFFFFFULL;  // the largest accepted value, in year 30828
    EXPECT_TRUE(platform::FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 30828);

    const SYSTEMTIME bad[] = {
        Make(1600, 12, 31, 0, 0, 0, 0), Make(30828, 1, 1, 0, 0, 0, 0),
        Make(2000, 0, 1, 0, 0, 0, 0),   Make(2000, 13, 1, 0, 0, 0, 0),
        Make(2000, 1, 0, 0, 0, 0, 0),   Make(2001, 2, 29, 0, 0, 0, 0),
        Make(1900, 2, 29, 0, 0, 0, 0),  Make(2000, 4, 31, 0, 0, 0, 0),
        Make(2000, 1, 1, 24, 0, 0, 0),  Make(2000, 1, 1, 0, 60, 0, 0),
        Make(2000, 1, 1, 0, 0, 60, 0),  Make(2000, 1, 1, 0, 0, 0, 1000),
    };
    for (const SYSTEMTIME& b : bad) {
        FILETIME out = 42;
        EXPECT_FALSE(platform::SystemTimeToFileTime(&b, &out)) << b.wYear << "-" << b.wMonth;
        EXPECT_EQ(out, 42u);
    }
    const SYSTEMTIME leap = Make(2000, 2, 29, 23, 59, 59, 999);
    EXPECT_TRUE(platform::SystemTimeToFileTime(&leap, &ft));
}

TEST(FileTime, FrameTimeExampleIsYear3619) {
    // A frame time counts from year 1, 1600 years before the FILETIME origin.
    const SYSTEMTIME as3619 = Make(3619, 7, 4, 7, 30, 56, 0);
    FILETIME ft = 0;
    ASSERT_TRUE(platform::SystemTimeToFileTime(&as3619, &ft));
    const uint64_t days1To2019 = 737'243;  // 0001-01-01 .. 2019-07-04, proleptic Gregorian
    EXPECT_EQ(ft, days1To2019 * platform::kTicksPerDay + (7 * 3600 + 30 * 60 + 56) * 10'000'000ULL);
    SYSTEMTIME st{};
    ASSERT_TRUE(platform::FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 3619);
    EXPECT_EQ(st.wDayOfWeek, 4);  // 2019-07-04 was a Thursday, and so is 3619-07-04
}

TEST(Clock, CountersAdvance) {
    int64_t f = 0, a = 0, b = 0;
    ASSERT_TRUE(platform::QueryPerformanceFrequency(&f));
    EXPECT_GT(f, 1000);
    platform::QueryPerformanceCounter(&a);
    const uint32_t t0 = platform::GetTickCount();
    platform::Sleep(20);
    platform::QueryPerformanceCounter(&b);
    EXPECT_GE((b - a) * 1000 / f, 19);
    EXPECT_GE(static_cast<uint32_t>(platform::GetTickCount() - t0), 15u);
    SYSTEMTIME now{};
    platform::GetLocalTime(&now);
    EXPECT_GE(now.wYear, 2024);
}
