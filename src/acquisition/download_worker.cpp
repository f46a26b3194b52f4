#include "acquisition/download_worker.h"

#include <urlmon.h>
#include <wininet.h>

#include <algorithm>
#include <bitset>
#include <mutex>
#include <new>

#include "acquisition/calendar.h"
#include "acquisition/dl_callback.h"
#include "acquisition/transfer_seam.h"
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
    ScopedFile file(OpenPastShortHold(app.downloadPath, GENERIC_READ, FILE_ATTRIBUTE_NORMAL));
    // A file that cannot be read back cannot be trusted either.
    if (!file || !ReadFile(file.Get(), head, sizeof head, &got, nullptr)) return true;
    return LooksLikeText(std::span(head, got));
}

// How often the watchdog measures what was written; how long a callback's own
// refusal is given to end the transfer before the binding is aborted; how
// often a refused abort is tried again.
constexpr DWORD kLookMs = 250;
constexpr ULONGLONG kCallbackGraceMs = 500;
constexpr ULONGLONG kAbortRetryMs = 500;

// What the watchdog of one transfer shares with the worker.
struct Watch {
    ScopedKernelHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ScopedKernelHandle wake{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    ULONGLONG started = GetTickCount64();
    ULONG looks = 0;          // written by the watchdog, read after it ended
    ULONGLONG lookTicks = 0;  // the time of those looks, on the performance counter
};

// The most this transfer has written so far: the network library writes the
// body to a file of the internet cache and copies it over the target at its
// end. Only the file it names is looked at, never the cache as a whole.
ULONGLONG WrittenSize() {
    wchar_t cacheFile[MAX_PATH] = {};
    const ULONGLONG cached = downloadCallback.CacheFile(cacheFile) ? FileSize(cacheFile) : 0;
    return std::max(cached, FileSize(app.downloadPath));
}

// Ends the transfer when the user cancels, the program ends, no bytes came
// for kStallLimitMs or the whole took kTransferLimitMs, or more was written
// than any ephemeris file holds. Bytes written count as bytes received: the
// library may read a long body without a notification. The callbacks refuse
// first; a silent server sends none, so the binding itself is aborted from
// here when no callback has ended the transfer soon after.
DWORD WINAPI TransferWatchdog(LPVOID parameter) {
    Watch& watch = *static_cast<Watch*>(parameter);
    // The binding lives in the download thread's multithreaded apartment,
    // which this thread joins to call it directly.
    ScopedCom com(COINIT_MULTITHREADED);
    const HANDLE events[] = {watch.done.Get(), watch.wake.Get()};
    ULONGLONG written = 0, nextAbort = 0;
    bool aborted = false;
    for (;;) {
        if (!downloadCallback.AbortRequested()) {
            LARGE_INTEGER before{}, after{};
            QueryPerformanceCounter(&before);
            const ULONGLONG size = WrittenSize();
            if (size > written) downloadCallback.NoteProgress();
            written = std::max(written, size);
            downloadCallback.Refused(size);
            QueryPerformanceCounter(&after);
            ++watch.looks;
            watch.lookTicks += after.QuadPart - before.QuadPart;
        }
        const ULONGLONG now = GetTickCount64();
        const ULONGLONG stallEnds = downloadCallback.LastProgressTick() + kStallLimitMs;
        const ULONGLONG transferEnds = watch.started + kTransferLimitMs;
        // Also a cancel or an exit that came before this transfer began.
        if (app.updateState.load() == CancelRequested || app.shuttingDown.load() || now >= stallEnds ||
            now >= transferEnds)
            downloadCallback.RequestAbort();
        ULONGLONG next = std::min({now + kLookMs, stallEnds, transferEnds});
        if (downloadCallback.AbortRequested()) {
            next = std::max(downloadCallback.AbortRequestedTick() + kCallbackGraceMs, nextAbort);
            if (now >= next && !aborted) {
                // A refused abort (the binding not started yet, or busy) is
                // tried again until the transfer ends.
                aborted = SUCCEEDED(downloadCallback.AbortBinding());
                next = nextAbort = now + kAbortRetryMs;
            }
        }
        const DWORD wait = aborted ? INFINITE : static_cast<DWORD>(next > now ? next - now : 0);
        if (WaitForMultipleObjects(2, events, FALSE, wait) == WAIT_OBJECT_0) return 0;
    }
}

// URLDownloadToFileW under the watchdog's eye.
HRESULT BoundedTransfer() {
    auto* watch = new (std::nothrow) Watch;
    if (watch == nullptr) return E_OUTOFMEMORY;
    downloadCallback.ResetReport();
    const bool eventsMade = watch->done && watch->wake;
    if (eventsMade) {
        std::lock_guard<SrwLock> hold(app.workflowLock);
        app.transferWake.store(watch->wake.Get());
    }
    ScopedKernelHandle watchdog(eventsMade ? CreateThread(nullptr, 0, TransferWatchdog, watch, 0, nullptr) : nullptr);
    // Without its watchdog a transfer could hang for ever: none starts.
    HRESULT result = E_OUTOFMEMORY;
    if (watchdog) result = URLDownloadToFileW(nullptr, kDownloadUrl, app.downloadPath, 0, &downloadCallback);
    {
        // Under the lock that a cancel signals it under: never signalled once gone.
        std::lock_guard<SrwLock> hold(app.workflowLock);
        app.transferWake.store(nullptr);
    }
    if (downloadCallback.AbortRequested()) result = E_ABORT;

    SetEvent(watch->done.Get());
    // An abort stuck in the network library must not hold the worker: the
    // watchdog then keeps what it uses, the binding too.
    const bool watchdogEnded = !watchdog || WaitForSingleObject(watchdog.Get(), kStallLimitMs) == WAIT_OBJECT_0;
    downloadCallback.ReleaseBinding();
    downloadCallback.EndTransfer();
    if (watchdogEnded) JournalWatchdog(watchdog.Get(), watch->looks, watch->lookTicks);
    if (watchdogEnded) delete watch;
    return result;
}

// Fetches the file into downloadPath and, when it is whole, puts it in place
// of Ephemeris.ee. The old file stays until the new one has replaced it.
HRESULT FetchEphemeris() {
    DeleteUrlCacheEntryW(kDownloadUrl);
    // What an interrupted run left would count as written by this transfer.
    const auto removed = [] { return DeleteFileW(app.downloadPath) || GetLastError() == ERROR_FILE_NOT_FOUND; };
    RetryWhileHeld(removed, kHeldFileErrors, kRenameRetryMs);
    HRESULT result = BoundedTransfer();

    // Stop the animation before anything presents the outcome, so no late
    // step overwrites the final status line.
    if (app.animationTimerActive.load() != 0) SendMessageW(app.mainDialog.load(), MSG_ANIMATION_TIMER, 0, 0);

    // Success alone does not prove a good file: an error answer, a network's
    // sign-in page or a cut connection can also end in success.
    if (result == S_OK &&
        (!TransferComplete(downloadCallback.Report(), FileSize(app.downloadPath)) || DownloadIsText()))
        result = INET_E_DOWNLOAD_FAILURE;
    if (result == S_OK) ScannerMayHold(app.downloadPath);
    // On the disk before it replaces the file that was good; a scanner may
    // hold the new or the old file for a moment.
    if (result == S_OK &&
        (!FlushToMedium(app.downloadPath) || !ReplaceByRename(app.downloadPath, app.localEphemerisPath)))
        result = HRESULT_FROM_WIN32(GetLastError());
    // Nothing of a refused answer stays: not beside the program (the network
    // library may still have been writing it), not in the internet cache.
    if (result != S_OK) RetryWhileHeld(removed, kHeldFileErrors, kRenameRetryMs);
    DeleteUrlCacheEntryW(kDownloadUrl);
    return result;
}

// Once until a download time is stored again: a settings file that cannot be
// written is said in the log, not at every look.
std::atomic<bool> storeFailureLogged{false};

void RecordDownloadTimes() {
    SYSTEMTIME downloaded = {};
    GetLocalTime(&downloaded);
    ShowTimeField(IDC_DOWNLOAD_TIME, downloaded);
    // Kept in memory too: a file that cannot take it must not make every look
    // download again.
    FILETIME at = {};
    if (SystemTimeToFileTime(&downloaded, &at))
        app.lastDownloadLocal.store(static_cast<uint64_t>(at.dwHighDateTime) << 32 | at.dwLowDateTime);
    if (WriteTimestamp(kDownloadTimeHeader, downloaded))
        storeFailureLogged.store(false);
    else if (!storeFailureLogged.exchange(true))
        AppendLog(L"Not stored:", L"the download time in %s", kSettingsFileName);

    SYSTEMTIME threeDays = {};
    threeDays.wDay = 3;
    const SYSTEMTIME expiry = AddInterval(downloaded, threeDays);
    WriteTimestamp(kExpireTimeHeader, expiry);
    // The device's data, when it has some of ours, keeps its own expiry until the next copy.
    ShowExpiryTime(expiry);
}

}  // namespace

