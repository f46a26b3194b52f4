#pragma once
// The seam around the one refusal a test machine cannot produce: on Windows a
// program without elevation may open the machine-wide Run key for reading
// only, while Wine lets everybody write it.
//
// The product links machine_run_key_win32.cpp (no refusal of its own: the
// registry decides). Test builds link machine_run_key_simulated.cpp, which
// refuses on demand.
#include <windows.h>

// What a program without elevation may ask of the key.
inline constexpr REGSAM kReadOnlyAccess = KEY_READ;

// True when opening HKEY_LOCAL_MACHINE's Run key with `access` is refused
// before the registry is asked.
bool MachineRunKeyRefused(REGSAM access);
