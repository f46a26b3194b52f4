#include "app_driver.h"

#include <commctrl.h>
#include <dbt.h>

#include <cstdio>

#include "named_test_lock.h"
#include "resources/resource.h"
#include "win_test_util.h"

namespace {

constexpr DWORD kSendTimeoutMs = 5000;
constexpr DWORD kGracefulEndMs = 8000;
constexpr WPARAM kFlushMarkerStep = 37;  // the program itself only ever uses step 1
constexpr int kMessageBoxTextId = 0xFFFF;

bool IsDialogClass(HWND window) {
    wchar_t cls[32] = {};
    GetClassNameW(window, cls, 32);
    return wcscmp(cls, L"#32770") == 0;
}

DWORD WindowProcessId(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

// Deletes what a folder holds, subfolders included; the folder stays.
bool EmptyFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    bool ok = true;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ok = EmptyFolder(path + L"\\") && ok;
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            ok = RemoveDirectoryW(path.c_str()) && ok;
        } else {
            ok = RemoveFile(path) && ok;
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return ok;
}

bool CopyInto(const std::wstring& from, const std::wstring& to) {
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}

void EndLeftoverInstances() {
    // An instance that an earlier test failed to end would take the next
    // start over through the single-instance rule.
    for (int round = 0; round < 10; ++round) {
        HWND window = FindWindowW(kMainWindowClass, nullptr);
        if (!window) return;
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, WindowProcessId(window));
        PostMessageW(window, WM_CLOSE, 0, 0);
        if (process) {
            if (WaitForSingleObject(process, 3000) != WAIT_OBJECT_0) {
                TerminateProcess(process, 1);
                WaitForSingleObject(process, 3000);
            }
            CloseHandle(process);
        } else {
            PumpFor(200);
        }
    }
}

constexpr unsigned long long kTicksPerMinute = 10000000ull * 60;

unsigned long long TicksOf(const SYSTEMTIME& time) {
    FILETIME ft{};
    SystemTimeToFileTime(&time, &ft);
    return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

constexpr wchar_t kTestDesktopName[] = L"FennikE2E";

// Starts the program in `folder` on the tests' desktop.
bool StartProgram(const std::wstring& folder, PROCESS_INFORMATION* pi) {
    const std::wstring exe = folder + L"GpsFennik.exe";
    std::wstring commandLine = L"\"" + exe + L"\"";
    std::wstring desktop = kTestDesktopName;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.lpDesktop = desktop.data();
    *pi = {};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, pi))
        return false;
    CloseHandle(pi->hThread);
    pi->hThread = nullptr;
    return true;
}

}  // namespace

bool UseTestDesktop() {
    static HDESK desktop = nullptr;
    if (desktop) return true;
    if (RunningUnderWine()) {
        // A virtual desktop of its own: its windows are no X11 top-levels, so
        // hiding one does not wait for a window manager that Xvfb lacks.
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\Explorer\\Desktops", 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, &key, nullptr) == ERROR_SUCCESS) {
            static constexpr wchar_t size[] = L"1024x768";
            RegSetValueExW(key, kTestDesktopName, 0, REG_SZ, reinterpret_cast<const BYTE*>(size), sizeof size);
            RegCloseKey(key);
        }
    }
    HDESK created = CreateDesktopW(kTestDesktopName, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    if (!created) return false;
    if (!SetThreadDesktop(created)) {
        CloseDesktop(created);
        return false;
    }
    desktop = created;  // kept for the life of the test process
    return true;
}

std::wstring WindowsPathOf(const std::string& path) {
    std::wstring wide(path.begin(), path.end());
    if (wide.empty() || wide[0] != L'/') return wide;
    for (wchar_t& c : wide)
        if (c == L'/') c = L'\\';
    return L"Z:" + wide;
}

bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring DeviceFolder(wchar_t letter) {
    wchar_t root[MAX_PATH] = {};
    std::wstring base;
    if (GetEnvironmentVariableW(L"FENNIK_DEVICE_ROOT", root, MAX_PATH) > 0) {
        std::string narrow;
        for (const wchar_t* p = root; *p; ++p) narrow.push_back(static_cast<char>(*p));
        base = WindowsPathOf(narrow);
    } else {
        base = ExeDirectory() + L"..\\devices";
    }
    if (!base.empty() && base.back() != L'\\') base += L'\\';
    return base + static_cast<wchar_t>(towlower(letter)) + L"\\";
}

std::wstring DeviceRoot(wchar_t letter) {
    return std::wstring(1, letter) + L":\\";
}

