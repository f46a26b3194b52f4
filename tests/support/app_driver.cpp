#include "app_driver.h"

#include <dbt.h>
#include <shellapi.h>

#include <algorithm>
#include <regex>

#include "resources/resource.h"

namespace {

constexpr wchar_t kDesktop[] = L"FennikE2E";
constexpr WPARAM kFlushMarkerStep = 37;  // the program itself only ever uses step 1
constexpr int kBoxTextId = 0xFFFF;

const std::wstring& ServerDir() {
    static const std::wstring dir = WindowsPath(FENNIK_SERVER_DIR "/");
    return dir;
}

DWORD ProcessOf(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

bool Send(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, DWORD_PTR* result = nullptr) {
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(window, msg, wParam, lParam, SMTO_ABORTIFHUNG, 5000, result ? result : &ignored) != 0;
}

std::wstring WindowText(HWND window) {
    wchar_t text[1024] = {};
    if (!Send(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text))) InternalGetWindowText(window, text, 1024);
    return text;
}

void EmptyFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &found);
    for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found))
        DeleteFileW((folder + found.cFileName).c_str());  // folders stay
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
}

// The dialogs owned by `owner` with a control `childId`.
std::vector<HWND> OwnedDialogs(HWND owner, int childId) {
    std::vector<HWND> found;
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"#32770", nullptr)) != nullptr;)
        if (GetWindow(w, GW_OWNER) == owner && GetDlgItem(w, childId)) found.push_back(w);
    return found;
}

HWND OwnedDialog(HWND owner, int childId) {
    const std::vector<HWND> found = OwnedDialogs(owner, childId);
    return found.empty() ? nullptr : found.front();
}

std::vector<std::wstring> Split(const std::wstring& text, const std::wstring& at) {
    std::vector<std::wstring> parts;
    for (size_t from = 0;;) {
        const size_t end = text.find(at, from);
        parts.push_back(text.substr(from, end - from));
        if (end == std::wstring::npos) return parts;
        from = end + at.size();
    }
}

// A virtual desktop of the tests' own under Wine: its windows are no X11
// top-levels, so hiding one does not wait for a window manager Xvfb lacks.
bool UseTestDesktop() {
    static HDESK desktop = nullptr;
    if (desktop) return true;
    static constexpr wchar_t size[] = L"1024x768";
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\Explorer\\Desktops", kDesktop, REG_SZ, size, sizeof size);
    desktop = CreateDesktopW(kDesktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    return desktop && SetThreadDesktop(desktop);
}

}  // namespace

bool SetServerMode(const std::string& mode) {
    const std::wstring path = ServerDir() + L"mode";
    if (!WriteFileBytes(path + L".new", Bytes(mode.begin(), mode.end())) ||
        !MoveFileExW((path + L".new").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return false;
    const std::string state = mode.rfind("refuse", 0) == 0 ? "refusing" : "listening";
    return PumpUntil([&] {
        const Bytes now = ReadFileBytes(ServerDir() + L"state");
        return std::string(now.begin(), now.end()) == state;
    });
}

std::string ServerLog() {
    const Bytes log = ReadFileBytes(ServerDir() + L"requests");
    return std::string(log.begin(), log.end());
}

int ServerRequests() {
    const std::string log = ServerLog();
    return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
}

bool SetSimulatedDevice(wchar_t letter, const wchar_t* deviceId) {
    const std::wstring key = std::wstring(kSimulationKey) + L"\\Drives";
    const wchar_t name[] = {letter, 0};
    if (!deviceId) {
        const LONG rc = RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), name);
        return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
    }
    return RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name, REG_SZ, deviceId,
                           static_cast<DWORD>((wcslen(deviceId) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

std::wstring DeviceFile(wchar_t letter) { return std::wstring(1, letter) + L":\\Ephemeris.ee"; }

int CountMainWindows(DWORD pid) {
    int count = 0;
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, kMainWindowClass, nullptr)) != nullptr;)
        count += pid == 0 || ProcessOf(w) == pid;
    return count;
}

bool ResetMachine() {
    for (int round = 0; round < 10 && CountMainWindows() > 0; ++round) {
        HWND window = FindWindowW(kMainWindowClass, nullptr);
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, ProcessOf(window));
        PostMessageW(window, WM_CLOSE, 0, 0);
        if (process && WaitForSingleObject(process, 3000) != WAIT_OBJECT_0) TerminateProcess(process, 1);
        if (process) WaitForSingleObject(process, 3000), CloseHandle(process);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kSimulationKey);  // devices, and the machine Run key's refusal
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
        RegDeleteKeyValueW(root, kRunKey, kRunValue), RegDeleteKeyValueW(root, kStartupApproved, kRunValue);
    for (const wchar_t* root : {L"E:\\", L"F:\\", L"G:\\"}) EmptyFolder(root);
    return CountMainWindows() == 0;
}

