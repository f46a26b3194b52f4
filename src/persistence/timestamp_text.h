#pragma once
// The timestamp text "%04d/%02d/%02d\t%02d:%02d": how times are stored in the
// settings file and shown in the main dialog.
#include <windows.h>

#include <span>

inline constexpr size_t kTimestampChars = 16;

// Formats year, month, day, hour and minute of `time` into `buf` (cleared first).
void FormatTimestamp(const SYSTEMTIME& time, std::span<wchar_t> buf);
