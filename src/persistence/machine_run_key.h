#pragma once
// The seam around the one refusal a test machine cannot produce: on Windows a
// program without elevation may open the machine-wide Run key for reading
// only, while Wine lets everybody write it.
//
// The product links machine_run_key_win32.cpp (the registry itself). Test
// builds link machine_run_key_simulated.cpp, which refuses on demand.
#include <windows.h>

// Opens HKEY_LOCAL_MACHINE's Run key with `access`; when `access` may set
// values, the key is created if missing. ERROR_SUCCESS with `key` set, or the
// failure code.
LSTATUS OpenMachineRunKey(REGSAM access, HKEY* key);

// What a program without elevation may ask of the key.
inline constexpr REGSAM kReadOnlyAccess = KEY_READ;
