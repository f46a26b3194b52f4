#include "persistence/settings_file.h"

#include <algorithm>
#include <cwchar>
#include <mutex>
#include <string_view>
#include <vector>

#include "acquisition/calendar.h"
#include "base/lock_retry.h"
#include "base/module_path.h"
#include "base/scoped_win.h"
#include "base/srw_lock.h"
#include "persistence/timestamp_text.h"

namespace {

// The main thread and both workers use the file. Each operation opens it
// without sharing, so without this lock one thread's open would fail while
// another thread of ours holds the file, and a value would be lost.
SrwLock settingsLock;

// Another program may hold the file for a moment (a virus scanner, an
// editor saving): try the open for a short while before giving up. Only a
// sharing violation is worth the wait; the main thread waits with it.
constexpr DWORD kOpenHeldErrors[] = {ERROR_SHARING_VIOLATION};
constexpr DWORD kOpenRetryMs = 225;

// 150 characters, of which at most 298 bytes are read: the last character
// stays zero.
constexpr size_t kReadChars = 150;
constexpr DWORD kReadBytes = 298;

constexpr size_t kPathChars = MAX_PATH;

// After the device's expiry: the time is UTC (older versions wrote local time, unmarked).
constexpr wchar_t kUtcMark = L'Z';

ScopedFile OpenSettings(DWORD access, DWORD disposition) {
    wchar_t path[kPathChars] = {};
    // Never touch a cut path.
    if (!MakeModulePath(path, kSettingsFileName)) return ScopedFile();
    ScopedFile file;
    RetryWhileHeld(
        [&] {
            file.Reset(CreateFileW(path, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
            return file.IsValid();
        },
        kOpenHeldErrors, kOpenRetryMs);
    return file;
}

bool ReadChunk(HANDLE file, wchar_t (&buf)[kReadChars], DWORD* got) {
    std::fill(std::begin(buf), std::end(buf), L'\0');
    *got = 0;
    return ReadFile(file, buf, kReadBytes, got, nullptr) && *got > 0;
}

bool WriteText(HANDLE file, std::wstring_view text) {
    const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    DWORD written = 0;
    return WriteFile(file, text.data(), bytes, &written, nullptr) && written == bytes;
}

// Looks for the first occurrence of `header` in the file by reading it in
// chunks of 298 bytes that overlap by one character less than the header, so
// a header across a chunk end lies whole in the next chunk. On success the
// file position is the first byte after the header.
bool FindSection(HANDLE file, std::wstring_view header) {
    const LONG headerBytes = static_cast<LONG>(header.size() * sizeof(wchar_t));
    if (header.empty()) return false;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER) return false;
    for (;;) {
        wchar_t buf[kReadChars];
        DWORD got = 0;
        if (!ReadChunk(file, buf, &got)) return false;
        // Search every character read, a trailing odd byte as a character of
        // its own: a stray zero character does not hide a header behind it.
        const std::wstring_view chunk(buf, (got + 1) / 2);
        const size_t i = chunk.find(header);
        if (i != std::wstring_view::npos) {
            const LONG move = static_cast<LONG>(2 * i) + headerBytes - static_cast<LONG>(got);
            return SetFilePointer(file, move, nullptr, FILE_CURRENT) != INVALID_SET_FILE_POINTER;
        }
        if (static_cast<LONG>(got) < headerBytes) return false;
        if (SetFilePointer(file, -(headerBytes - 2), nullptr, FILE_CURRENT) == INVALID_SET_FILE_POINTER)
            return false;
    }
}

// Writes `value` at the file position, where an old value begins. A hand-made
// old value shorter than `value` and followed by more text (its line end, the
// next header) is replaced by moving that text back, so the write never eats
// into the next line; otherwise the old value is overwritten in place.
bool WriteOverOldValue(HANDLE file, std::wstring_view value) {
    const DWORD start = SetFilePointer(file, 0, nullptr, FILE_CURRENT);
    if (start == INVALID_SET_FILE_POINTER) return false;
    wchar_t old[kReadChars] = {};
    DWORD got = 0;
    const DWORD probe = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    size_t oldChars = 0;
    bool shortAndFollowed = false;
    if (ReadFile(file, old, probe, &got, nullptr)) {
        const std::wstring_view seen(old, got / 2);
        oldChars = std::min(seen.find_first_of(L"\r\n["), seen.size());
        shortAndFollowed = oldChars < value.size() && oldChars < seen.size();
    }
    if (!shortAndFollowed) {
        return SetFilePointer(file, static_cast<LONG>(start), nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
               WriteText(file, value);
    }
    // The rest of the file after the short old value, written back after the new one.
    LARGE_INTEGER size = {};
    const DWORD restAt = start + static_cast<DWORD>(oldChars * sizeof(wchar_t));
    if (!GetFileSizeEx(file, &size) || size.HighPart != 0 || size.LowPart < restAt) return false;
    std::vector<char> rest(size.LowPart - restAt);
    DWORD restGot = 0;
    if (SetFilePointer(file, static_cast<LONG>(restAt), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(file, rest.data(), static_cast<DWORD>(rest.size()), &restGot, nullptr) || restGot != rest.size())
        return false;
    if (SetFilePointer(file, static_cast<LONG>(start), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !WriteText(file, value))
        return false;
    DWORD written = 0;
    return WriteFile(file, rest.data(), restGot, &written, nullptr) && written == restGot;
}

// Writes `value` over the old value after the header, or, when the header is
// missing or the overwrite fails, appends header, value and line end.
int WriteValue(std::wstring_view header, std::wstring_view value) {
    std::lock_guard<SrwLock> hold(settingsLock);
    ScopedFile file = OpenSettings(GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (!file) return 0;
    if (FindSection(file.Get(), header) && WriteOverOldValue(file.Get(), value)) return 1;
    if (SetFilePointer(file.Get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER) return 0;
    if (!WriteText(file.Get(), header)) return 0;
    wchar_t line[kReadChars] = {};
    std::copy(value.begin(), value.end(), line);
    std::copy_n(L"\r\n", 2, line + value.size());
    return WriteText(file.Get(), std::wstring_view(line, value.size() + 2)) ? 1 : 0;
}

// Reads the chunk that follows `header` into `buf`; false when the file, the
// section or its value is missing.
bool ReadValue(const wchar_t* header, wchar_t (&buf)[kReadChars]) {
    std::lock_guard<SrwLock> hold(settingsLock);
    ScopedFile file = OpenSettings(GENERIC_READ, OPEN_EXISTING);
    DWORD got = 0;
    return file && FindSection(file.Get(), header) && ReadChunk(file.Get(), buf, &got);
}

// Parses the timestamp text at the start of `buf`. A file torn by a power cut
// may keep its headers with zeros or junk where the digits were: such a time
// counts as missing, never as a year far ahead that would keep a stale file
// "unexpired" for ever.
bool ParseTimestamp(const wchar_t* buf, SYSTEMTIME* time) {
    *time = SYSTEMTIME{};
    const auto number = [buf](size_t at, size_t digits) {
        int value = 0;
        for (size_t k = at; k < at + digits; ++k) {
            if (buf[k] < L'0' || buf[k] > L'9') return -1;
            value = value * 10 + (buf[k] - L'0');
        }
        return value;
    };
    const int year = number(0, 4), month = number(5, 2), day = number(8, 2), hour = number(11, 2),
              minute = number(14, 2);
    if (year < 1601 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        day > MonthLength(static_cast<WORD>(month), static_cast<WORD>(year)))
        return false;
    time->wYear = static_cast<WORD>(year);
    time->wMonth = static_cast<WORD>(month);
    time->wDay = static_cast<WORD>(day);
    time->wHour = static_cast<WORD>(hour);
    time->wMinute = static_cast<WORD>(minute);
    return true;
}

bool HasSection(const wchar_t* header) {
    std::lock_guard<SrwLock> hold(settingsLock);
    ScopedFile file = OpenSettings(GENERIC_READ, OPEN_EXISTING);
    return file && FindSection(file.Get(), header);
}

}  // namespace

int WriteAutoUpdateFlag(int flag) {
    return WriteValue(kAutoUpdateHeader, flag ? L"1" : L"0");
}

int ReadAutoUpdateFlag() {
    wchar_t buf[kReadChars];
    if (!ReadValue(kAutoUpdateHeader, buf)) return 1;
    // Anything but "0" leaves auto-update on.
    return buf[0] == L'0' ? 0 : 1;
}

int WriteTimestamp(const wchar_t* header, SYSTEMTIME time) {
    if (!header) return 0;
    wchar_t value[kReadChars];
    FormatTimestamp(time, value);
    // The in-place overwrite is right only for exactly 16 characters; a
    // five-digit year or a field of 100 or more would eat into the next line.
    if (std::wcslen(value) != kTimestampChars) return 0;
    return WriteValue(header, std::wstring_view(value, kTimestampChars));
}

int ReadTimestamp(const wchar_t* header, SYSTEMTIME* time) {
    if (!time) return 0;
    *time = SYSTEMTIME{};  // first of all: callers test the year for zero
    if (!header) return 0;
    wchar_t buf[kReadChars];
    return ReadValue(header, buf) && ParseTimestamp(buf, time) ? 1 : 0;
}

int WriteDeviceExpiry(const SYSTEMTIME& expiry, DeviceReminder shown) {
    wchar_t value[kReadChars];
    FormatTimestamp(expiry, value);
    if (std::wcslen(value) != kTimestampChars) return 0;
    value[kTimestampChars] = kUtcMark;
    value[kTimestampChars + 1] = L' ';
    value[kTimestampChars + 2] = static_cast<wchar_t>(L'0' + shown);
    if (!HasSection(kDeviceExpiryHeader)) {
        // The four sections keep their places before this one: a missing
        // flag is written as it reads (on), a missing time leaves the expiry unknown.
        for (const wchar_t* header : {kDownloadTimeHeader, kUpdateTimeHeader, kExpireTimeHeader})
            if (!HasSection(header)) return 0;
        if (!HasSection(kAutoUpdateHeader) && !WriteAutoUpdateFlag(ReadAutoUpdateFlag())) return 0;
    }
    // One character longer than the older local value: that one is replaced
    // with its line end moved on, never written into.
    return WriteValue(kDeviceExpiryHeader, std::wstring_view(value, kTimestampChars + 3));
}

int ReadDeviceExpiry(SYSTEMTIME* expiry, DeviceReminder* shown) {
    wchar_t buf[kReadChars];
    *expiry = SYSTEMTIME{};
    *shown = NoReminderShown;
    if (!ReadValue(kDeviceExpiryHeader, buf)) return 0;
    // Older versions wrote the wall clock of the zone they ran in, without
    // the mark: the best guess is the zone the user is in now.
    const bool utc = buf[kTimestampChars] == kUtcMark;
    const wchar_t* rest = buf + kTimestampChars + (utc ? 1 : 0);
    SYSTEMTIME read = {};
    if (rest[0] != L' ' || rest[1] < L'0' || rest[1] > L'2' || !ParseTimestamp(buf, &read)) return 0;
    const SYSTEMTIME local = read;
    if (!utc && !TzSpecificLocalTimeToSystemTime(nullptr, &local, &read)) return 0;
    *expiry = read;
    *shown = static_cast<DeviceReminder>(rest[1] - L'0');
    return 1;
}
