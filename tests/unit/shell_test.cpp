// What the shell stands on: the string modules' texts, the dialogs of the
// executable, and the start-with-Windows value.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "app_driver.h"
#include "persistence/run_key.h"
#include "resources/resource.h"
#include "shell/app_state.h"

namespace {

// Every text is there and leaves room for the longest suffix, "...\t100%".
TEST(StringModule, BothLanguagesYieldEveryText) {
    for (const char* module : {FENNIK_DIST_DIR "/String_Table_.dll", FENNIK_DIST_DIR "/../lang/de/String_Table_.dll"}) {
        HMODULE strings = LoadLibraryExW(WindowsPath(module).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(strings, nullptr) << module;
        for (UINT id = 1000; id <= 1029; ++id) {
            wchar_t text[512] = {};
            const int length = LoadStringW(strings, id, text, 512);
            EXPECT_TRUE(length > 0 && length + 8 < static_cast<int>(kTextChars)) << module << ": text " << id << " is "
                                                                                 << length << " characters";
        }
        FreeLibrary(strings);
    }
}

TEST(Dialogs, CreateWithTheirControls) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    HMODULE exe = LoadLibraryExW(WindowsPath(FENNIK_DIST_DIR "/GpsFennik.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr);
    const struct {
        int dialog;
        std::vector<int> controls;
    } rows[] = {
        {IDD_MAIN,
         {IDC_PROGRESS, IDC_DOWNLOAD_LABEL, IDC_UPDATE_LABEL, IDC_EXPIRE_LABEL, IDC_UPDATE, IDC_DOWNLOAD_TIME,
          IDC_UPDATE_TIME, IDC_EXPIRE_TIME, IDC_STATUS, IDC_AUTO_UPDATE, IDC_STARTUP, IDC_CLOSE}},
        {IDD_ABOUTBOX, {IDC_ABOUT_ICON, IDOK}},
    };
    for (const auto& row : rows) {
        HWND dialog = CreateDialogParamW(exe, MAKEINTRESOURCEW(row.dialog), nullptr,
                                         [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
        ASSERT_NE(dialog, nullptr) << "dialog " << row.dialog << ", error " << GetLastError();
        for (int id : row.controls) EXPECT_NE(GetDlgItem(dialog, id), nullptr) << "dialog " << row.dialog << ", control " << id;
        DestroyWindow(dialog);
    }
    FreeLibrary(exe);
}

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
        // What is stored is the full path of the running executable, quoted.
        wchar_t stored[MAX_PATH + 3] = {}, exe[MAX_PATH + 2] = {L'"'};
        DWORD bytes = sizeof stored - sizeof(wchar_t);
        exe[GetModuleFileNameW(nullptr, exe + 1, MAX_PATH) + 1] = L'"';
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