namespace {

// A character no text holds: a control character other than white space.
bool Control(char32_t c) {
    return (c < 0x20 && (c < '\t' || c > '\r')) || c == 0x7F || (c >= 0x80 && c < 0xA0);
}

// True when `head` opens, after white space, with markup no ephemeris file
// begins with: whatever control bytes follow, it is a page.
bool OpensWithMarkup(std::span<const unsigned char> head) {
    size_t at = head.size() >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF ? 3 : 0;  // UTF-8's mark
    while (at < head.size() && (head[at] == ' ' || (head[at] >= '\t' && head[at] <= '\r'))) ++at;
    for (const std::string_view opening : {"<!doctype", "<html", "<head", "<body", "<script", "<?xml"}) {
        if (head.size() - at < opening.size()) continue;
        if (std::equal(opening.begin(), opening.end(), head.begin() + at,
                       [](char o, unsigned char h) { return o == (h >= 'A' && h <= 'Z' ? h + ('a' - 'A') : h); }))
            return true;
    }
    return false;
}

// The code units of `bytes` as one encoding reads them: UTF-8 (width 1), or
// UTF-16 and UTF-32 in either byte order. True when they decode to text: no
// control character but white space, no invalid sequence, no unpaired
// surrogate, no private or non-character; a sequence cut by the end of the
// probe counts as whole.
bool DecodesAsText(std::span<const unsigned char> bytes, int width, bool bigEndian) {
    const size_t units = bytes.size() / width;
    const auto unit = [&](size_t i) {
        char32_t u = 0;
        for (int b = 0; b < width; ++b) u |= char32_t{bytes[i * width + b]} << 8 * (bigEndian ? width - 1 - b : b);
        return u;
    };
    for (size_t i = 0; i < units; ++i) {
        char32_t c = unit(i);
        if (width == 1 && c >= 0x80) {
            const int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
            if (c < 0xC2 || c > 0xF4) return false;
            c &= 0x3F >> more;
            for (int k = 1; k <= more; ++k) {
                if (i + k >= units) return true;  // cut by the probe
                if ((unit(i + k) & 0xC0) != 0x80) return false;
                c = c << 6 | (unit(i + k) & 0x3F);
            }
            const char32_t least[] = {0, 0x80, 0x800, 0x10000};
            if (c < least[more] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return false;
            i += more;
        } else if (width == 2 && c >= 0xD800 && c < 0xE000) {
            if (c >= 0xDC00) return false;
            if (i + 1 == units) return true;
            const char32_t low = unit(++i);
            if (low < 0xDC00 || low >= 0xE000) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        }
        const bool privateUse = (c >= 0xE000 && c < 0xF900) || c >= 0xF0000;
        if (Control(c) || privateUse || (c & 0xFFFE) == 0xFFFE || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
            return false;
    }
    return units > 0;
}

}  // namespace

bool LooksLikeText(std::span<const unsigned char> head) {
    if (OpensWithMarkup(head)) return true;
    const auto begins = [&](std::initializer_list<unsigned char> mark) {
        return head.size() >= mark.size() && std::equal(mark.begin(), mark.end(), head.begin());
    };
    // After a byte order mark, what follows decides in that encoding alone.
    const struct { std::initializer_list<unsigned char> mark; int width; bool bigEndian; } marked[] = {
        {{0xFF, 0xFE, 0, 0}, 4, false}, {{0, 0, 0xFE, 0xFF}, 4, true}, {{0xEF, 0xBB, 0xBF}, 1, false},
        {{0xFF, 0xFE}, 2, false}, {{0xFE, 0xFF}, 2, true}};
    bool anyMark = false;
    for (const auto& m : marked) {
        if (!begins(m.mark)) continue;
        if (DecodesAsText(head.subspan(m.mark.size()), m.width, m.bigEndian)) return true;
        anyMark = true;
    }
    if (anyMark) return false;
    // 8-bit text in any code page: no control character but white space.
    const auto control = [](unsigned char c) { return c < 0x20 && (c < '\t' || c > '\r'); };
    if (!head.empty() && std::none_of(head.begin(), head.end(), control)) return true;
    // UTF-32 without a mark: no binary keeps every unit below 0x110000.
    if (DecodesAsText(head, 4, false) || DecodesAsText(head, 4, true)) return true;
    // UTF-16 without a mark, in any script: also the letters of one script
    // share a few blocks, so the units' high bytes take few values; those of
    // binary data scatter.
    for (const size_t high : {1, 0}) {
        std::bitset<256> seen;
        for (size_t i = high; i < head.size() - head.size() % 2; i += 2) seen.set(head[i]);
        if (seen.count() * 4 <= head.size() && DecodesAsText(head, 2, high == 0)) return true;
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
    std::lock_guard<SrwLock> hold(app.workflowLock);
    if (const HANDLE wake = app.transferWake.load()) SetEvent(wake);
}

DWORD WINAPI DownloadWorker(LPVOID) {
    HRESULT result = E_FAIL;
    if (app.pathsValid) {
        // The platform asks every thread that uses COM to join an apartment.
        ScopedCom com(COINIT_MULTITHREADED);
        result = FetchEphemeris();
    }
    if (result == S_OK) RecordDownloadTimes();
    // A cancel is the user's, not a failure that paces the next looks.
    const bool failed = result != S_OK && app.updateState.load() != CancelRequested;
    app.lastDownloadFailedTick.store(failed ? std::max<ULONGLONG>(GetTickCount64(), 1) : 0);

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