bool RemoveDeviceFolder(wchar_t letter) {
    const std::wstring folder = DeviceFolder(letter);
    EmptyFolder(folder);
    const std::wstring withoutSlash = folder.substr(0, folder.size() - 1);
    RemoveDirectoryW(withoutSlash.c_str());
    return !FileExists(withoutSlash);
}

bool RestoreDeviceFolder(wchar_t letter) {
    const std::wstring folder = DeviceFolder(letter);
    CreateDirectoryW(folder.c_str(), nullptr);
    return FileExists(folder);
}

bool RunValueExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    const bool exists = RegQueryValueExW(key, kRunValueName, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return exists;
}

bool SetSimulatedDevice(wchar_t letter, const wchar_t* deviceId) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kSimulatedDrivesKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    const wchar_t name[2] = {letter, 0};
    const LONG rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(deviceId),
                                   static_cast<DWORD>((wcslen(deviceId) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

bool ClearSimulatedDevice(wchar_t letter) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSimulatedDrivesKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return true;
    const wchar_t name[2] = {letter, 0};
    const LONG rc = RegDeleteValueW(key, name);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

bool ResetMachineState(std::wstring* problem) {
    auto fail = [problem](const std::wstring& what) {
        if (problem) *problem += what + L"; ";
        return false;
    };
    bool ok = true;
    EndLeftoverInstances();
    if (FindWindowW(kMainWindowClass, nullptr)) ok = fail(L"an earlier program instance is still running");

    const LONG rc = RegDeleteTreeW(HKEY_CURRENT_USER, kSimulatedDrivesKey);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) ok = fail(L"simulated drives not cleared");

    HKEY run = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, KEY_SET_VALUE, &run) == ERROR_SUCCESS) {
        RegDeleteValueW(run, kRunValueName);
        RegCloseKey(run);
    }
    if (RunValueExists()) ok = fail(L"Run value not deleted");

    for (const wchar_t* l = kDeviceLetters; *l; ++l) {
        if (!RestoreDeviceFolder(*l)) ok = fail(L"device folder " + DeviceFolder(*l) + L" missing");
        if (!EmptyFolder(DeviceRoot(*l))) ok = fail(L"drive " + DeviceRoot(*l) + L" not emptied");
    }
    return ok;
}

std::vector<unsigned char> SettingsFileBytes(std::initializer_list<std::pair<const wchar_t*, std::wstring>> sections) {
    std::wstring text;
    for (const auto& [header, value] : sections) text += std::wstring(header) + value + L"\r\n";
    return Utf16Bytes(text);
}

std::wstring StampText(const SYSTEMTIME& time) {
    wchar_t text[32];
    swprintf(text, 32, L"%04d/%02d/%02d\t%02d:%02d", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute);
    return text;
}

bool ParseStamp(const std::wstring& text, SYSTEMTIME* time) {
    if (text.size() != 16 || text[4] != L'/' || text[7] != L'/' || text[10] != L'\t' || text[13] != L':') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15})
        if (text[i] < L'0' || text[i] > L'9') return false;
    auto num = [&](size_t at, size_t n) {
        int v = 0;
        for (size_t i = at; i < at + n; ++i) v = v * 10 + (text[i] - L'0');
        return static_cast<WORD>(v);
    };
    *time = SYSTEMTIME{};
    time->wYear = num(0, 4);
    time->wMonth = num(5, 2);
    time->wDay = num(8, 2);
    time->wHour = num(11, 2);
    time->wMinute = num(14, 2);
    FILETIME check;
    return SystemTimeToFileTime(time, &check) != 0;
}

SYSTEMTIME AddMinutes(const SYSTEMTIME& time, long long minutes) {
    const unsigned long long ticks = TicksOf(time) + static_cast<unsigned long long>(minutes) * kTicksPerMinute;
    const FILETIME moved{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME out{};
    FileTimeToSystemTime(&moved, &out);
    return out;
}

long long MinutesBetween(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return static_cast<long long>(TicksOf(b) / kTicksPerMinute) - static_cast<long long>(TicksOf(a) / kTicksPerMinute);
}

std::wstring FromUtf16Bytes(const std::vector<unsigned char>& bytes) {
    std::wstring text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) text.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
    return text;
}

std::string FileContent(const std::wstring& path) {
    const std::vector<unsigned char> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

std::wstring SettingsValue(const std::wstring& settingsText, const wchar_t* header, size_t width) {
    const size_t at = settingsText.find(header);
    if (at == std::wstring::npos) return L"";
    return settingsText.substr(at + wcslen(header), width);
}

std::string Show(const std::wstring& text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'\t') out += "\\t";
        else if (c == L'\r') out += "\\r";
        else if (c == L'\n') out += "\\n";
        else out += Narrow(std::wstring(1, c));
    }
    return out + "\"";
}

