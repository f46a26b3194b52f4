#include "device/copy_worker.h"

#include <algorithm>
#include <span>

#include "base/durable_file.h"
#include "base/lock_retry.h"
#include "base/scoped_win.h"
#include "device/device_query.h"
#include "persistence/activity_log.h"
#include "persistence/settings_file.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "workflow/main_dialog.h"
#include "workflow/update_state.h"

namespace {

// Device files are compared in pieces of this size: a multiple of every
// sector size, as a read past the system's cache requires.
constexpr DWORD kReadBackChunk = 64 * 1024;

bool ReadWhole(HANDLE file, unsigned char* into, DWORD want, DWORD* got) {
    for (*got = 0; *got < want;) {
        DWORD part = 0;
        if (!ReadFile(file, into + *got, want - *got, &part, nullptr)) return false;
        if (part == 0) break;  // the end of the file
        *got += part;
    }
    return true;
}

}  // namespace

ReadBack ReadsBackAs(const wchar_t* copy, const wchar_t* original) {
    // Sharing everything and waiting out a short hold: a scanner that has the
    // file open must not make a good copy look bad.
    ScopedFile source(OpenPastShortHold(original, GENERIC_READ, 0));
    // Straight from the medium, not from what the system still caches of the write.
    ScopedFile device(OpenPastShortHold(copy, GENERIC_READ, FILE_FLAG_NO_BUFFERING | FILE_FLAG_SEQUENTIAL_SCAN));
    // Page-aligned, as unbuffered reads require.
    auto* buffer = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, 2 * kReadBackChunk, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!source || !device || buffer == nullptr) {
        if (buffer != nullptr) VirtualFree(buffer, 0, MEM_RELEASE);
        return ReadBack::Unread;
    }
    ReadBack result = ReadBack::Same;
    for (DWORD fromDevice = 0, fromSource = 0; result == ReadBack::Same;) {
        // Unbuffered reads ask for whole chunks; the last one returns the rest.
        if (!ReadFile(device.Get(), buffer, kReadBackChunk, &fromDevice, nullptr) ||
            !ReadWhole(source.Get(), buffer + kReadBackChunk, kReadBackChunk, &fromSource)) {
            result = ReadBack::Unread;
            break;
        }
        MediumReadBack(std::span(buffer, fromDevice));
        if (fromDevice != fromSource || !std::equal(buffer, buffer + fromDevice, buffer + kReadBackChunk))
            result = ReadBack::Different;
        if (fromDevice < kReadBackChunk) break;
    }
    VirtualFree(buffer, 0, MEM_RELEASE);
    return result;
}

CopyResult ReplaceFileOnDevice(const wchar_t* source, const wchar_t* temporary, const wchar_t* destination) {
    // A read-only file on the device was made so by its owner: never replace
    // it. (Windows refuses that rename too; some file systems would not.)
    const DWORD attributes = GetFileAttributesW(destination);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return CopyResult::ReadOnly;
    // A device whose removal policy caches writes may still hold the copy in
    // memory: it is flushed and read back from the medium before it replaces
    // the device's file. The device's old file may be held for a moment (a
    // scanner checking the new drive): the rename outlasts a short lock.
    // The temporary file is ours alone: whatever went wrong, it goes.
    ReadBack before = ReadBack::Different;
    if (!CopyFileW(source, temporary, FALSE) || !FlushToMedium(temporary) ||
        (before = ReadsBackAs(temporary, source)) != ReadBack::Same || !ReplaceByRename(temporary, destination)) {
        DeleteFileW(temporary);
        return before == ReadBack::Unread ? CopyResult::Unverified : CopyResult::Failed;
    }
    // The rename, too, must be on the medium before the user is told to unplug.
    // The old file is gone now: the new one is removed only when it was read
    // back whole and is not the file, never because it could not be read.
    ScannerMayHold(destination);
    if (!FlushToMedium(destination)) return CopyResult::Unverified;
    ScannerMayHold(destination);
    const ReadBack after = ReadsBackAs(destination, source);
    if (after != ReadBack::Different) return after == ReadBack::Same ? CopyResult::Copied : CopyResult::Unverified;
    DeleteFileW(destination);  // what the device gives back is not the file: no garbage stays there
    return CopyResult::Failed;
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

        const CopyResult copied = ReplaceFileOnDevice(app.localEphemerisPath, temporary, destination);
        // Every attempt is logged, whatever its result; the path is an
        // argument, never a format. A cause the user can act on follows.
        AppendLog(L"Download to:", L"%s", destination);
        if (copied == CopyResult::ReadOnly) AppendLog(L"Not copied:", L"%s is read-only", destination);
        if (copied == CopyResult::Unverified) AppendLog(L"Not copied:", L"%s could not be verified", destination);
        if (copied == CopyResult::Copied) {
            SYSTEMTIME now = {};
            GetLocalTime(&now);
            ShowTimeField(IDC_UPDATE_TIME, now);
            WriteTimestamp(kUpdateTimeHeader, now);
            // The device now holds the local file's data: its reminders start
            // afresh, at the instant the local clock's expiry stands for.
            SYSTEMTIME expiry = {}, utc = {};
            if (ReadTimestamp(kExpireTimeHeader, &expiry)) TzSpecificLocalTimeToSystemTime(nullptr, &expiry, &utc);
            WriteDeviceExpiry(utc, NoReminderShown);
            ShowExpiryTime(expiry);
            outcome = Copied;
        }
    }
    const uint32_t next = StoreFinalState([&](uint32_t) { return outcome; });
    ApplyState(next);
    ReleaseWorkerHandle(app.copyThread);
    return 0;
}
