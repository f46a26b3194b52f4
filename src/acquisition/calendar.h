#pragma once
// Date arithmetic for expiry times, on the platform's SYSTEMTIME record.
#include <windows.h>

// base + interval (year, month, day, hour, minute and second of the interval
// are used), each field carried at most once; day of week recomputed,
// milliseconds 0. The base's month must lie in 1 to 12.
SYSTEMTIME AddInterval(SYSTEMTIME base, SYSTEMTIME interval);

// -1 when first is earlier, 1 when later, 0 when equal in year, month, day,
// hour, minute and second.
int CompareTimestamps(SYSTEMTIME first, SYSTEMTIME second);

// Days in `month` (1 to 12) of `year`, by the Gregorian leap-year rule; 31
// for a month outside 1 to 12.
WORD MonthLength(WORD month, WORD year);
