#pragma once
// The download worker: fetches the ephemeris file, makes it the local
// Ephemeris.ee, records download and expiry times, then decides how the
// update goes on (copy, done, failed or cancelled).
#include <windows.h>

#include <cstdint>
#include <string_view>

// The fixed address of the ephemeris file; also the key of its cache entry.
inline constexpr wchar_t kDownloadUrl[] = L"http://" FENNIK_EPHEMERIS_HOST L"/check.asp?f=packedEphemeris.ee";

// Thread routine started by ApplyState; parameter unused, result 0.
DWORD WINAPI DownloadWorker(LPVOID parameter);

// The facts the worker's final decision rests on.
struct DownloadOutcome {
    uint32_t stateNow;        // updateState when the decision is taken
    bool succeeded;           // a complete file was received and put in place
    uint16_t deviceDriveCount;
    bool (*localFilePresent)();
    SYSTEMTIME storedExpiry;  // as read back from the settings file
    SYSTEMTIME now;
};

// The next state after a download: Idle when cancelled; Copying when a device
// drive is known, the local file exists, has not expired, and the download
// succeeded or never received data; DownloadFailed on failure; else unchanged.
uint32_t DecideAfterDownload(const DownloadOutcome& outcome);

// True when the transfer delivered a whole, non-empty body with the status
// 200. A decoded body (Content-Encoding) is judged by its end of data and
// the decoder's own result, since the announced length is the encoded one.
struct TransferReport;
bool TransferComplete(const TransferReport& report, ULONGLONG fileSize);

// How many first bytes of a download are looked at to tell a web page.
inline constexpr size_t kPageProbeBytes = 4096;
// True when the body begins, after an optional UTF-8 byte order mark and any
// white space, with "<!DOCTYPE", "<html", "<head" or "<?xml" (any case): a
// sign-in or error page, never the ephemeris file.
bool LooksLikeWebPage(std::string_view head);
