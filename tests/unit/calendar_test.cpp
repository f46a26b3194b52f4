#include <gtest/gtest.h>

#include "win_test_util.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "acquisition/calendar.h"

namespace {

SYSTEMTIME Days(WORD days) {
    SYSTEMTIME t = {};
    t.wDay = days;
    return t;
}

SYSTEMTIME Seconds(WORD seconds) {
    SYSTEMTIME t = {};
    t.wSecond = seconds;
    return t;
}

std::string Show(const SYSTEMTIME& t) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "%u/%u/%u %u:%u:%u.%u dow %u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond, t.wMilliseconds, t.wDayOfWeek);
    return buf;
}

// Compares every field, day of week and milliseconds included.
void ExpectTime(const SYSTEMTIME& actual, const SYSTEMTIME& expected, WORD dayOfWeek) {
    SYSTEMTIME want = expected;
    want.wDayOfWeek = dayOfWeek;
    EXPECT_EQ(Show(actual), Show(want));
}

}  // namespace

TEST(CalendarAddInterval, ThreeDaysAcrossMonthAndYearEnds) {
    ExpectTime(AddInterval(At(2007, 12, 30, 14, 5, 33, 250), Days(3)), At(2008, 1, 2, 14, 5, 33, 0), 3);
    ExpectTime(AddInterval(At(2007, 12, 31, 23, 59, 59), Days(3)), At(2008, 1, 3, 23, 59, 59), 4);
    ExpectTime(AddInterval(At(2007, 11, 5, 13, 7), Days(3)), At(2007, 11, 8, 13, 7), 4);
}

TEST(CalendarAddInterval, FebruaryFollowsTheGregorianLeapYearRule) {
    ExpectTime(AddInterval(At(2008, 2, 27, 9, 0), Days(3)), At(2008, 3, 1, 9, 0), 6);
    ExpectTime(AddInterval(At(2007, 2, 27, 9, 0), Days(3)), At(2007, 3, 2, 9, 0), 5);
    ExpectTime(AddInterval(At(2100, 2, 27, 9, 0), Days(3)), At(2100, 3, 2, 9, 0), 2);
    ExpectTime(AddInterval(At(2000, 2, 27, 9, 0), Days(3)), At(2000, 3, 1, 9, 0), 3);
}

TEST(CalendarAddInterval, TimeFieldsCarryOnce) {
    ExpectTime(AddInterval(At(2007, 5, 10, 10, 59, 45), Seconds(30)), At(2007, 5, 10, 11, 0, 15), 4);
    ExpectTime(AddInterval(At(2007, 5, 10, 23, 59, 45), Seconds(30)), At(2007, 5, 11, 0, 0, 15), 5);
    // 140 seconds is reduced by 60 once only.
    ExpectTime(AddInterval(At(2007, 5, 10, 10, 50, 50), Seconds(100)), At(2007, 5, 10, 10, 51, 90), 4);
}

TEST(CalendarAddInterval, DayTestUsesTheBaseMonth) {
    SYSTEMTIME oneMonth = {};
    oneMonth.wMonth = 1;
    ExpectTime(AddInterval(At(2007, 1, 31), oneMonth), At(2007, 2, 31), 6);
    SYSTEMTIME oneYear = {};
    oneYear.wYear = 1;
    ExpectTime(AddInterval(At(2007, 6, 15), oneYear), At(2008, 6, 15), 0);
}

TEST(CalendarAddInterval, MonthOutsideTheTableStaysInBounds) {
    // Never produced by the clock; must not read past the month table.
    const SYSTEMTIME r = AddInterval(At(2007, 13, 30), Days(3));
    EXPECT_EQ(r.wDay, 2) << Show(r);
    EXPECT_LT(r.wDayOfWeek, 7) << Show(r);
}

TEST(CalendarCompare, OrdersByDateAndTimeOnly) {
    SYSTEMTIME a = At(2007, 11, 5, 13, 7, 30, 100);
    SYSTEMTIME b = a;
    b.wMilliseconds = 999;
    b.wDayOfWeek = 6;
    EXPECT_EQ(CompareTimestamps(a, b), 0);
    EXPECT_EQ(CompareTimestamps(b, a), 0);

    WORD SYSTEMTIME::* const fields[] = {&SYSTEMTIME::wYear, &SYSTEMTIME::wMonth, &SYSTEMTIME::wDay,
                                        &SYSTEMTIME::wHour, &SYSTEMTIME::wMinute, &SYSTEMTIME::wSecond};
    for (auto field : fields) {
        SYSTEMTIME later = a;
        ++(later.*field);
        EXPECT_EQ(CompareTimestamps(a, later), -1) << Show(later);
        EXPECT_EQ(CompareTimestamps(later, a), 1) << Show(later);
    }
    // The first differing field decides, whatever the later ones say.
    EXPECT_EQ(CompareTimestamps(At(2008, 1, 1, 0, 0, 0), At(2007, 12, 31, 23, 59, 59)), 1);
    EXPECT_EQ(CompareTimestamps(At(2007, 12, 31, 23, 59, 59), At(2008, 1, 1)), -1);
}

TEST(CalendarCompare, ZeroRecordIsEarlierThanAnyRealTime) {
    const SYSTEMTIME zero = {};
    EXPECT_EQ(CompareTimestamps(zero, At(1601, 1, 1)), -1);
    EXPECT_EQ(CompareTimestamps(zero, At(2007, 11, 8, 13, 7)), -1);
    EXPECT_EQ(CompareTimestamps(At(2007, 11, 8, 13, 7), zero), 1);
    EXPECT_EQ(CompareTimestamps(zero, zero), 0);
}

TEST(CalendarPlatformAgreement, ThreeDaysMatchesFileTimeForEveryDay2000To2100) {
    constexpr ULONGLONG kDay = 864000000000ULL;  // 100 ns units
    SYSTEMTIME day = At(2000, 1, 1, 14, 5, 33, 250);
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&day, &ft));
    ULARGE_INTEGER t{};
    t.LowPart = ft.dwLowDateTime;
    t.HighPart = ft.dwHighDateTime;
    int checked = 0;
    int mismatches = 0;
    for (;;) {
        FILETIME cur{t.LowPart, t.HighPart};
        SYSTEMTIME base;
        ASSERT_TRUE(FileTimeToSystemTime(&cur, &base));
        if (base.wYear > 2100) break;

        ULARGE_INTEGER plus = t;
        plus.QuadPart += 3 * kDay;
        FILETIME later{plus.LowPart, plus.HighPart};
        SYSTEMTIME expected;
        ASSERT_TRUE(FileTimeToSystemTime(&later, &expected));
        expected.wMilliseconds = 0;  // not carried over

        const SYSTEMTIME actual = AddInterval(base, Days(3));
        if (Show(actual) != Show(expected) && ++mismatches <= 10)
            ADD_FAILURE() << "base " << Show(base) << ": got " << Show(actual) << ", platform " << Show(expected);
        ++checked;
        t.QuadPart += kDay;
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(checked, 36890);  // 2000-01-01 .. 2100-12-31
}
