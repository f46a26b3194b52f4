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

// Copies `source` to `destination` through `temporary` in the same folder.
// True when `destination` now holds the whole new file, flushed and read back
// from the medium; on failure the temporary file is removed, and the
// destination left as it was unless it read back wrong (then it is removed).
bool ReplaceFileOnDevice(const wchar_t* source, const wchar_t* temporary, const wchar_t* destination);

// True when `copy`, read from its medium past the system's cache, holds
// exactly the bytes of `original`.
bool ReadsBackAs(const wchar_t* copy, const wchar_t* original);
