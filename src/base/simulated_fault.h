#pragma once
// Test builds only (the simulated seams include it, the product never): a
// fault a test asks for under HKEY_CURRENT_USER\Software\GpsFennikSimulation.
#include <windows.h>

inline constexpr wchar_t kSimulationKey[] = L"Software\\GpsFennikSimulation";

// The DWORD value `name` there, counted down by one when above 0: the count
// before, 0 when there is none.
inline DWORD TakeSimulatedFault(const wchar_t* name) {
    DWORD left = 0;
    DWORD bytes = sizeof left;
    if (RegGetValueW(HKEY_CURRENT_USER, kSimulationKey, name, RRF_RT_REG_DWORD, nullptr, &left, &bytes) !=
            ERROR_SUCCESS ||
        left == 0)
        return 0;
    const DWORD before = left--;
    RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, name, REG_DWORD, &left, sizeof left);
    return before;
}
