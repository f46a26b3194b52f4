// The real setup of this build, run silently: an install and an uninstall,
// and installs over a running copy in either language with the user's data.
#include <windows.h>
#include <shlobj.h>

#include <filesystem>

#include "app_driver.h"

namespace {

constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\GpsFennik";
const wchar_t* const kProgramFiles[] = {L"GpsFennik.exe", L"String_Table_.dll", L"lang\\en\\String_Table_.dll",
                                        L"lang\\de\\String_Table_.dll", L"uninstall.exe"};
const wchar_t* const kDataFiles[] = {L"Kelva_config.ini", L"Kelva_log.txt", L"Ephemeris.ee"};

std::wstring Entry(const wchar_t* name) {
    wchar_t text[1024] = {};
    DWORD size = sizeof text;
    return RegGetValueW(HKEY_CURRENT_USER, kUninstallKey, name, RRF_RT_REG_SZ, nullptr, text, &size) ? L"none" : text;
}

// Runs a command line to its end; its exit code.
DWORD RunToEnd(std::wstring commandLine) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    DWORD code = ~0u;
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return code;
    if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code;
}

class Installer : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        wchar_t programs[MAX_PATH];
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, 0, programs), S_OK);
        shortcut_ = std::wstring(programs) + L"\\GPS Fennik.lnk";
        Clean();
    }
    void TearDown() override {
        AppTest::TearDown();
        Clean();
    }
    void Clean() {
        RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
        DeleteFileW(shortcut_.c_str());
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    DWORD Install(const wchar_t* language) {  // "/LANG=..." or ""
        return RunToEnd(L"\"" + WindowsPath(FENNIK_SETUP_EXE) + L"\" /S " + language + L" /D=" + dir_);
    }
    int AsksLanguage() {  // run for a user: its first window asks (1: combo box) or not (0); -1: none
        std::wstring line = L"\"" + WindowsPath(FENNIK_SETUP_EXE) + L"\"";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
        HWND first = nullptr;
        PumpUntil([&] { return IsWindowVisible(first = FindWindowW(L"#32770", L"GPS Fennik Setup")); });
        const int asks = first ? FindWindowExW(first, nullptr, L"ComboBox", nullptr) != nullptr : -1;
        Ended(pi, 0);  // ends it on its first page, where it has done nothing yet
        CloseHandle(pi.hThread);
        return asks;
    }
    std::wstring File(const wchar_t* name) const { return dir_ + L"\\" + name; }
    // Starts the installed program; true once its main window is there.
    bool StartInstalled(PROCESS_INFORMATION* pi) {
        return StartProgram(dir_ + L"\\", pi) && PumpUntil([&] { return CountMainWindows(pi->dwProcessId) > 0; });
    }
    bool Ended(const PROCESS_INFORMATION& pi, DWORD waitMs) {
        DWORD code = ~0u;
        const bool ended = WaitForSingleObject(pi.hProcess, waitMs) == WAIT_OBJECT_0 && GetExitCodeProcess(pi.hProcess, &code);
        if (!ended) TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hProcess);
        return ended && code == 0;
    }
    const std::wstring dir_ = ExeDirectory() + L"setup test\\GPS Fennik";
    std::wstring shortcut_;
};

TEST_F(Installer, InstallSetsUpEverythingAndUninstallRemovesAllButTheData) {
    ASSERT_EQ(Install(L"/LANG=en"), 0u);
    for (auto name : kProgramFiles) EXPECT_TRUE(FileExists(File(name))) << Show(name);
    EXPECT_TRUE(FileExists(shortcut_));
    const std::wstring uninstaller = L"\"" + File(L"uninstall.exe") + L"\"";
    for (const auto& [name, value] : {std::pair<const wchar_t*, std::wstring>{L"DisplayName", L"GPS Fennik"},
                                      {L"InstallLocation", dir_},
                                      {L"DisplayIcon", File(L"GpsFennik.exe") + L",0"},
                                      {L"UninstallString", uninstaller},
                                      {L"QuietUninstallString", uninstaller + L" /S"}})
        EXPECT_EQ(Entry(name), value) << Show(name);
    for (auto name : {L"DisplayVersion", L"Publisher"}) EXPECT_NE(Entry(name), L"none") << Show(name);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(StartInstalled(&pi)) << "the installed program showed no main window";
    PostMessageW(FindWindowW(kMainWindowClass, nullptr), WM_CLOSE, 0, 0);
    EXPECT_TRUE(Ended(pi, 15000)) << "it did not end on WM_CLOSE";

    for (auto name : kDataFiles) ASSERT_TRUE(WriteFileBytes(File(name), Utf16Bytes(name)));
    const std::wstring exe = File(L"GpsFennik.exe");
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
        ASSERT_EQ(RegSetKeyValueW(root, kRunKey, kRunValue, REG_SZ, exe.c_str(), (exe.size() + 1) * 2), 0);
    // In place (_?=): otherwise it returns at once while a copy of it works.
    ASSERT_EQ(RunToEnd(uninstaller + L" /S _?=" + dir_), 0u);
    for (auto name : kProgramFiles)  // all but the uninstaller itself, which runs in place
        EXPECT_EQ(FileExists(File(name)), wcscmp(name, L"uninstall.exe") == 0) << Show(name);
    EXPECT_FALSE(FileExists(shortcut_));
    EXPECT_EQ(Entry(L"DisplayName"), L"none");
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
        EXPECT_NE(RegGetValueW(root, kRunKey, kRunValue, RRF_RT_ANY, nullptr, nullptr, nullptr), 0) << "a Run value stayed";
    for (auto name : kDataFiles) EXPECT_EQ(ReadFileBytes(File(name)), Utf16Bytes(name)) << Show(name);
}

TEST_F(Installer, InstallOverARunningCopyClosesItKeepsTheDataAndTakesTheLanguage) {
    const Bytes english = ReadFileBytes(WindowsPath(FENNIK_DIST_DIR "/String_Table_.dll"));
    const Bytes german = ReadFileBytes(WindowsPath(FENNIK_GERMAN_MODULE));
    ASSERT_NE(english, german);
    EXPECT_EQ(AsksLanguage(), 1) << "a first install must ask for the language";
    ASSERT_EQ(Install(L"/LANG=en"), 0u);
    EXPECT_EQ(AsksLanguage(), 0) << "an upgrade must keep the language";
    for (auto name : kDataFiles) ASSERT_TRUE(WriteFileBytes(File(name), Utf16Bytes(name)));
    for (const auto& [language, module] : {std::pair{L"/LANG=de", &german}, {L"", &german} /* kept */, {L"/LANG=en", &english}}) {
        SCOPED_TRACE(Show(language));
        PROCESS_INFORMATION pi{};
        ASSERT_TRUE(StartInstalled(&pi)) << "the installed program showed no main window";
        EXPECT_EQ(Install(language), 0u);
        EXPECT_TRUE(Ended(pi, 0)) << "the running copy was not closed through its window";
        EXPECT_TRUE(ReadFileBytes(File(L"String_Table_.dll")) == *module) << "not the chosen string module";
        EXPECT_TRUE(ReadFileBytes(File(L"lang\\en\\String_Table_.dll")) == english);
        EXPECT_TRUE(ReadFileBytes(File(L"lang\\de\\String_Table_.dll")) == german);
        for (auto name : kDataFiles) EXPECT_EQ(ReadFileBytes(File(name)), Utf16Bytes(name)) << Show(name);
    }
}

}  // namespace
