#include "acquisition/download_worker.h"

#include <urlmon.h>
#include <wininet.h>

#include <algorithm>
#include <mutex>
#include <new>

#include "acquisition/calendar.h"
#include "acquisition/dl_callback.h"
#include "base/durable_file.h"
#include "base/lock_retry.h"
#include "base/scoped_win.h"
#include "persistence/settings_file.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "workflow/main_dialog.h"
#include "workflow/update_state.h"

namespace {

bool LocalEphemerisPresent() {
    return GetFileAttributesW(app.localEphemerisPath) != INVALID_FILE_ATTRIBUTES;
}

ULONGLONG FileSize(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool DownloadIsText() {
    unsigned char head[kTextProbeBytes];
    DWORD got = 0;
    ScopedFile file(CreateFileW(app.downloadPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    // A file that cannot be read back cannot be trusted either.
    if (!file || !ReadFile(file.Get(), head, sizeof head, &got, nullptr)) return true;
    return LooksLikeText(std::span(head, got));
}

// What the watchdog of one transfer shares with the worker.
struct Watch {
    ScopedKernelHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ScopedKernelHandle wake{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    ULONGLONG started = GetTickCount64();
};

// Ends the transfer when the user cancels, the program ends, no bytes came
// for kStallLimitMs or the whole took kTransferLimitMs. A progress callback
// can only refuse at the next notification, and a silent server sends none:
// the binding itself is aborted, from this thread.
DWORD WINAPI TransferWatchdog(LPVOID parameter) {
    const Watch& watch = *static_cast<const Watch*>(parameter);
    // The binding lives in the download thread's multithreaded apartment,
    // which this thread joins to call it directly.
    ScopedCom com(COINIT_MULTITHREADED);
    const HANDLE events[] = {watch.done.Get(), watch.wake.Get()};
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG stallEnds = downloadCallback.LastProgressTick() + kStallLimitMs;
        const ULONGLONG transferEnds = watch.started + kTransferLimitMs;
        // Also a cancel or an exit that came before this transfer began.
        if (app.updateState.load() == CancelRequested || app.shuttingDown.load() || now >= stallEnds ||
            now >= transferEnds)
            downloadCallback.RequestAbort();
        DWORD wait = INFINITE;  // once aborted, only a late binding needs this thread again
        if (downloadCallback.AbortRequested()) {
            downloadCallback.AbortBinding();
        } else {
            wait = static_cast<DWORD>(std::min(stallEnds, transferEnds) - now);
        }
        if (WaitForMultipleObjects(2, events, FALSE, wait) == WAIT_OBJECT_0) return 0;
    }
}

// URLDownloadToFileW under the watchdog's eye.
HRESULT BoundedTransfer() {
    auto* watch = new (std::nothrow) Watch;
    if (watch == nullptr) return E_OUTOFMEMORY;
    downloadCallback.ResetReport();
    downloadCallback.SetWakeEvent(watch->wake.Get());
    const bool eventsMade = watch->done && watch->wake;
    ScopedKernelHandle watchdog(eventsMade ? CreateThread(nullptr, 0, TransferWatchdog, watch, 0, nullptr) : nullptr);
    // Without its watchdog a transfer could hang for ever: none starts.
    HRESULT result = E_OUTOFMEMORY;
    if (watchdog) result = URLDownloadToFileW(nullptr, kDownloadUrl, app.downloadPath, 0, &downloadCallback);
    downloadCallback.SetWakeEvent(nullptr);
    downloadCallback.ReleaseBinding();
    if (downloadCallback.AbortRequested()) result = E_ABORT;

    SetEvent(watch->done.Get());
    // An abort stuck in the network library must not hold the worker: the
    // watchdog then keeps what it uses.
    if (!watchdog || WaitForSingleObject(watchdog.Get(), kStallLimitMs) == WAIT_OBJECT_0) delete watch;
    return result;
}

// Fetches the file into downloadPath and, when it is whole, puts it in place
// of Ephemeris.ee. The old file stays until the new one has replaced it.
HRESULT FetchEphemeris() {
    DeleteUrlCacheEntryW(kDownloadUrl);
    HRESULT result = BoundedTransfer();

    // Stop the animation before anything presents the outcome, so no late
    // step overwrites the final status line.
    if (app.animationTimerActive.load() != 0) SendMessageW(app.mainDialog.load(), MSG_ANIMATION_TIMER, 0, 0);

    // Success alone does not prove a good file: an error answer, a network's
    // sign-in page or a cut connection can also end in success.
    if (result == S_OK &&
        (!TransferComplete(downloadCallback.Report(), FileSize(app.downloadPath)) || DownloadIsText()))
        result = INET_E_DOWNLOAD_FAILURE;
    // On the disk before it replaces the file that was good; a scanner may
    // hold the new or the old file for a moment.
    if (result == S_OK &&
        (!FlushToMedium(app.downloadPath) || !ReplaceByRename(app.downloadPath, app.localEphemerisPath)))
        result = HRESULT_FROM_WIN32(GetLastError());
    // Nothing of a refused answer stays: not beside the program (the network
    // library may still have been writing it), not in the internet cache.
    const auto removed = [] { return DeleteFileW(app.downloadPath) || GetLastError() == ERROR_FILE_NOT_FOUND; };
    if (result != S_OK) RetryWhileHeld(removed, kHeldFileErrors, kRenameRetryMs);
    DeleteUrlCacheEntryW(kDownloadUrl);
    return result;
}

void RecordDownloadTimes() {
    SYSTEMTIME downloaded = {};
    GetLocalTime(&downloaded);
    ShowTimeField(IDC_DOWNLOAD_TIME, downloaded);
    WriteTimestamp(kDownloadTimeHeader, downloaded);

    SYSTEMTIME threeDays = {};
    threeDays.wDay = 3;
    const SYSTEMTIME expiry = AddInterval(downloaded, threeDays);
    ShowTimeField(IDC_EXPIRE_TIME, expiry);
    WriteTimestamp(kExpireTimeHeader, expiry);
}

}  // namespace

bool LooksLikeText(std::span<const unsigned char> head) {
    const auto begins = [&](std::initializer_list<unsigned char> mark) {
        return head.size() >= mark.size() && std::equal(mark.begin(), mark.end(), head.begin());
    };
    if (begins({0xEF, 0xBB, 0xBF}) || begins({0xFF, 0xFE}) || begins({0xFE, 0xFF})) return true;
    const auto control = [](unsigned c) { return c < 0x20 && (c < '\t' || c > '\r'); };
    if (!head.empty() && std::none_of(head.begin(), head.end(), control)) return true;
    // UTF-16 without a mark, little or big endian: no control character, and
    // mostly characters of one byte beside a zero.
    for (const size_t low : {0, 1}) {
        size_t narrow = 0, units = head.size() / 2;
        bool controls = false;
        for (size_t i = 0; i < units * 2; i += 2) {
            const unsigned unit = head[i + low] | head[i + 1 - low] << 8;
            controls = controls || control(unit);
            narrow += unit < 0x80;
        }
        if (units > 0 && !controls && narrow * 2 >= units) return true;
    }
    return false;
}

bool TransferComplete(const TransferReport& report, ULONGLONG fileSize) {
    if (report.httpStatus != 200 || !report.endOfData || fileSize == 0 || fileSize > kMaxEphemerisBytes) return false;
    if (report.bytesAnnounced != 0 && !report.encoded &&
        (report.bytesReceived < report.bytesAnnounced || fileSize != report.bytesAnnounced))
        return false;
    return true;
}

uint32_t DecideAfterDownload(const DownloadOutcome& outcome) {
    if (outcome.stateNow == CancelRequested) return Idle;
    if (outcome.deviceDriveCount > 0 && outcome.localFilePresent() &&
        // A device left attached already has the local file: a quiet refresh
        // that fails does not write it again every few minutes.
        (outcome.succeeded || (outcome.stateNow == Connecting && !outcome.quiet)) &&
        CompareTimestamps(outcome.storedExpiry, outcome.now) != -1)
        return Copying;
    if (!outcome.succeeded) return DownloadFailed;
    // A success always ends as Downloaded, also when the end-of-data report
    // was the last thing that moved the state.
    return Downloaded;
}

void AbortDownload() {
    downloadCallback.RequestAbort();
}

DWORD WINAPI DownloadWorker(LPVOID) {
    HRESULT result = E_FAIL;
    if (app.pathsValid) {
        // The platform asks every thread that uses COM to join an apartment.
        ScopedCom com(COINIT_MULTITHREADED);
        result = FetchEphemeris();
    }
    if (result == S_OK) RecordDownloadTimes();

    DownloadOutcome outcome = {};
    outcome.succeeded = result == S_OK;
    outcome.localFilePresent = LocalEphemerisPresent;
    ReadTimestamp(kExpireTimeHeader, &outcome.storedExpiry);
    GetLocalTime(&outcome.now);

    const uint32_t next = StoreFinalState([&](uint32_t current) {
        outcome.stateNow = current;
        outcome.quiet = app.updateOrigin.load() != UserUpdate;
        outcome.deviceDriveCount = app.deviceDrives.Snapshot().Count();
        return DecideAfterDownload(outcome);
    });
    ApplyState(next);
    ReleaseWorkerHandle(app.downloadThread);
    return 0;
}
