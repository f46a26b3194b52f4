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

class RunKey : public ::testing::Test {
protected:
    void SetUp() override { ResetMachine(); }
    void TearDown() override { ResetMachine(); }
    static std::wstring Value(HKEY root) {
        wchar_t data[MAX_PATH + 1] = {};
        DWORD bytes = sizeof data - sizeof(wchar_t);
        if (RegGetValueW(root, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, data, &bytes) != ERROR_SUCCESS)
            return L"none";
        return data;
    }
};

TEST_F(RunKey, TickedStoresTheExePathAndUntickedRemovesIt) {
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    EXPECT_EQ(IsStartWithWindows(), 0);
    EXPECT_EQ(SetStartWithWindows(1), 1);
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE), exe);
    EXPECT_EQ(IsStartWithWindows(), 1);
    EXPECT_EQ(SetStartWithWindows(0), 1);
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE), L"none");
    EXPECT_EQ(IsStartWithWindows(), 0);
    // A value of any type counts: the user is told it is there.
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, REG_DWORD, "\1\0\0\0", 4), ERROR_SUCCESS);
    EXPECT_EQ(IsStartWithWindows(), 1);
}

}  // namespace