// --- AppDriver -------------------------------------------------------------

AppDriver::~AppDriver() {
    Shutdown();
}

bool AppDriver::PrepareRunFolder(const std::wstring& distDir, const std::wstring& name, const RunFolderOptions& options) {
    std::wstring dist = distDir;
    if (!dist.empty() && dist.back() != L'\\') dist += L'\\';
    const std::wstring parent = ExeDirectory() + L"e2e-run\\";
    CreateDirectoryW(parent.c_str(), nullptr);
    runFolder_ = parent + name + L"\\";
    CreateDirectoryW(runFolder_.c_str(), nullptr);
    if (!EmptyFolder(runFolder_)) return false;
    if (!CopyInto(dist + L"GpsFennik.exe", runFolder_ + L"GpsFennik.exe")) return false;
    if (options.withStringModule && !CopyInto(dist + L"String_Table_.dll", runFolder_ + L"String_Table_.dll"))
        return false;
    if (options.settings && !WriteFileBytes(RunFile(L"Kelva_config.ini"), *options.settings)) return false;
    if (options.ephemeris && !WriteFileBytes(RunFile(L"Ephemeris.ee"), *options.ephemeris)) return false;
    return true;
}

std::vector<unsigned char> AppDriver::ReadRunFile(const wchar_t* name) const {
    return ReadFileBytes(RunFile(name));
}

bool AppDriver::Start() {
    if (Running() || runFolder_.empty()) return false;
    if (pi_.hProcess) CloseHandle(pi_.hProcess);
    pi_ = {};
    mainWindow_ = nullptr;
    mainDialog_ = nullptr;
    return StartProgram(runFolder_, &pi_);
}

bool AppDriver::Running() const {
    return pi_.hProcess && WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT;
}

bool AppDriver::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
    if (!pi_.hProcess) return false;
    const bool ended = WaitFor([this] { return !Running(); }, timeoutMs);
    if (ended && exitCode) GetExitCodeProcess(pi_.hProcess, exitCode);
    return ended;
}

bool AppDriver::RunSecondInstance(DWORD* exitCode, DWORD timeoutMs) {
    PROCESS_INFORMATION pi{};
    if (!StartProgram(runFolder_, &pi)) return false;
    const bool ended = WaitFor([&] { return WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0; }, timeoutMs);
    if (ended) {
        GetExitCodeProcess(pi.hProcess, exitCode);
    } else {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 3000);
    }
    CloseHandle(pi.hProcess);
    return ended;
}

bool AppDriver::Shutdown() {
    bool graceful = true;
    if (Running()) {
        HWND window = mainWindow_ && IsWindow(mainWindow_) ? mainWindow_ : nullptr;
        if (!window) {
            HWND found = FindWindowW(kMainWindowClass, nullptr);
            if (found && WindowProcessId(found) == pi_.dwProcessId) window = found;
        }
        if (window) PostMessageW(window, WM_CLOSE, 0, 0);
        if (!window || !WaitForExit(kGracefulEndMs)) {
            graceful = false;
            TerminateProcess(pi_.hProcess, 1);
            WaitForSingleObject(pi_.hProcess, 5000);
        }
    }
    if (pi_.hProcess) {
        CloseHandle(pi_.hProcess);
        pi_ = {};
    }
    mainWindow_ = nullptr;
    mainDialog_ = nullptr;
    return graceful;
}

bool AppDriver::WaitFor(const std::function<bool()>& done, DWORD timeoutMs) {
    return PumpUntil(done, timeoutMs);
}

HWND AppDriver::WaitForMainWindow(DWORD timeoutMs) {
    WaitFor(
        [this] {
            HWND found = FindWindowW(kMainWindowClass, nullptr);
            if (found && WindowProcessId(found) == pi_.dwProcessId) mainWindow_ = found;
            return mainWindow_ != nullptr || !Running();
        },
        timeoutMs);
    return mainWindow_;
}

