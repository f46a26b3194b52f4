#include "base/lock_retry.h"

bool ReplaceByRename(const wchar_t* from, const wchar_t* to) {
    return RetryWhileHeld(
        [&] { return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0; },
        kHeldFileErrors, kRenameRetryMs);
}

HANDLE OpenPastShortHold(const wchar_t* path, DWORD access, DWORD flags) {
    HANDLE file = INVALID_HANDLE_VALUE;
    RetryWhileHeld(
        [&] {
            file = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, flags, nullptr);
            return file != INVALID_HANDLE_VALUE;
        },
        kHeldFileErrors, kRenameRetryMs);
    return file;
}
