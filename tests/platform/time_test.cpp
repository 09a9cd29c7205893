// Calendar conversions, checked against python's datetime as an independent computation.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/wintime.h"

using platform::FILETIME;
using platform::SYSTEMTIME;

TEST(FileTime, RandomInstantsMatchDatetimeBothWaysAndInvalidValuesAreRefused) {
    std::mt19937_64 rng(20261206);
    FILETIME last{};
    SYSTEMTIME top{30827, 12, 0, 31, 23, 59, 59, 999};
    ASSERT_TRUE(platform::SystemTimeToFileTime(&top, &last));
    std::uniform_int_distribution<uint64_t> any(0, last);
    std::vector<FILETIME> values = {0, 1, last, 864000000000ULL * 365 - 1};
    while (values.size() < 10'000) values.push_back(any(rng));
    const std::string in = std::string(VARNEL_BINARY_DIR) + "/time_reference_in.txt";
    for (std::ofstream file(in); FILETIME v : values) file << v << "\n";
    const std::string cmd = "python3 " VARNEL_TEST_SOURCE_DIR "/time_reference.py < " + in;
    FILE* p = popen(cmd.c_str(), "r");
    std::string text(1 << 20, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), p));
    EXPECT_EQ(pclose(p), 0);
    std::remove(in.c_str());
    std::istringstream ref(text);
    for (FILETIME v : values) {
        std::string line;
        ASSERT_TRUE(std::getline(ref, line)) << v;
        SYSTEMTIME st{};
        ASSERT_TRUE(platform::FileTimeToSystemTime(&v, &st)) << v;
        char mine[64];
        std::snprintf(mine, sizeof mine, "%d %d %d %d %d %d %d %d", st.wYear, st.wMonth,
                      st.wDayOfWeek, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
        EXPECT_EQ(mine, line) << v;
        FILETIME back = 1;
        ASSERT_TRUE(platform::SystemTimeToFileTime(&st, &back));
        EXPECT_EQ(back, v - v % platform::kTicksPerMillisecond);
    }
    // Out of range both ways.
    SYSTEMTIME st{};
    for (FILETIME ft : {0x8000000000000000ULL, ~0ULL})
        EXPECT_FALSE(platform::FileTimeToSystemTime(&ft, &st));
    FILETIME ft = 0x7FFFFFFFFFFFFFFFULL;  // the largest accepted value, in year 30828
    EXPECT_TRUE(platform::FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 30828);
    // year month day hour minute second millisecond, one field out of range each
    const SYSTEMTIME bad[] = {
        {1600, 12, 0, 31, 0, 0, 0, 0}, {30828, 1, 0, 1, 0, 0, 0, 0}, {2000, 0, 0, 1, 0, 0, 0, 0},
        {2000, 13, 0, 1, 0, 0, 0, 0},  {2000, 1, 0, 0, 0, 0, 0, 0},  {2001, 2, 0, 29, 0, 0, 0, 0},
        {1900, 2, 0, 29, 0, 0, 0, 0},  {2000, 4, 0, 31, 0, 0, 0, 0}, {2000, 1, 0, 1, 24, 0, 0, 0},
        {2000, 1, 0, 1, 0, 60, 0, 0},  {2000, 1, 0, 1, 0, 0, 60, 0}, {2000, 1, 0, 1, 0, 0, 0, 1000},
    };
    for (const SYSTEMTIME& b : bad) {
        FILETIME out = 42;
        EXPECT_FALSE(platform::SystemTimeToFileTime(&b, &out)) << b.wYear << "-" << b.wMonth;
        EXPECT_EQ(out, 42u);
    }
    const SYSTEMTIME leap{2000, 2, 0, 29, 23, 59, 59, 999};
    EXPECT_TRUE(platform::SystemTimeToFileTime(&leap, &ft));
}
