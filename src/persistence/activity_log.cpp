#include "persistence/activity_log.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>
#include <string_view>

#include "base/module_path.h"
#include "base/scoped_win.h"

namespace {

constexpr size_t kMessageChars = 255;  // 254 characters and the terminator
constexpr size_t kStampChars = 150;

// One piece of the line, without terminator. 1 when WriteFile succeeded.
int WritePiece(HANDLE file, std::wstring_view text) {
    DWORD written = 0;
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr) ? 1
                                                                                                              : 0;
}

}  // namespace

int AppendLog(const wchar_t* label, const wchar_t* format, ...) {
    wchar_t path[MAX_PATH] = {};
    // Never write to a cut path.
    if (!MakeModulePath(path, kLogFileName)) return 0;
    ScopedFile file(
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;

    // A fixed buffer on the stack: nothing to obtain, so nothing can fail here.
    // The runtime's bounded formatter stops at 254 characters and may leave
    // the text unterminated when it cuts; the last unit is zeroed for that.
    wchar_t message[kMessageChars] = {};
    if (format) {
        va_list args;
        va_start(args, format);
        _vsnwprintf(message, kMessageChars - 1, format, args);
        va_end(args);
    }
    message[kMessageChars - 1] = L'\0';

    SetFilePointer(file.Get(), 0, nullptr, FILE_END);

    SYSTEMTIME now = {};
    GetLocalTime(&now);
    wchar_t stamp[kStampChars] = {};
    _snwprintf(stamp, kStampChars - 1, L"%02d/%02d  %02d:%02d.%02d::%03d\t", now.wMonth, now.wDay, now.wHour,
               now.wMinute, now.wSecond, now.wMilliseconds);

    // A failed piece does not stop the others; the line counts as written
    // when any piece went out.
    int written = 0;
    written += WritePiece(file.Get(), stamp);
    written += WritePiece(file.Get(), label ? label : L"");
    written += WritePiece(file.Get(), L"\t");
    written += WritePiece(file.Get(), message);
    written += WritePiece(file.Get(), L"\r\n");
    return written != 0 ? 1 : 0;
}
