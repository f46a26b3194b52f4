#pragma once
// The download worker: fetches the ephemeris file, makes it the local
// Ephemeris.ee, records download and expiry times, then decides how the
// update goes on (copy, done, failed or cancelled).
#include <windows.h>

#include <cstdint>
#include <span>

// The fixed address of the ephemeris file; also the key of its cache entry.
inline constexpr wchar_t kDownloadUrl[] = L"http://" FENNIK_EPHEMERIS_HOST L"/check.asp?f=packedEphemeris.ee";

// A transfer that brings no bytes for this long, or that takes this long in
// all (a server that trickles), is aborted and fails.
inline constexpr ULONGLONG kStallLimitMs = FENNIK_STALL_LIMIT_MS;
inline constexpr ULONGLONG kTransferLimitMs = FENNIK_TRANSFER_LIMIT_MS;

// Thread routine started by ApplyState; parameter unused, result 0.
DWORD WINAPI DownloadWorker(LPVOID parameter);

// Any thread: aborts a running transfer at once (the program ends); the
// worker then decides as after any failure. A cancel is seen by the transfer's
// watchdog through the state alone.
void AbortDownload();

// The facts the worker's final decision rests on.
struct DownloadOutcome {
    uint32_t stateNow;        // updateState when the decision is taken
    bool quiet;               // the program's own refresh, not the user's update
    bool succeeded;           // a complete file was received and put in place
    uint16_t deviceDriveCount;
    bool (*localFilePresent)();
    SYSTEMTIME storedExpiry;  // as read back from the settings file
    SYSTEMTIME now;
};

// The next state after a download: Idle when cancelled; Copying when a device
// drive is known, the local file exists, has not expired, and the download
// succeeded or (the user's update) never received data; DownloadFailed on
// failure; else unchanged.
uint32_t DecideAfterDownload(const DownloadOutcome& outcome);

// True when the transfer delivered a whole, non-empty body with the status
// 200, within the size bound. A decoded body (Content-Encoding) is judged by
// its end of data and the decoder's own result, since the announced length is
// the encoded one.
struct TransferReport;
bool TransferComplete(const TransferReport& report, ULONGLONG fileSize);

// How many first bytes of a download are looked at to tell text.
inline constexpr size_t kTextProbeBytes = 512;
// True when the first bytes of a body read as text: markup that opens a page
// (whatever follows), text after a byte order mark that decodes in its
// encoding, 8-bit text in any code page (no control character but white
// space), or UTF-16 or UTF-32 without a mark in any script. A sign-in page, a
// script, JSON or an error message, never the ephemeris file, which is binary
// from its first bytes.
bool LooksLikeText(std::span<const unsigned char> head);
