#include "acquisition/download_worker.h"

#include <urlmon.h>
#include <wininet.h>

#include <algorithm>
#include <cctype>
#include <string_view>

#include "acquisition/calendar.h"
#include "acquisition/dl_callback.h"
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

bool DownloadIsWebPage() {
    char head[kPageProbeBytes];
    DWORD got = 0;
    ScopedFile file(CreateFileW(app.downloadPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    // A file that cannot be read back cannot be trusted either.
    if (!file || !ReadFile(file.Get(), head, sizeof head, &got, nullptr)) return true;
    return LooksLikeWebPage(std::string_view(head, got));
}

// Fetches the file into downloadPath and, when it is whole, puts it in place
// of Ephemeris.ee. The old file stays until the new one has replaced it.
HRESULT FetchEphemeris() {
    DeleteUrlCacheEntryW(kDownloadUrl);
    downloadCallback.ResetReport();
    HRESULT result = URLDownloadToFileW(nullptr, kDownloadUrl, app.downloadPath, 0, &downloadCallback);

    // Stop the animation before anything presents the outcome, so no late
    // step overwrites the final status line.
    if (app.animationTimerActive.load() != 0) SendMessageW(app.mainDialog.load(), MSG_ANIMATION_TIMER, 0, 0);

    // Success alone does not prove a good file: an error answer, a network's
    // sign-in page or a cut connection can also end in success.
    if (result == S_OK && (!TransferComplete(downloadCallback.Report(), FileSize(app.downloadPath)) ||
                           DownloadIsWebPage()))
        result = INET_E_DOWNLOAD_FAILURE;
    // A scanner may hold the new or the old file for a moment.
    if (result == S_OK && !ReplaceByRename(app.downloadPath, app.localEphemerisPath))
        result = HRESULT_FROM_WIN32(GetLastError());
    if (result != S_OK) DeleteFileW(app.downloadPath);
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

bool LooksLikeWebPage(std::string_view head) {
    // A page saved with a UTF-8 byte order mark is still a page.
    if (head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3);
    const size_t at = std::min(head.find_first_not_of(" \t\r\n\f"), head.size());
    const auto startsWith = [&](std::string_view tag) {
        if (head.size() - at < tag.size()) return false;
        for (size_t i = 0; i < tag.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(head[at + i])) != tag[i]) return false;
        return true;
    };
    return startsWith("<!doctype") || startsWith("<html") || startsWith("<head") || startsWith("<?xml");
}

bool TransferComplete(const TransferReport& report, ULONGLONG fileSize) {
    if (report.httpStatus != 200 || !report.endOfData || fileSize == 0) return false;
    if (report.bytesAnnounced != 0 && !report.encoded &&
        (report.bytesReceived < report.bytesAnnounced || fileSize != report.bytesAnnounced))
        return false;
    return true;
}

uint32_t DecideAfterDownload(const DownloadOutcome& outcome) {
    if (outcome.stateNow == CancelRequested) return Idle;
    if (outcome.deviceDriveCount > 0 && outcome.localFilePresent() &&
        (outcome.succeeded || outcome.stateNow == Connecting) &&
        CompareTimestamps(outcome.storedExpiry, outcome.now) != -1)
        return Copying;
    if (!outcome.succeeded) return DownloadFailed;
    // A success always ends as Downloaded, also when the end-of-data report
    // was the last thing that moved the state.
    return Downloaded;
}

DWORD WINAPI DownloadWorker(LPVOID) {
    HRESULT result = E_FAIL;
    if (app.pathsValid) result = FetchEphemeris();
    if (result == S_OK) RecordDownloadTimes();

    DownloadOutcome outcome = {};
    outcome.succeeded = result == S_OK;
    outcome.localFilePresent = LocalEphemerisPresent;
    ReadTimestamp(kExpireTimeHeader, &outcome.storedExpiry);
    GetLocalTime(&outcome.now);

    const uint32_t next = StoreFinalState([&](uint32_t current) {
        outcome.stateNow = current;
        outcome.deviceDriveCount = app.deviceDrives.Snapshot().Count();
        return DecideAfterDownload(outcome);
    });
    ApplyState(next);
    ReleaseWorkerHandle(app.downloadThread);
    return 0;
}
