// The real setup.exe of this build, run silently: install, install over a running copy in either
// language with the user's data present, uninstall. The Uninstall entry, shortcut and Run values are put back.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace {

constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\GpsFennik";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kProgramName[] = L"KIVAR M415 GPS Fennik";  // window class and Run value
const HKEY kRunRoots[] = {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
const wchar_t* const kProgramFiles[] = {L"GpsFennik.exe", L"String_Table_.dll", L"lang\\en\\String_Table_.dll",
                                        L"lang\\de\\String_Table_.dll", L"lang"};
const wchar_t* const kDataFiles[] = {L"Kelva_config.ini", L"Kelva_log.txt", L"Ephemeris.ee"};

// A path of the build tree as programs under Wine see it.
std::wstring WinPath(const char* path) { return L"Z:" + std::filesystem::path(path).make_preferred().wstring(); }
bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
std::string Bytes(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
}
std::optional<std::wstring> RegText(HKEY root, const wchar_t* key, const wchar_t* name) {
    wchar_t text[1024];
    DWORD size = sizeof text;
    if (RegGetValueW(root, key, name, RRF_RT_REG_SZ, nullptr, text, &size)) return std::nullopt;
    return text;
}
// Writes the program's Run value, or deletes it for no data.
bool SetRunValue(HKEY root, const std::optional<std::wstring>& data) {
    return !(data ? RegSetKeyValueW(root, kRunKey, kProgramName, REG_SZ, data->c_str(), (data->size() + 1) * 2)
                  : RegDeleteKeyValueW(root, kRunKey, kProgramName));
}
// Starts a command line; without `started`, waits for its exit code (~0 when it did not end).
DWORD Execute(std::wstring commandLine, PROCESS_INFORMATION* started = nullptr) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return ~0u;
    CloseHandle(pi.hThread);
    if (started) return *started = pi, 0;
    DWORD code = ~0u;
    if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    return code;
}
// The user's files, different in each.
std::string Data(const wchar_t* name) { return "\xff\xfe[user data]\r\n" + std::string(name, name + wcslen(name)); }

class Installer : public ::testing::Test {
protected:
    const std::wstring setupExe = WinPath(FENNIK_SETUP_EXE);
    std::wstring dir, shortcut;
    std::optional<std::wstring> savedRun[2];
    HANDLE program = nullptr;  // the last copy of the program started

    void SetUp() override {
        wchar_t path[MAX_PATH];
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAMS, nullptr, 0, path), S_OK);
        shortcut = std::wstring(path) + L"\\GPS Fennik.lnk";
        ASSERT_FALSE(RegText(HKEY_CURRENT_USER, kUninstallKey, L"DisplayName") || Exists(shortcut))
            << "GPS Fennik is installed in this prefix: the test would replace it";
        for (int i = 0; i < 2; ++i) savedRun[i] = RegText(kRunRoots[i], kRunKey, kProgramName);
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        dir = std::filesystem::path(path).parent_path().wstring() + L"\\setup test\\GPS Fennik";
        std::filesystem::remove_all(dir);
    }
    void TearDown() override {
        ProgramEnded(0);
        RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
        DeleteFileW(shortcut.c_str());
        for (int i = 0; i < 2; ++i) SetRunValue(kRunRoots[i], savedRun[i]);
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(dir).parent_path(), ignored);
    }
    DWORD Install(const wchar_t* language) { return Execute(L"\"" + setupExe + L"\" /S " + language + L" /D=" + dir); }
    std::wstring File(const wchar_t* name) const { return dir + L"\\" + name; }
    void WriteData() {
        for (auto name : kDataFiles) std::ofstream(std::filesystem::path(File(name)), std::ios::binary) << Data(name);
    }
    // Starts the installed program; its main window, or null.
    HWND StartProgram() {
        PROCESS_INFORMATION pi{};
        ProgramEnded(0);
        program = Execute(L"\"" + File(L"GpsFennik.exe") + L"\"", &pi) == 0 ? pi.hProcess : nullptr;
        for (int i = 0; i < 200; ++i, Sleep(100)) {
            HWND window = FindWindowW(kProgramName, nullptr);
            DWORD owner = 0;
            if (window && GetWindowThreadProcessId(window, &owner) && owner == pi.dwProcessId) return window;
        }
        return nullptr;
    }
    // True when the copy started last ended by itself with exit code 0 within `waitMs`. Either way it is
    // gone afterwards: one left running by a failed check must not hold the next one's files or window.
    bool ProgramEnded(DWORD waitMs) {
        DWORD code = ~0u;
        const bool ended = WaitForSingleObject(program, waitMs) == WAIT_OBJECT_0 && GetExitCodeProcess(program, &code);
        if (program) TerminateProcess(program, 1), CloseHandle(program), program = nullptr;
        return ended && !code;
    }
};