bool StartProgram(const std::wstring& folder, PROCESS_INFORMATION* pi, const wchar_t* given) {
    const std::wstring exe = folder + L"GpsFennik.exe";
    std::wstring commandLine = given ? given : L"\"" + exe + L"\"";
    std::wstring desktop = kDesktop;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.lpDesktop = desktop.data();
    *pi = {};
    // Started from another folder, as from the Run key or a shortcut.
    const std::wstring elsewhere = ExeDirectory();
    if (!CreateProcessW(given ? nullptr : exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        elsewhere.c_str(), &si, pi))
        return false;
    CloseHandle(pi->hThread);
    pi->hThread = nullptr;
    return true;
}

std::wstring WindowsPath(const char* unixPath) {
    std::wstring path = L"Z:";
    for (const char* p = unixPath; *p; ++p) path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    return path;
}

// --- App -------------------------------------------------------------------

bool App::Prepare(const std::wstring& name, const RunFiles& files) {
    const std::wstring dist = WindowsPath(FENNIK_DIST_DIR "/");
    const std::wstring parent = ExeDirectory() + L"e2e-run\\";
    folder_ = (name.find(L':') == std::wstring::npos ? parent : L"") + name + L"\\";
    CreateDirectoryW(parent.c_str(), nullptr);
    CreateDirectoryW(folder_.c_str(), nullptr);
    for (const wchar_t* file : {L"Kelva_config.ini", L"Kelva_log.txt", L"Ephemeris.ee", L"packedEphemeris.ee",
                                L"String_Table_.dll", L"TrayJournal.txt", L"BoxJournal.txt"})
        DeleteFileW(File(file).c_str());
    return CopyFileW((dist + L"GpsFennik.exe").c_str(), File(L"GpsFennik.exe").c_str(), FALSE) &&
           CopyFileW((dist + L"String_Table_.dll").c_str(), File(L"String_Table_.dll").c_str(), FALSE) &&
           (!files.settings || WriteFileBytes(File(L"Kelva_config.ini"), Utf16Bytes(*files.settings))) &&
           (!files.ephemeris || WriteFileBytes(File(L"Ephemeris.ee"), *files.ephemeris)) &&
           (!files.log || WriteFileBytes(File(L"Kelva_log.txt"), Utf16Bytes(*files.log)));
}

bool App::Start(const wchar_t* commandLine) {
    Shutdown();
    return StartProgram(folder_, &pi_, commandLine);
}

bool App::Adopt() {
    Shutdown();
    HWND window = nullptr;
    if (!PumpUntil([&] { return (window = FindWindowW(kMainWindowClass, nullptr)) != nullptr; })) return false;
    pi_.dwProcessId = ProcessOf(window);
    pi_.hProcess = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pi_.dwProcessId);
    return pi_.hProcess && WaitForDialog();
}

bool App::WaitForDialog() {
    const bool found = PumpUntil([&] {
        HWND w = FindWindowW(kMainWindowClass, nullptr);
        if (w && ProcessOf(w) == pi_.dwProcessId) window_ = w;
        if (window_) dialog_ = OwnedDialog(window_, IDC_CLOSE);  // its last control: never seen half made
        return dialog_ != nullptr || !Running();
    });
    return found && dialog_ && Flush();
}

bool App::Running() const { return pi_.hProcess && WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT; }

bool App::WaitForExit(DWORD timeoutMs, DWORD* exitCode) {
    const bool ended = pi_.hProcess && PumpUntil([&] { return !Running(); }, timeoutMs);
    if (ended && exitCode) GetExitCodeProcess(pi_.hProcess, exitCode);
    return ended;
}

bool App::Shutdown() {
    bool graceful = true;
    if (Running()) {
        if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
        if (!window_ || !WaitForExit(8000)) {
            graceful = false;
            TerminateProcess(pi_.hProcess, 1);
            WaitForSingleObject(pi_.hProcess, 5000);
        }
    }
    if (pi_.hProcess) CloseHandle(pi_.hProcess);
    pi_ = {};
    window_ = dialog_ = nullptr;
    return graceful;
}

std::wstring App::Text(int id) const { return WindowText(GetDlgItem(dialog_, id)); }

std::wstring App::Caption() const { return WindowText(dialog_); }

