#include "base/lock_retry.h"

bool ReplaceByRename(const wchar_t* from, const wchar_t* to) {
    return RetryWhileHeld(
        [&] { return MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0; },
        kHeldFileErrors, kRenameRetryMs);
}
