// The start-with-Windows value.
#include <gtest/gtest.h>

#include <windows.h>

#include "app_driver.h"
#include "persistence/run_key.h"
#include "resources/resource.h"
#include "shell/app_state.h"

namespace {

// Ticking tries the machine-wide key first and falls back to the user's where
// this user may not write it (the test build's seam stands in for Windows'
// refusal); unticking removes the value wherever this user can.
TEST(RunKey, ValueGoesWhereThisUserMayWriteAndIsReadFromBoth) {
    const auto has = [](HKEY root) {
        return RegGetValueW(root, kRunKey, kRunValue, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    };
    const struct {
        const char* what;
        bool denied, machineBefore, userBefore;
        int enable, result;
        bool machineAfter, userAfter;
    } rows[] = {
        {"refused: the tick lands in the user's key", true, false, false, 1, 1, false, true},
        {"allowed: the machine key, no second copy", false, false, true, 1, 1, true, false},
        {"untick removes the value from both keys", false, true, true, 0, 1, false, false},
        {"refused: untick removes the user's value", true, false, true, 0, 1, false, false},
        {"refused: a machine value that stays keeps the tick", true, true, true, 0, 0, true, false},
    };
    for (const auto& r : rows) {
        ResetMachine();
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
            if (root == HKEY_LOCAL_MACHINE ? r.machineBefore : r.userBefore)
                RegSetKeyValueW(root, kRunKey, kRunValue, REG_DWORD, "\1\0\0\0", 4);  // any type counts
        const DWORD one = 1;
        if (r.denied) RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"MachineRunKeyDenied", REG_DWORD, &one, 4);
        EXPECT_EQ(SetStartWithWindows(r.enable), r.result) << r.what;
        EXPECT_EQ(has(HKEY_LOCAL_MACHINE), r.machineAfter) << r.what;
        EXPECT_EQ(has(HKEY_CURRENT_USER), r.userAfter) << r.what;
        EXPECT_EQ(IsStartWithWindows(), r.machineAfter || r.userAfter ? 1 : 0) << r.what;
        // What is stored is the full path of the running executable.
        wchar_t stored[MAX_PATH + 1] = {}, exe[MAX_PATH] = {};
        DWORD bytes = sizeof stored - sizeof(wchar_t);
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        HKEY key = nullptr;
        if (r.enable && !RegOpenKeyExW(r.denied ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_READ, &key)) {
            RegQueryValueExW(key, kRunValue, nullptr, nullptr, reinterpret_cast<BYTE*>(stored), &bytes);
            RegCloseKey(key);
            EXPECT_STREQ(stored, exe) << r.what;
            EXPECT_EQ(bytes, (wcslen(exe) + 1) * sizeof(wchar_t)) << r.what << ": stored without its terminator";
        }
    }
    ResetMachine();
}

}  // namespace
