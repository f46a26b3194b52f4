#pragma once
// The copy worker: delivers the local Ephemeris.ee to the root of the first
// device drive, logs the attempt and records the time of a successful copy.
#include <windows.h>

inline constexpr wchar_t kDeviceFileName[] = L"Ephemeris.ee";
// The new file is written under this name first and then renamed over the
// old one, so a device pulled mid-copy never keeps a torn Ephemeris.ee.
inline constexpr wchar_t kDeviceTempFileName[] = L"Ephemeris.ee.new";

// Thread routine started by ApplyState; parameter unused, result 0.
DWORD WINAPI CopyWorker(LPVOID parameter);

enum class CopyResult {
    Copied,      // flushed and read back whole from the medium
    Failed,      // not written, or read back other than written
    ReadOnly,    // the device's file is read-only: left alone
    Unverified,  // a flush or a read-back could not be made
};

// Copies `source` to `destination` through `temporary` in the same folder.
// On failure the temporary file is removed, and the destination is removed
// only when it was replaced and read back whole as other bytes: a new file
// that could not be verified stays, since the old one is gone by then.
CopyResult ReplaceFileOnDevice(const wchar_t* source, const wchar_t* temporary, const wchar_t* destination);

enum class ReadBack { Same, Different, Unread };
// Whether `copy`, read from its medium past the system's cache, holds exactly
// the bytes of `original`; Unread when either could not be opened or read
// whole (past a short hold by another program), or memory was short.
ReadBack ReadsBackAs(const wchar_t* copy, const wchar_t* original);
