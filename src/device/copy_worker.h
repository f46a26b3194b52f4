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
// True when `destination` now holds the whole new file; on failure the
// temporary file is removed and the destination left as it was.
bool ReplaceFileOnDevice(const wchar_t* source, const wchar_t* temporary, const wchar_t* destination);
