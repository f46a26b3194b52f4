// The real setup of this build, run silently: an install and an uninstall,
// and installs over a running copy in either language with the user's data;
// the start at sign-in it registers, also from its finish page.
#include <windows.h>
#include <shlobj.h>

#include <filesystem>

#include "app_driver.h"
#include "resources/resource.h"

namespace {

constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\GpsFennik";
const wchar_t* const kProgramFiles[] = {L"GpsFennik.exe", L"String_Table_.dll", L"lang\\en\\String_Table_.dll",
                                        L"lang\\de\\String_Table_.dll", L"uninstall.exe"};
const wchar_t* const kDataFiles[] = {L"Kelva_config.ini", L"Kelva_log.txt", L"Ephemeris.ee"};
// What a data file holds in these tests; auto-update off, so that a running copy changes none.
Bytes Data(const std::wstring& name) { return Utf16Bytes(name == kDataFiles[0] ? L"[AUTO UPDATE]\r\n0\r\n" : name); }

std::wstring Entry(const wchar_t* name, HKEY root = HKEY_CURRENT_USER, const wchar_t* key = kUninstallKey) {
    wchar_t text[1024] = {};
    DWORD size = sizeof text;
    return RegGetValueW(root, key, name, RRF_RT_REG_SZ, nullptr, text, &size) ? L"none" : text;
}

// The Run values of the program, "HKCU=data HKLM=data", each only where there is one.
std::wstring StartEntries() {
    std::wstring found;
    for (const auto& [root, name] : {std::pair{HKEY_CURRENT_USER, L"HKCU="}, {HKEY_LOCAL_MACHINE, L"HKLM="}})
        if (const std::wstring value = Entry(kRunValue, root, kRunKey); value != L"none") found += (found.empty() ? L"" : L" ") + (name + value);
    return found;
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
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, programs), S_OK);
        profile_ = std::wstring(programs) + L"\\Programs\\GPS Fennik";  // where it goes by default
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
        for (const auto& dir : {root_, profile_}) std::filesystem::remove_all(dir, ignored);
    }
    DWORD Install(const std::wstring& switches) {  // "/LANG=... /AUTOSTART=..." or ""
        return RunToEnd(L"\"" + WindowsPath(FENNIK_SETUP_EXE) + L"\" /S " + switches + L" /D=" + dir_);
    }
    std::wstring Quoted() const { return L"\"" + File(L"GpsFennik.exe") + L"\""; }
    // Starts the setup for a user; its first window once it shows, else null.
    HWND ForUser(const std::wstring& switches, PROCESS_INFORMATION* pi) {
        std::wstring line = L"\"" + WindowsPath(FENNIK_SETUP_EXE) + L"\" " + switches;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        HWND first = nullptr;
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, pi)) return nullptr;
        CloseHandle(pi->hThread);
        return PumpUntil([&] { return IsWindowVisible(first = FindWindowW(L"#32770", L"GPS Fennik Setup")); }) ? first : nullptr;
    }
    int AsksLanguage() {  // run for a user: its first window asks (1: combo box) or not (0); -1: none
        PROCESS_INFORMATION pi{};
        const HWND first = ForUser(L"", &pi);
        const int asks = first ? FindWindowExW(first, nullptr, L"ComboBox", nullptr) != nullptr : -1;
        Ended(pi, 0);  // ends it on its first page, where it has done nothing yet
        return asks;
    }
    // Runs the setup for a user to its finish page: the state of the box for the start at sign-in
    // there (-1: no such box, or no ticked "Run" offer), then ticks it or not, unticks "Run" and finishes.
    int FinishPage(bool tick) {
        PROCESS_INFORMATION pi{};
        HWND setup = ForUser(L"/LANG=en /D=" + dir_, &pi), box = nullptr, run = nullptr;  // its title changes later
        const auto next = [&] { return SendMessageTimeoutW(GetDlgItem(setup, IDOK), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 10000, nullptr); };
        const auto control = [&](const wchar_t* type, const wchar_t* text) {
            return FindWindowExW(FindWindowExW(setup, nullptr, L"#32770", nullptr), nullptr, type, text);
        };
        // Next on the welcome page, then on the folder's (its path field); the files go in.
        const bool finish = setup && next() && PumpUntil([&] { return control(L"Edit", nullptr); }) && next() && PumpUntil([&] {
            return (box = control(L"Button", L"Start GPS Fennik when I sign in to Windows")) && (run = control(L"Button", L"&Run GPS Fennik"));
        }, 60000);
        const int shown = finish && SendMessageW(run, BM_GETCHECK, 0, 0) == BST_CHECKED ? int(SendMessageW(box, BM_GETCHECK, 0, 0)) : -1;
        SendMessageW(run, BM_SETCHECK, BST_UNCHECKED, 0);
        SendMessageW(box, BM_SETCHECK, tick ? BST_CHECKED : BST_UNCHECKED, 0);
        return next() && Ended(pi, 15000) ? shown : -1;
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
    const std::wstring root_ = ExeDirectory() + L"setup test";
    std::wstring dir_ = root_ + L"\\GPS Fennik", profile_, shortcut_;
};

