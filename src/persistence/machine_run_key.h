#pragma once
// The seam around the one refusal a test machine cannot produce: on Windows a
// program without elevation may not write the machine-wide Run key, while
// Wine lets everybody write it.
//
// The product links machine_run_key_win32.cpp (the registry itself). Test
// builds link machine_run_key_simulated.cpp, which refuses on demand.
#include <windows.h>

// Opens HKEY_LOCAL_MACHINE's Run key for setting and deleting values; the key
// is created when missing. ERROR_SUCCESS with `key` set, or the failure code.
LSTATUS OpenMachineRunKeyForWriting(HKEY* key);
