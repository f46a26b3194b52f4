#pragma once
// Helpers of every suite: bounded waits instead of sleeps, threads started the
// way the program starts its workers, and the files beside an executable.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Dispatches this thread's messages until `done` holds or `timeoutMs` passed;
// the last value of `done`.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 15000);

// Runs the functions on threads of their own, released together; returns when
// all have ended. Platform threads, as the program's workers are.
void RunTogether(const std::vector<std::function<void()>>& work);

// Directory of the running test executable, with its final backslash.
std::wstring ExeDirectory();
Bytes ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const Bytes& bytes);
bool FileExists(const std::wstring& path);
Bytes Utf16Bytes(const std::wstring& text);
std::wstring FromUtf16(const Bytes& bytes);
// A text for failure messages: UTF-8, with tabs and line ends made visible.
std::string Show(const std::wstring& text);

SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0, WORD second = 0);
// "YYYY/MM/DD<TAB>hh:mm" of `time` moved by `minutes`.
std::wstring Stamp(const SYSTEMTIME& time, long long minutes = 0);

// The body the ephemeris server sends for `size` and `seed`.
Bytes ServedBody(size_t size, unsigned seed);