TEST_F(Installer, InstallSetsUpEverythingAndUninstallRemovesAllButTheData) {
    dir_ = profile_;
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
    // Started at sign-in: Windows runs the entry's command line from some other folder.
    const std::wstring entry = StartEntries();
    ASSERT_EQ(entry, L"HKCU=" + Quoted()) << "a first install starts the program at sign-in";
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(StartProgram(L"", &pi, entry.c_str() + 5)) << Show(entry);
    CloseHandle(pi.hProcess);
    ASSERT_TRUE(app.Adopt()) << "the entry started no program";
    EXPECT_FALSE(app.Visible()) << "a start at sign-in shows no window";
    EXPECT_EQ(app.Ask(IDC_STARTUP, BM_GETCHECK), BST_CHECKED);
    app.Click(IDC_STARTUP);
    EXPECT_TRUE(app.Flush() && StartEntries().empty()) << "unticked in the program, the entry stays: " << Show(StartEntries());
    EXPECT_TRUE(app.Shutdown()) << "it did not end on WM_CLOSE";

    for (auto name : kDataFiles) ASSERT_TRUE(WriteFileBytes(File(name), Data(name)));
    const std::wstring exe = File(L"GpsFennik.exe");
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        ASSERT_EQ(RegSetKeyValueW(root, kRunKey, kRunValue, REG_SZ, exe.c_str(), (exe.size() + 1) * 2), 0);
        ASSERT_EQ(RegSetKeyValueW(root, kStartupApproved, kRunValue, REG_BINARY, "\3\x7a\x91\0", 4), 0);  // switched off
    }
    // In place (_?=): otherwise it returns at once while a copy of it works.
    ASSERT_EQ(RunToEnd(uninstaller + L" /S _?=" + dir_), 0u);
    for (auto name : kProgramFiles)  // all but the uninstaller itself, which runs in place
        EXPECT_EQ(FileExists(File(name)), wcscmp(name, L"uninstall.exe") == 0) << Show(name);
    EXPECT_FALSE(FileExists(shortcut_));
    EXPECT_EQ(Entry(L"DisplayName"), L"none");
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
        for (auto key : {kRunKey, kStartupApproved})
            EXPECT_NE(RegGetValueW(root, key, kRunValue, RRF_RT_ANY, nullptr, nullptr, nullptr), 0) << "stayed: " << Show(key);
    for (auto name : kDataFiles) EXPECT_EQ(ReadFileBytes(File(name)), Data(name)) << Show(name);
}