LRESULT App::Ask(int id, UINT message) const {
    DWORD_PTR answer = static_cast<DWORD_PTR>(-1);
    Send(GetDlgItem(dialog_, id), message, 0, 0, &answer);
    return static_cast<LRESULT>(answer);
}

int App::Focus() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog_, nullptr), &info);
    return GetParent(info.hwndFocus) == dialog_ ? GetDlgCtrlID(info.hwndFocus) : 0;
}

bool App::Flush() const {
    // A marker posted behind everything else; each probe puts the step back
    // to 1 and reports the step it found.
    HWND bar = GetDlgItem(dialog_, IDC_PROGRESS);
    return bar && PostMessageW(bar, PBM_SETSTEP, kFlushMarkerStep, 0) && PumpUntil([&] {
               DWORD_PTR previous = 0;
               return Send(bar, PBM_SETSTEP, 1, 0, &previous) && previous == kFlushMarkerStep;
           });
}

HWND App::Box() const {
    HWND box = dialog_ ? OwnedDialog(dialog_, kBoxTextId) : nullptr;
    return box && IsWindowVisible(box) ? box : nullptr;
}

std::wstring App::About() const {
    HWND about = nullptr;
    if (!PumpUntil([&] { return (about = OwnedDialog(dialog_, IDC_ABOUT_ICON)) && IsWindowVisible(about); })) return L"";
    std::wstring texts;
    for (HWND c = GetWindow(about, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) texts += WindowText(c) + L" | ";
    PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
    return PumpUntil([&] { return !IsWindow(about); }) ? texts : L"the About box did not close";
}

bool App::Type(std::initializer_list<WORD> keys) const {
    INPUT key{};
    key.type = INPUT_KEYBOARD;
    std::vector<INPUT> input(2 * keys.size(), key);
    for (size_t i = 0, n = input.size(); i < keys.size(); ++i)
        input[i].ki.wVk = input[n - 1 - i].ki.wVk = keys.begin()[i], input[n - 1 - i].ki.dwFlags = KEYEVENTF_KEYUP;
    return SetForegroundWindow(dialog_) && SendInput(UINT(input.size()), input.data(), sizeof(INPUT)) == input.size() && Flush();
}

bool App::TrayDoubleClick() const { return Send(window_, 0x8000, 0, WM_LBUTTONDBLCLK); }

bool App::VolumeEvent(WPARAM event, wchar_t letter, int hearers) const {
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (letter - L'A');
    return (!(hearers & kMainWindow) || Send(window_, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&volume))) &&
           (!(hearers & kDialog) || Send(dialog_, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&volume)));
}

std::vector<std::wstring> App::TrayJournal() const {
    std::vector<std::wstring> calls = Split(FromUtf16(ReadFileBytes(File(L"TrayJournal.txt"))), L"\r\n");
    calls.pop_back();  // what follows the last line end
    return calls;
}

std::wstring App::Tips() const {
    std::wstring tips;
    for (const auto& call : TrayJournal())
        if (call.starts_with(L"modify\t") && call.ends_with(L"\tok")) tips += (tips.empty() ? L"" : L" | ") + Split(call, L"\t")[1];
    return tips;
}

std::wstring App::Menu() const {
    const size_t before = TrayJournal().size();
    std::wstring menu;
    PostMessageW(window_, 0x8000, MAKEWPARAM(300, 700), MAKELPARAM(WM_CONTEXTMENU, 1));  // as version 4 has it
    PumpUntil([&] {
        const auto calls = TrayJournal();
        for (size_t i = before; i < calls.size(); ++i)
            if (calls[i].starts_with(L"menu\t")) menu = calls[i].substr(5);
        return !menu.empty();
    });
    // The program's thread is in the menu's loop, which takes this key.
    PostMessageW(window_, WM_KEYDOWN, VK_ESCAPE, 0);
    if (!Flush()) return L"the menu did not close";
    for (size_t at; (at = menu.find(L'\t')) != std::wstring::npos;) menu.replace(at, 1, L" | ");
    return menu;
}

int App::Boxes() const {
    int visible = 0;
    for (HWND box : OwnedDialogs(dialog_, kBoxTextId)) visible += IsWindowVisible(box) != 0;
    return visible;
}

bool App::Plug(wchar_t letter, const wchar_t* deviceId, int hearers) const {
    return SetSimulatedDevice(letter, deviceId) && VolumeEvent(DBT_DEVICEARRIVAL, letter, hearers);
}

