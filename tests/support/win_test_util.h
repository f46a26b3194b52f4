#pragma once
// Helpers shared by the test suites: bounded waits instead of sleeps, and
// file helpers for the files the program keeps beside its executable.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Sentinel written into the last error before a call, as Wine's own tests do.
inline constexpr DWORD kLastErrorSentinel = 0xdeadbeef;

// Dispatches this thread's messages until `done` is true or `timeoutMs` has
// passed. Returns the last value of `done`.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

// Dispatches this thread's messages for `ms` milliseconds.
void PumpFor(DWORD ms);

// Directory of the running test executable, with its final backslash.
std::wstring ExeDirectory();

std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const void* data, size_t size);
inline bool WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes) {
    return WriteFileBytes(path, bytes.data(), bytes.size());
}
bool FileExists(const std::wstring& path);
// Removes a file, clearing a read-only attribute first; true when it is gone.
bool RemoveFile(const std::wstring& path);

// The UTF-16LE bytes of a text, as the program writes them.
std::vector<unsigned char> Utf16Bytes(const std::wstring& text);

std::string Narrow(const std::wstring& text);

// A SYSTEMTIME with the given fields; day of week 0.
SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0, WORD ms = 0);
