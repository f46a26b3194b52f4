#include "acquisition/calendar.h"

#include <cstdint>

namespace {

// Month lengths by month number; February comes from the leap-year rule.
constexpr WORD daysInMonth[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

}  // namespace

WORD MonthLength(WORD month, WORD year) {
    if (month == 2) {
        if (year % 400 == 0) return 29;
        if (year % 100 == 0) return 28;
        return year % 4 == 0 ? 29 : 28;
    }
    // Dates come from the system clock; a month outside 1..12 must still not
    // read past the table.
    if (month < 1 || month > 12) return 31;
    return daysInMonth[month];
}

namespace {

// Zeller's congruence (0 for Saturday), shifted by 6 so that 0 is Sunday.
WORD DayOfWeek(WORD day, WORD month, WORD year) {
    uint32_t m = month;
    uint32_t y = year;
    if (month == 1 || month == 2) {
        m += 12;
        y -= 1;  // wraps for year 0; unsigned arithmetic keeps it defined
    }
    const uint32_t sum = day + y + y / 4 - y / 100 + y / 400 + 26 * (m + 1) / 10 + 6;
    return static_cast<WORD>(sum % 7);
}

}  // namespace

SYSTEMTIME AddInterval(SYSTEMTIME base, SYSTEMTIME interval) {
    // Every sum lands in a 16-bit field first and is tested there; each field
    // is reduced at most once, and the milliseconds are not carried over.
    SYSTEMTIME r = {};
    WORD carry = 0;

    r.wSecond = static_cast<WORD>(base.wSecond + interval.wSecond);
    if (r.wSecond >= 60) {
        r.wSecond = static_cast<WORD>(r.wSecond - 60);
        carry = 1;
    }
    r.wMinute = static_cast<WORD>(base.wMinute + interval.wMinute + carry);
    carry = 0;
    if (r.wMinute >= 60) {
        r.wMinute = static_cast<WORD>(r.wMinute - 60);
        carry = 1;
    }
    r.wHour = static_cast<WORD>(base.wHour + interval.wHour + carry);
    carry = 0;
    if (r.wHour >= 24) {
        r.wHour = static_cast<WORD>(r.wHour - 24);
        carry = 1;
    }
    r.wDay = static_cast<WORD>(base.wDay + interval.wDay + carry);

    r.wMonth = static_cast<WORD>(base.wMonth + interval.wMonth);
    r.wYear = static_cast<WORD>(base.wYear + interval.wYear);
    if (base.wMonth + interval.wMonth > 12) {
        r.wMonth = static_cast<WORD>(r.wMonth - 12);
        r.wYear = static_cast<WORD>(r.wYear + 1);
    }

    // The day test uses the base date's month: the same month as the result
    // for the intervals the program adds (days only).
    const WORD monthLength = MonthLength(base.wMonth, base.wYear);
    if (r.wDay > monthLength) {
        r.wDay = static_cast<WORD>(r.wDay - monthLength);
        if (r.wMonth == 12) {
            r.wMonth = 1;
            r.wYear = static_cast<WORD>(r.wYear + 1);
        } else {
            r.wMonth = static_cast<WORD>(r.wMonth + 1);
        }
    }

    r.wDayOfWeek = DayOfWeek(r.wDay, r.wMonth, r.wYear);
    return r;
}

int CompareTimestamps(SYSTEMTIME first, SYSTEMTIME second) {
    const WORD a[] = {first.wYear, first.wMonth, first.wDay, first.wHour, first.wMinute, first.wSecond};
    const WORD b[] = {second.wYear, second.wMonth, second.wDay, second.wHour, second.wMinute, second.wSecond};
    for (size_t i = 0; i < 6; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}
