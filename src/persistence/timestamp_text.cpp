#include "persistence/timestamp_text.h"

#include <algorithm>
#include <cwchar>

void FormatTimestamp(const SYSTEMTIME& time, std::span<wchar_t> buf) {
    std::fill(buf.begin(), buf.end(), L'\0');
    if (buf.size() < 2) return;
    // Bounded: a too-small buffer gets a cut, terminated text.
    _snwprintf(buf.data(), buf.size() - 1, L"%04d/%02d/%02d\t%02d:%02d", time.wYear, time.wMonth, time.wDay,
               time.wHour, time.wMinute);
    buf.back() = L'\0';
}
