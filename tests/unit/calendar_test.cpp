// Expiry arithmetic: checked against the platform's own FILETIME arithmetic
// for every day of a century. (The comparison is checked by the download
// decision's expiry rows.)
#include <gtest/gtest.h>

#include <cstdio>

#include "acquisition/calendar.h"
#include "test_util.h"

namespace {

std::string Full(const SYSTEMTIME& t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%u/%u/%u %u:%u:%u.%u dow %u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond, t.wMilliseconds, t.wDayOfWeek);
    return buf;
}

TEST(Calendar, ThreeDaysAgreeWithThePlatformForEveryDay2000To2100) {
    constexpr ULONGLONG kDay = 864000000000ULL;  // 100 ns units
    SYSTEMTIME base = At(2000, 1, 1, 14, 5, 33), threeDays = At(0, 0, 3);
    base.wMilliseconds = 250;
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&base, &ft));
    ULARGE_INTEGER t{{ft.dwLowDateTime, ft.dwHighDateTime}};
    int days = 0, mismatches = 0;
    for (; base.wYear <= 2100; ++days, t.QuadPart += kDay) {
        FILETIME now{t.LowPart, t.HighPart}, later{static_cast<DWORD>(t.QuadPart + 3 * kDay),
                                                   static_cast<DWORD>((t.QuadPart + 3 * kDay) >> 32)};
        SYSTEMTIME expected;
        ASSERT_TRUE(FileTimeToSystemTime(&now, &base) && FileTimeToSystemTime(&later, &expected));
        if (base.wYear > 2100) break;
        expected.wMilliseconds = 0;
        const SYSTEMTIME actual = AddInterval(base, threeDays);
        if (Full(actual) != Full(expected) && ++mismatches <= 5)
            ADD_FAILURE() << Full(base) << " + 3 days: " << Full(actual) << ", platform " << Full(expected);
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(days, 36890);
}

}  // namespace
