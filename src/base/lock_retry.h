#pragma once
// Another program (a virus scanner, an indexer, a backup tool) often opens a
// file for a moment just after it was written. An operation refused for such
// a short lock is tried again for a bounded time instead of failing at once.
#include <windows.h>

#include <algorithm>
#include <span>

// What a rename over a file that someone holds open fails with: the holder
// did not share delete access (access denied), refused sharing, or locked a
// range of it.
inline constexpr DWORD kHeldFileErrors[] = {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_LOCK_VIOLATION};
inline constexpr DWORD kRenameRetryMs = 2000;
inline constexpr DWORD kLockRetryStepMs = 25;

// Runs `attempt` (returning true on success, else leaving the reason in
// GetLastError) until it succeeds, fails with an error not in `transient`, or
// about `totalMs` have passed. The last error is kept for the caller.
template <typename Attempt>
bool RetryWhileHeld(Attempt&& attempt, std::span<const DWORD> transient, DWORD totalMs) {
    for (DWORD waited = 0;; waited += kLockRetryStepMs) {
        if (attempt()) return true;
        const DWORD error = GetLastError();
        if (waited >= totalMs || std::find(transient.begin(), transient.end(), error) == transient.end()) {
            SetLastError(error);
            return false;
        }
        Sleep(kLockRetryStepMs);
    }
}

// MoveFileExW with MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH,
// outlasting a short lock on either file.
bool ReplaceByRename(const wchar_t* from, const wchar_t* to);

// CreateFileW of an existing file, sharing read, write and delete with whoever
// has it open, outlasting a short hold by one who shares less (a scanner
// opening a new file without write sharing). INVALID_HANDLE_VALUE on failure,
// the reason in GetLastError.
HANDLE OpenPastShortHold(const wchar_t* path, DWORD access, DWORD flags);
