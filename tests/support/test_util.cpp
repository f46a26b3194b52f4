#include "test_util.h"

#include <algorithm>

#include "base/scoped_win.h"

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done()) return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return done();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20)),
                                  QS_ALLINPUT);
    }
}

void RunTogether(const std::vector<std::function<void()>>& work) {
    std::vector<HANDLE> threads;
    for (const auto& fn : work)  // made suspended, then let go together
        threads.push_back(CreateThread(
            nullptr, 0,
            [](void* fn) -> DWORD {
                (*static_cast<const std::function<void()>*>(fn))();
                return 0;
            },
            const_cast<std::function<void()>*>(&fn), CREATE_SUSPENDED, nullptr));
    for (HANDLE t : threads) ResumeThread(t);
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    for (HANDLE t : threads) CloseHandle(t);
}

std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L'\\') + 1);
}

Bytes ReadFileBytes(const std::wstring& path) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    Bytes bytes;
    unsigned char chunk[65536];
    DWORD got = 0;
    while (file && ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const Bytes& bytes) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    return file && (bytes.empty() || (WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                                nullptr) &&
                                      written == bytes.size()));
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

Bytes Utf16Bytes(const std::wstring& text) {  // wchar_t is UTF-16LE here
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    return Bytes(bytes, bytes + text.size() * sizeof(wchar_t));
}

std::wstring FromUtf16(const Bytes& bytes) {
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

std::string Show(const std::wstring& text) {
    std::string out = "\"";
    for (wchar_t c : text)
        out += c == L'\t' ? "\\t" : c == L'\r' ? "\\r" : c == L'\n' ? "\\n" : c < 0x80 ? std::string(1, char(c)) : "?";
    return out + "\"";
}

SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    return SYSTEMTIME{year, month, 0, day, hour, minute, second, 0};
}

std::wstring Stamp(const SYSTEMTIME& time, long long minutes) {
    FILETIME ft{};
    SystemTimeToFileTime(&time, &ft);
    ULARGE_INTEGER ticks{{ft.dwLowDateTime, ft.dwHighDateTime}};
    ticks.QuadPart += static_cast<ULONGLONG>(minutes * 600000000LL);
    ft = {ticks.LowPart, ticks.HighPart};
    SYSTEMTIME moved{};
    FileTimeToSystemTime(&ft, &moved);
    wchar_t text[32];
    swprintf(text, 32, L"%04d/%02d/%02d\t%02d:%02d", moved.wYear, moved.wMonth, moved.wDay, moved.wHour, moved.wMinute);
    return text;
}

Bytes ServedBody(size_t size, unsigned seed) {
    Bytes body(size);
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<unsigned char>((i * 131 + seed * 7 + (i >> 9)) % 251);
    return body;
}