std::vector<HWND> AppDriver::OwnedDialogs(HWND owner) const {
    struct Search {
        HWND owner;
        DWORD pid;
        std::vector<HWND> found;
    } search{owner, pi_.dwProcessId, {}};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            if (GetWindow(window, GW_OWNER) == s->owner && WindowProcessId(window) == s->pid && IsDialogClass(window))
                s->found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND AppDriver::WaitForMainDialog(DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    if (!WaitForMainWindow(timeoutMs)) return nullptr;
    const ULONGLONG now = GetTickCount64();
    WaitFor(
        [this] {
            // The splash and the About box are owned by the main window too;
            // the main dialog is the one with the Update button.
            for (HWND dialog : OwnedDialogs(mainWindow_))
                if (GetDlgItem(dialog, IDC_UPDATE)) mainDialog_ = dialog;
            return mainDialog_ != nullptr || !Running();
        },
        deadline > now ? static_cast<DWORD>(deadline - now) : 0);
    // The dialog is visible to EnumWindows while it still initialises; once a
    // marker has made the round, its initialisation has returned.
    if (mainDialog_ && !Flush()) mainDialog_ = nullptr;
    return mainDialog_;
}

int AppDriver::CountMainWindows() {
    int count = 0;
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            wchar_t cls[64] = {};
            GetClassNameW(window, cls, 64);
            if (wcscmp(cls, kMainWindowClass) == 0) ++*reinterpret_cast<int*>(param);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&count));
    return count;
}

bool AppDriver::SendTimeout(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, DWORD_PTR* result) const {
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(window, msg, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                               result ? result : &ignored) != 0;
}

std::wstring AppDriver::WindowText(HWND window) {
    if (!window) return L"<no window>";
    wchar_t text[1024] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &copied))
        InternalGetWindowText(window, text, 1024);  // the program's thread is busy: the stored text
    return text;
}

std::wstring AppDriver::ControlText(int id) const {
    return WindowText(GetDlgItem(mainDialog_, id));
}

bool AppDriver::DialogVisible() const {
    return mainDialog_ && IsWindowVisible(mainDialog_);
}

bool AppDriver::ControlEnabled(int id) const {
    return IsWindowEnabled(GetDlgItem(mainDialog_, id)) != 0;
}

LRESULT AppDriver::CheckState(int id) const {
    DWORD_PTR state = static_cast<DWORD_PTR>(-1);
    SendTimeout(GetDlgItem(mainDialog_, id), BM_GETCHECK, 0, 0, &state);
    return static_cast<LRESULT>(state);
}

int AppDriver::ProgressPosition() const {
    DWORD_PTR pos = static_cast<DWORD_PTR>(-1);
    SendTimeout(GetDlgItem(mainDialog_, IDC_PROGRESS), PBM_GETPOS, 0, 0, &pos);
    return static_cast<int>(pos);
}

void AppDriver::Click(int id) const {
    PostMessageW(GetDlgItem(mainDialog_, id), BM_CLICK, 0, 0);
}

void AppDriver::Command(int id) const {
    PostMessageW(mainDialog_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(mainDialog_, id)));
}

bool AppDriver::Flush(DWORD timeoutMs) const {
    HWND bar = GetDlgItem(mainDialog_, IDC_PROGRESS);
    if (!bar || !PostMessageW(bar, PBM_SETSTEP, kFlushMarkerStep, 0)) return false;
    // Each probe puts the step back to 1 and returns the step it found; the
    // marker shows up once the posted message has had its turn.
    return WaitFor(
        [&] {
            DWORD_PTR previous = 0;
            return SendTimeout(bar, PBM_SETSTEP, 1, 0, &previous) && previous == kFlushMarkerStep;
        },
        timeoutMs);
}

HWND AppDriver::FindMessageBox() const {
    if (!mainDialog_) return nullptr;
    for (HWND box : OwnedDialogs(mainDialog_))
        if (GetDlgItem(box, kMessageBoxTextId) && IsWindowVisible(box)) return box;
    return nullptr;
}

HWND AppDriver::WaitForMessageBox(DWORD timeoutMs) const {
    HWND box = nullptr;
    WaitFor([&] { return (box = FindMessageBox()) != nullptr; }, timeoutMs);
    return box;
}

std::wstring AppDriver::MessageBoxText(HWND box) {
    return WindowText(GetDlgItem(box, kMessageBoxTextId));
}

bool AppDriver::AnswerMessageBox(HWND box, int buttonId, DWORD timeoutMs) {
    HWND button = GetDlgItem(box, buttonId);
    if (!button) return false;
    PostMessageW(button, BM_CLICK, 0, 0);
    return WaitFor([box] { return !IsWindow(box) || !IsWindowVisible(box); }, timeoutMs);
}

bool AppDriver::TrayDoubleClick() const {
    return SendTimeout(mainWindow_, kWmTrayNotify, 0, kTrayLeftDoubleClick);
}