TEST_F(Installer, SilentInstallSetsUpWhatTheProgramNeedsAndSilentUninstallRemovesItButTheData) {
    ASSERT_EQ(Install(L"/LANG=en"), 0u);
    for (auto name : kProgramFiles) EXPECT_TRUE(Exists(File(name))) << name;
    EXPECT_TRUE(Exists(shortcut));
    const std::wstring uninstaller = L"\"" + File(L"uninstall.exe") + L"\"";
    const std::pair<const wchar_t*, std::wstring> entry[] = {
        {L"DisplayName", L"GPS Fennik"}, {L"InstallLocation", dir}, {L"DisplayIcon", File(L"GpsFennik.exe") + L",0"},
        {L"UninstallString", uninstaller}, {L"QuietUninstallString", uninstaller + L" /S"}};
    for (const auto& [name, value] : entry) EXPECT_EQ(RegText(HKEY_CURRENT_USER, kUninstallKey, name), value) << name;
    for (auto name : {L"DisplayVersion", L"Publisher"})
        EXPECT_NE(RegText(HKEY_CURRENT_USER, kUninstallKey, name).value_or(L""), L"") << name;
    HWND window = StartProgram();
    ASSERT_TRUE(window) << "the installed program showed no main window";
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(ProgramEnded(15000)) << "it did not end on WM_CLOSE";
    WriteData();
    bool planted[2];
    for (int i = 0; i < 2; ++i) planted[i] = SetRunValue(kRunRoots[i], File(L"GpsFennik.exe"));
    ASSERT_TRUE(planted[0]);
    // In place (_?=), so it does not return at once while a copy of it works.
    ASSERT_EQ(Execute(L"\"" + File(L"uninstall.exe") + L"\" /S _?=" + dir), 0u);
    for (auto name : kProgramFiles) EXPECT_FALSE(Exists(File(name))) << name;
    EXPECT_FALSE(Exists(shortcut));
    EXPECT_FALSE(RegText(HKEY_CURRENT_USER, kUninstallKey, L"DisplayName"));
    for (int i = 0; i < 2; ++i)
        EXPECT_FALSE(planted[i] && RegText(kRunRoots[i], kRunKey, kProgramName)) << "Run value of root " << i;
    for (auto name : kDataFiles) EXPECT_EQ(Bytes(File(name)), Data(name)) << name;
}

TEST_F(Installer, InstallOverARunningCopyClosesItKeepsTheDataAndInstallsTheChosenLanguage) {
    const std::string english = Bytes(WinPath(FENNIK_DIST_DIR "/String_Table_.dll"));
    const std::string german = Bytes(WinPath(FENNIK_GERMAN_MODULE));
    ASSERT_NE(english, german);
    ASSERT_EQ(Install(L"/LANG=en"), 0u);
    WriteData();
    const std::pair<const wchar_t*, const std::string*> cases[] = {{L"/LANG=de", &german}, {L"/LANG=en", &english}};
    for (const auto& [language, module] : cases) {
        SCOPED_TRACE(testing::Message() << language);
        ASSERT_TRUE(StartProgram()) << "the installed program showed no main window";
        EXPECT_EQ(Install(language), 0u);
        EXPECT_TRUE(ProgramEnded(0)) << "the running copy was not closed through its window";
        EXPECT_TRUE(Bytes(File(L"String_Table_.dll")) == *module) << "not the chosen string module";
        EXPECT_TRUE(Bytes(File(L"lang\\en\\String_Table_.dll")) == english);
        EXPECT_TRUE(Bytes(File(L"lang\\de\\String_Table_.dll")) == german);
        for (auto name : kDataFiles) EXPECT_EQ(Bytes(File(name)), Data(name)) << name;
    }
}

}  // namespace