bool App::Unplug(wchar_t letter, int hearers) const {
    return SetSimulatedDevice(letter, nullptr) && VolumeEvent(DBT_DEVICEREMOVECOMPLETE, letter, hearers);
}

// --- AppTest ---------------------------------------------------------------

void AppTest::SetUp() {
    ASSERT_TRUE(UseTestDesktop()) << "no desktop for the program, error " << GetLastError();
    ASSERT_TRUE(ResetMachine()) << "an earlier program instance is still running";
    ASSERT_TRUE(SetServerMode("file 20000 42")) << "the ephemeris server does not run (CTest starts it)";
    DeleteFileW((ServerDir() + L"requests").c_str());
    strings_ = LoadLibraryExW((WindowsPath(FENNIK_DIST_DIR "/") + L"String_Table_.dll").c_str(), nullptr,
                              LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(strings_, nullptr);
}

void AppTest::TearDown() {
    const bool running = app.Running();
    EXPECT_TRUE(app.Shutdown() || !running) << "the program did not end on WM_CLOSE";
    // On every road, the tray record as the shell's rules want it: under version 4 each modify keeps the standard
    // tooltip, and only a balloon carries NIF_INFO (with an empty text it takes down a balloon still on screen).
    bool version4 = false;
    std::wsmatch m;
    for (const auto& call : app.TrayJournal())
        if ((version4 |= call.starts_with(L"setversion\t4\tok"), std::regex_match(call, m, std::wregex(L"modify(\t[^\t]*){3}\t([0-9a-f]+)\t.*")))) {
            const unsigned long flags = std::stoul(m[2].str(), nullptr, 16);  // 0: a late tooltip once the icon went
            EXPECT_TRUE(!(flags & NIF_INFO) || m[1].length() > 1) << "a call that withdraws the balloon: " << Show(call);
            EXPECT_TRUE(!version4 || !flags || (flags & NIF_SHOWTIP)) << "the tooltip lost: " << Show(call);
        }
    ResetMachine();
    if (strings_) FreeLibrary(strings_);
}

::testing::AssertionResult AppTest::Launch(const RunFiles& files) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
        if (c == '/') c = '.';
    if (!app.Prepare(std::wstring(name.begin(), name.end()), files) || !app.Start())
        return ::testing::AssertionFailure() << "the run folder or the program could not be made, error " << GetLastError();
    DWORD code = STILL_ACTIVE;
    if (app.WaitForDialog() || (app.WaitForExit(0, &code), false)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no main dialog; the program " << (app.Running() ? "runs" : "ended with ") << code;
}

std::wstring AppTest::Str(UINT id) const {
    wchar_t text[512] = {};
    LoadStringW(strings_, id, text, 512);
    return text;
}

::testing::AssertionResult AppTest::AnswerBox(const std::wstring& textWanted, const std::wstring& captionWanted, UINT icon,
                                              int button, DWORD ofProcess) {
    HWND box = nullptr;
    const auto unowned = [&] {  // a box of that process with no owner
        for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"#32770", nullptr)) != nullptr;)
            if (ProcessOf(w) == ofProcess && !GetWindow(w, GW_OWNER) && GetDlgItem(w, kBoxTextId) && IsWindowVisible(w)) return w;
        return HWND{};
    };
    if (!PumpUntil([&] { return (box = ofProcess ? unowned() : app.Box()) != nullptr; }))
        return ::testing::AssertionFailure() << "no message box; status " << Show(app.Text(IDC_STATUS));
    const std::wstring text = WindowText(GetDlgItem(box, kBoxTextId));
    const std::wstring caption = WindowText(box);
    // Its icon, as the test build journals every box it opens.
    UINT flags = ~0u;
    for (const std::wstring& line : Split(FromUtf16(ReadFileBytes(app.File(L"BoxJournal.txt"))), L"\r\n"))
        if (const auto field = Split(line, L"\t"); field.size() == 4 && field[3] == text) flags = std::wcstoul(field[1].c_str(), nullptr, 16);
    if ((flags & MB_ICONMASK) != icon)
        return ::testing::AssertionFailure() << "box " << Show(text) << " has the icon " << std::hex << (flags & MB_ICONMASK) << ", not " << icon;
    PostMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
    if (!PumpUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); }))
        return ::testing::AssertionFailure() << "the box " << Show(text) << " did not close";
    if (text != textWanted || caption != captionWanted)
        return ::testing::AssertionFailure() << "box " << Show(caption) << ": " << Show(text) << ", expected "
                                             << Show(captionWanted) << ": " << Show(textWanted);
    return ::testing::AssertionSuccess();
}