void AppDriver::TrayCommand(int id) const {
    PostMessageW(mainWindow_, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

bool AppDriver::SendVolumeEvent(WPARAM event, wchar_t letter) const {
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (towupper(letter) - L'A');
    return SendTimeout(mainDialog_, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&volume));
}

bool AppDriver::PlugDevice(wchar_t letter, const wchar_t* deviceId) const {
    return SetSimulatedDevice(letter, deviceId) && SendVolumeEvent(DBT_DEVICEARRIVAL, letter);
}

bool AppDriver::UnplugDevice(wchar_t letter) const {
    return ClearSimulatedDevice(letter) && SendVolumeEvent(DBT_DEVICEREMOVECOMPLETE, letter);
}

// --- AppTest ---------------------------------------------------------------

void AppTest::SetUp() {
    // Unit suites of other CTest entries use the Run value and the simulated
    // drives of the same prefix at the same time.
    ASSERT_TRUE(runValueLock_.Acquire(kRunValueTestLock)) << "the Run value stayed busy";
    ASSERT_TRUE(drivesLock_.Acquire(kSimulatedDrivesTestLock)) << "the simulated drives stayed busy";
    ASSERT_TRUE(UseTestDesktop()) << "no desktop for the program: " << GetLastError();
    std::wstring problem;
    ASSERT_TRUE(ResetMachineState(&problem)) << Narrow(problem);
    ASSERT_TRUE(server.Start(EphemerisServerPort(), 10000))
        << "port " << EphemerisServerPort() << " is taken: is another ephemeris test server running?";
    defaultBody = MakeTestBody(20000, 42);
    server.SetResponse(ServerResponse::File(defaultBody));
    strings_ = LoadLibraryExW((distDir_ + L"\\String_Table_.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(strings_, nullptr) << "no string module in " << Narrow(distDir_);
}

void AppTest::TearDown() {
    const bool running = app.Running();
    const bool graceful = app.Shutdown();
    server.Stop();
    ResetMachineState();
    if (strings_) FreeLibrary(strings_);
    strings_ = nullptr;
    EXPECT_TRUE(!running || graceful) << "the program did not end on WM_CLOSE and had to be terminated";
}

std::wstring AppTest::Str(UINT id) const {
    wchar_t text[512] = {};
    LoadStringW(strings_, id, text, 512);
    return text;
}

::testing::AssertionResult AppTest::AnswerBox(UINT textId, UINT captionId, int button) {
    HWND box = app.WaitForMessageBox();
    if (!box) return ::testing::AssertionFailure() << "no message box; status line " << Show(app.ControlText(IDC_STATUS));
    const std::wstring text = AppDriver::MessageBoxText(box);
    const std::wstring caption = AppDriver::MessageBoxCaption(box);
    const bool answered = AppDriver::AnswerMessageBox(box, button);
    if (text != Str(textId) || caption != Str(captionId))
        return ::testing::AssertionFailure() << "message box " << Show(caption) << ": " << Show(text) << "\n expected "
                                             << Show(Str(captionId)) << ": " << Show(Str(textId));
    if (!answered) return ::testing::AssertionFailure() << "the box " << Show(text) << " did not close";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult AppTest::PressUpdateUntilTaken() {
    const int requestsBefore = server.RequestCount();
    const std::wstring statusBefore = app.ControlText(IDC_STATUS);
    int presses = 0;
    const bool taken = AppDriver::WaitFor([&] {
        app.Click(IDC_UPDATE);
        ++presses;
        if (!app.Flush()) return false;
        return server.RequestCount() > requestsBefore || app.ControlText(IDC_STATUS) != statusBefore ||
               app.FindMessageBox() != nullptr;
    });
    if (taken) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << presses << " presses of Update changed nothing; status "
                                         << Show(app.ControlText(IDC_STATUS));
}

::testing::AssertionResult AppTest::NoBox() const {
    HWND box = app.FindMessageBox();
    if (!box) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "unexpected message box " << Show(AppDriver::MessageBoxCaption(box)) << ": "
                                         << Show(AppDriver::MessageBoxText(box));
}

bool AppTest::PrepareOnly(const RunFolderOptions& options) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = std::string(info->test_suite_name()) + "." + info->name();
    return app.PrepareRunFolder(distDir_, std::wstring(name.begin(), name.end()), options);
}

bool AppTest::Launch(const RunFolderOptions& options) {
    return PrepareOnly(options) && app.Start() && app.WaitForMainDialog() != nullptr;
}