// Each row: the running copy's box clicked (or not), then a silent upgrade into the row's folder; the copy
// closed for it runs again after it, hidden, and only an entry that was there names its folder.
TEST_F(Installer, InstallOverARunningCopyClosesItKeepsTheDataAndTheChoicesAndStartsItAgain) {
    const Bytes english = ReadFileBytes(WindowsPath(FENNIK_DIST_DIR "/String_Table_.dll"));
    const Bytes german = ReadFileBytes(WindowsPath(FENNIK_GERMAN_MODULE));
    ASSERT_NE(english, german);
    EXPECT_EQ(AsksLanguage(), 1) << "a first install must ask for the language";
    EXPECT_EQ(Install(L"/AUTOSTART=yes"), 2u) << "an unknown /AUTOSTART= must not install";
    ASSERT_EQ(Install(L"/LANG=en /AUTOSTART=0"), 0u);
    EXPECT_EQ(StartEntries(), L"") << "/AUTOSTART=0 registers nothing";
    EXPECT_EQ(AsksLanguage(), 0) << "an upgrade must keep the language";
    for (auto name : kDataFiles) ASSERT_TRUE(WriteFileBytes(File(name), Data(name)));
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(StartInstalled(&pi)) << "the installed program showed no main window";
    CloseHandle(pi.hProcess);
    ASSERT_TRUE(app.Adopt());
    const std::wstring first = dir_;
    struct Row { const wchar_t* language; const Bytes* module; bool entry; std::wstring dir; };
    // The box ticked (an entry of the program's under HKLM, the folder being outside the profile), then
    // unticked, then ticked for an upgrade that moves the installation.
    for (const auto& [language, module, entry, dir] : {Row{L"/LANG=de", &german, true, first}, {L"", &german, false, first},
                                                       {L"/LANG=en", &english, true, root_ + L"\\moved"}}) {
        SCOPED_TRACE(Show(language + (L" into " + dir)));
        const DWORD before = app.Process();
        app.Click(IDC_STARTUP);
        ASSERT_TRUE(app.Flush());
        dir_ = dir;
        EXPECT_EQ(Install(language), 0u);
        DWORD code = ~0u;
        EXPECT_TRUE(app.WaitForExit(0, &code) && code == 0) << "the running copy was not closed through its window";
        EXPECT_EQ(StartEntries(), entry ? L"HKLM=" + Quoted() : L"");
        ASSERT_TRUE(app.Adopt()) << "the closed copy was not started again";
        EXPECT_NE(app.Process(), before);
        EXPECT_FALSE(PumpUntil([&] { return app.Visible(); }, 2000)) << "started again, it shows its window";
        EXPECT_EQ(app.Ask(IDC_STARTUP, BM_GETCHECK), entry ? BST_CHECKED : BST_UNCHECKED);
        EXPECT_TRUE(ReadFileBytes(File(L"String_Table_.dll")) == *module) << "not the chosen string module";
        EXPECT_TRUE(ReadFileBytes(File(L"lang\\en\\String_Table_.dll")) == english);
        EXPECT_TRUE(ReadFileBytes(File(L"lang\\de\\String_Table_.dll")) == german);
        for (auto name : kDataFiles) EXPECT_EQ(ReadFileBytes(first + L"\\" + name), Data(name)) << Show(name);
    }
}

// The finish page's box for the start at sign-in shows what Windows will do and sets it.
TEST_F(Installer, FinishPageShowsAndSetsTheStartAtSignIn) {
    struct Row { const char* before; bool off; int shown; bool tick; bool entry; };
    for (const auto& [before, off, shown, tick, entry] : {Row{"nothing installed, a switch left off", true, 1, false, false},
                                                          {"no entry", false, 0, true, true},
                                                          {"an entry switched off in Task Manager", true, 0, true, true},
                                                          {"an entry (switched on again)", false, 1, false, false}}) {
        SCOPED_TRACE(before);
        if (off) { ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kStartupApproved, kRunValue, REG_BINARY, "\3\x7a\x91\0", 4), 0); }
        EXPECT_EQ(FinishPage(tick), shown);
        EXPECT_EQ(StartEntries(), entry ? L"HKCU=" + Quoted() : L"");
    }
}

}  // namespace
