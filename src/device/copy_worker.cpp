#include "device/copy_worker.h"

#include "base/lock_retry.h"
#include "persistence/activity_log.h"
#include "persistence/settings_file.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "workflow/main_dialog.h"
#include "workflow/update_state.h"

bool ReplaceFileOnDevice(const wchar_t* source, const wchar_t* temporary, const wchar_t* destination) {
    // A read-only file on the device was made so by its owner: never replace
    // it. (Windows refuses that rename too; some file systems would not.)
    const DWORD attributes = GetFileAttributesW(destination);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) return false;
    // The device's old file may be held for a moment (a scanner checking the
    // new drive): the rename outlasts a short lock.
    if (CopyFileW(source, temporary, FALSE) && ReplaceByRename(temporary, destination)) return true;
    DeleteFileW(temporary);
    return false;
}

DWORD WINAPI CopyWorker(LPVOID) {
    uint32_t outcome = CopyFailed;
    const DeviceDrives drives = app.deviceDrives.Snapshot();
    if (app.pathsValid && GetFileAttributesW(app.localEphemerisPath) != INVALID_FILE_ATTRIBUTES &&
        drives.Count() > 0) {
        const wchar_t letter = drives.Letter(0);
        wchar_t destination[kPathChars] = {};
        wchar_t temporary[kPathChars] = {};
        wsprintfW(destination, L"%c:\\%s", letter, kDeviceFileName);
        wsprintfW(temporary, L"%c:\\%s", letter, kDeviceTempFileName);

        const bool copied = ReplaceFileOnDevice(app.localEphemerisPath, temporary, destination);
        // Every attempt is logged, whatever its result; the path is an
        // argument, never a format.
        AppendLog(L"Download to:", L"%s", destination);
        if (copied) {
            SYSTEMTIME now = {};
            GetLocalTime(&now);
            ShowTimeField(IDC_UPDATE_TIME, now);
            WriteTimestamp(kUpdateTimeHeader, now);
            outcome = Copied;
        }
    }
    const uint32_t next = StoreFinalState([&](uint32_t) { return outcome; });
    ApplyState(next);
    ReleaseWorkerHandle(app.copyThread);
    return 0;
}
