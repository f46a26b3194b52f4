// Drives GPS Fennik (a test build) for scripts/bench.sh and times it from
// inside the same Wine prefix, on the performance counter. Each figure is
// printed as a line "name milliseconds"; anything that goes wrong ends the
// tool with exit code 1 and a line on stderr.
//
//   fennik_bench_driver launch EXE               start the program: ms to its main window and main dialog
//   fennik_bench_driver update LETTER FILE RUNS  plug a simulated device RUNS times: ms from the volume
//                                                message to LETTER:\Ephemeris.ee equal to FILE
//   fennik_bench_driver silent SECONDS           Update, again and again for SECONDS, each to its result box
//                                                (a silent server: each fails at the stall limit)
//   fennik_bench_driver hide                     the main dialog's Close button
//   fennik_bench_driver exit                     WM_CLOSE to the main window; waits for the process to end
//   fennik_bench_driver run COMMAND...           ms from the start of another program to its end
//   fennik_bench_driver wait-window CLASS        waits for a top-level window of that class
//   fennik_bench_driver close-window CLASS       WM_CLOSE to it; waits for its process to end
#include <windows.h>
#include <dbt.h>

#include <cstdio>
#include <cwchar>
#include <algorithm>
#include <cwctype>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "resources/resource.h"

namespace {

constexpr wchar_t kProgramClass[] = L"KIVAR M415 GPS Fennik";
constexpr wchar_t kDrivesKey[] = L"Software\\GpsFennikSimulation\\Drives";
constexpr wchar_t kAcceptedDeviceId[] = L"USB\\VID_7F3E&PID_2A61\\0001";
constexpr wchar_t kDeviceFileName[] = L"Ephemeris.ee";
constexpr DWORD kSendTimeoutMs = 5000;
constexpr double kStartTimeoutMs = 20000;
constexpr double kUpdateTimeoutMs = 60000;
constexpr double kBoxTimeoutMs = 30000;
constexpr DWORD kProcessEndTimeoutMs = 15000;
// After its result box closes, the worker still has to let go of its handle;
// a device plugged in before that would start no update.
constexpr DWORD kWorkerSettleMs = 300;

int Fail(const wchar_t* what) {
    fwprintf(stderr, L"fennik_bench_driver: %ls\n", what);
    return 1;
}

bool Failed(const wchar_t* what) {
    Fail(what);
    return false;
}

bool IsDialogClass(HWND window) {
    wchar_t cls[32] = {};
    GetClassNameW(window, cls, 32);
    return wcscmp(cls, L"#32770") == 0;
}

struct OwnedSearch {
    HWND owner;
    int controlId;  // 0: any
    bool visibleOnly;
    HWND found;
};

BOOL CALLBACK FindOwned(HWND window, LPARAM lParam) {
    auto* search = reinterpret_cast<OwnedSearch*>(lParam);
    if (GetWindow(window, GW_OWNER) != search->owner || !IsDialogClass(window)) return TRUE;
    if (search->visibleOnly && !IsWindowVisible(window)) return TRUE;
    if (search->controlId != 0 && GetDlgItem(window, search->controlId) == nullptr) return TRUE;
    search->found = window;
    return FALSE;
}

// A "#32770" window owned by `owner` that has the control `controlId`.
HWND OwnedDialog(HWND owner, int controlId, bool visibleOnly) {
    if (owner == nullptr) return nullptr;
    OwnedSearch search = {owner, controlId, visibleOnly, nullptr};
    EnumWindows(FindOwned, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The main window also owns the splash screen; only the main dialog has the
// Update button.
HWND MainDialogOf(HWND main) {
    return OwnedDialog(main, IDC_UPDATE, false);
}

HWND MainDialog() {
    return MainDialogOf(FindWindowW(kProgramClass, nullptr));
}

// A message box of the main dialog: the only dialog it owns.
HWND MessageBoxOf(HWND dialog) {
    return OwnedDialog(dialog, IDOK, true);
}

bool SetSimulatedDevice(wchar_t letter, bool present) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kDrivesKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    const wchar_t name[2] = {letter, L'\0'};
    LONG status = ERROR_SUCCESS;
    if (present) {
        status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(kAcceptedDeviceId),
                                static_cast<DWORD>(sizeof kAcceptedDeviceId));
    } else {
        status = RegDeleteValueW(key, name);
        if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// The volume message the system sends when a drive comes or goes.
bool SendVolumeEvent(HWND dialog, WPARAM event, wchar_t letter) {
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (letter - L'A');
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(dialog, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&volume), SMTO_ABORTIFHUNG,
                               kSendTimeoutMs, &result) != 0;
}

bool ReadWholeFile(const wchar_t* path, std::vector<char>& bytes) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(file, &size) != 0 && size.QuadPart < (1LL << 30);
    if (ok) {
        bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
        DWORD got = 0;
        ok = bytes.empty() ||
             (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) && got == bytes.size());
    }
    CloseHandle(file);
    return ok;
}

// The size is checked first, so most polls cost one attribute query.
bool FileEquals(const wchar_t* path, const std::vector<char>& expected, std::vector<char>& scratch) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return false;
    const ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size != expected.size()) return false;
    return ReadWholeFile(path, scratch) && scratch == expected;
}

bool WaitForProcessEnd(DWORD pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return true;  // already gone
    const bool ended = WaitForSingleObject(process, kProcessEndTimeoutMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

bool CloseAndWait(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    PostMessageW(window, WM_CLOSE, 0, 0);
    return WaitForProcessEnd(pid);
}

int Launch(const wchar_t* exe) {
    if (FindWindowW(kProgramClass, nullptr) != nullptr) return Fail(L"GPS Fennik is already running in this prefix");
    std::wstring folder = exe;
    folder.resize(folder.find_last_of(L"\\/") + 1);
    std::wstring commandLine = L"\"" + std::wstring(exe) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    // No standard handles: the program outlives this tool and must not hold
    // the output of whoever reads ours open.
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION process = {};

    const double start = NowMs();
    if (!CreateProcessW(exe, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &process))
        return Fail(L"cannot start the program");
    double windowAt = 0;
    double splashAt = 0;
    double splashGoneAt = 0;
    double dialogAt = 0;
    HWND splash = nullptr;
    while (NowMs() - start < kStartTimeoutMs && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT) {
        HWND main = FindWindowW(kProgramClass, nullptr);
        if (main != nullptr && windowAt == 0) windowAt = NowMs();
        if (splash == nullptr && main != nullptr) {
            splash = OwnedDialog(main, 0, true);
            if (splash != nullptr) splashAt = NowMs();
        }
        if (splash != nullptr && splashGoneAt == 0 && !IsWindow(splash)) splashGoneAt = NowMs();
        if (MainDialogOf(main) != nullptr) {
            dialogAt = NowMs();
            break;
        }
        Sleep(1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (dialogAt == 0) return Fail(L"the main dialog did not appear");
    wprintf(L"window_ms %.3f\nsplash_ms %.3f\nsplash_gone_ms %.3f\ndialog_ms %.3f\n", windowAt - start,
            splashAt - start, splashGoneAt - start, dialogAt - start);
    return 0;
}

// One update: plug, wait for the whole file on the drive, answer the result
// box, remove the file, unplug. False (with a line on stderr) when it failed.
bool TimeOneUpdate(wchar_t letter, const std::vector<char>& reference, double* elapsed) {
    HWND dialog = MainDialog();
    if (dialog == nullptr) return Failed(L"GPS Fennik is not running");
    const wchar_t target[] = {letter, L':', L'\\', L'\0'};
    const std::wstring path = std::wstring(target) + kDeviceFileName;
    DeleteFileW(path.c_str());
    if (!SetSimulatedDevice(letter, true)) return Failed(L"cannot record the simulated device");

    std::vector<char> scratch;
    const double start = NowMs();
    if (!SendVolumeEvent(dialog, DBT_DEVICEARRIVAL, letter)) return Failed(L"the arrival message was not taken");
    double done = 0;
    while (NowMs() - start < kUpdateTimeoutMs) {
        if (FileEquals(path.c_str(), reference, scratch)) {
            done = NowMs();
            break;
        }
        Sleep(1);
    }
    if (done == 0) return Failed(L"the file did not arrive on the device");
    *elapsed = done - start;

    HWND box = nullptr;
    const double boxWait = NowMs();
    while (box == nullptr && NowMs() - boxWait < kBoxTimeoutMs) {
        box = MessageBoxOf(dialog);
        if (box == nullptr) Sleep(5);
    }
    if (box == nullptr) return Failed(L"no result box");
    wchar_t text[160] = {};
    DWORD_PTR chars = 0;
    SendMessageTimeoutW(GetDlgItem(box, 0xFFFF), WM_GETTEXT, 160, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                        kSendTimeoutMs, &chars);
    wprintf(L"box %ls\n", text);
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &ignored);
    const double closeWait = NowMs();
    while (IsWindow(box) && NowMs() - closeWait < kBoxTimeoutMs) Sleep(5);
    if (IsWindow(box)) return Failed(L"the result box did not close");

    DeleteFileW(path.c_str());
    SetSimulatedDevice(letter, false);
    SendVolumeEvent(dialog, DBT_DEVICEREMOVECOMPLETE, letter);
    Sleep(kWorkerSettleMs);
    return true;
}

int Update(const wchar_t* letterArg, const wchar_t* referencePath, const wchar_t* runsArg) {
    const wchar_t letter = static_cast<wchar_t>(towupper(letterArg[0]));
    const int runs = _wtoi(runsArg);
    if (letter < L'A' || letter > L'Z' || runs < 1) return Fail(L"update LETTER FILE RUNS");
    std::vector<char> reference;
    if (!ReadWholeFile(referencePath, reference) || reference.empty()) return Fail(L"cannot read the reference file");
    for (int run = 0; run < runs; ++run) {
        double elapsed = 0;
        if (!TimeOneUpdate(letter, reference, &elapsed)) return 1;
        wprintf(L"update_ms %.3f\n", elapsed);
        fflush(stdout);
    }
    return 0;
}

// A look of the program's own (as after a clock change), then, while its quiet
// refresh runs (the Update button reads Cancel), how long the dialog takes to
// answer: every round trip of a text query to its status line.
int Responsive(const wchar_t* secondsArg) {
    HWND dialog = MainDialog();
    HWND main = FindWindowW(kProgramClass, nullptr);
    if (dialog == nullptr || main == nullptr) return Fail(L"GPS Fennik is not running");
    wchar_t idle[64] = {};
    GetWindowTextW(GetDlgItem(dialog, IDC_UPDATE), idle, 64);
    PostMessageW(main, WM_TIMECHANGE, 0, 0);
    std::vector<double> answers;
    bool began = false;
    for (const double start = NowMs(); NowMs() - start < _wtoi(secondsArg) * 1000.0;) {
        wchar_t caption[64] = {}, status[160] = {};
        DWORD_PTR chars = 0;
        GetWindowTextW(GetDlgItem(dialog, IDC_UPDATE), caption, 64);
        const bool running = wcscmp(caption, idle) != 0;
        if (began && !running) break;
        began = began || running;
        const double asked = NowMs();
        SendMessageTimeoutW(GetDlgItem(dialog, IDC_STATUS), WM_GETTEXT, 160, reinterpret_cast<LPARAM>(status),
                            SMTO_ABORTIFHUNG, kSendTimeoutMs, &chars);
        if (running) answers.push_back(NowMs() - asked);
    }
    if (answers.empty()) return Fail(L"no quiet refresh was seen");
    std::sort(answers.begin(), answers.end());
    wprintf(L"answers %zu\nanswer_p50_ms %.3f\nanswer_p99_ms %.3f\nanswer_max_ms %.3f\n", answers.size(),
            answers[answers.size() / 2], answers[answers.size() * 99 / 100], answers.back());
    return 0;
}

// Presses the dialog's button `id` as a click does.
void Press(HWND dialog, int id) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)),
                        SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
}

int Silent(const wchar_t* secondsArg) {
    HWND dialog = MainDialog();
    if (dialog == nullptr) return Fail(L"GPS Fennik is not running");
    int downloads = 0;
    for (const double start = NowMs(); NowMs() - start < _wtoi(secondsArg) * 1000.0; ++downloads) {
        Press(dialog, IDC_UPDATE);
        HWND box = nullptr;
        for (const double wait = NowMs(); box == nullptr && NowMs() - wait < kBoxTimeoutMs; Sleep(5))
            box = MessageBoxOf(dialog);
        if (box == nullptr) return Fail(L"no result box");
        Press(box, IDOK);
        for (const double wait = NowMs(); IsWindow(box) && NowMs() - wait < kBoxTimeoutMs;) Sleep(5);
        Sleep(kWorkerSettleMs);
    }
    wprintf(L"silent_downloads %d\n", downloads);
    return 0;
}

int Hide() {
    HWND dialog = MainDialog();
    if (dialog == nullptr) return Fail(L"GPS Fennik is not running");
    Press(dialog, IDC_CLOSE);
    return IsWindowVisible(dialog) ? Fail(L"the main dialog is still visible") : 0;
}

int Exit() {
    HWND main = FindWindowW(kProgramClass, nullptr);
    if (main == nullptr) return 0;
    return CloseAndWait(main) ? 0 : Fail(L"GPS Fennik did not end");
}

// The rest of this tool's own command line, untouched.
const wchar_t* ArgumentsAfter(int skipped) {
    const wchar_t* p = GetCommandLineW();
    for (int i = 0; i < skipped; ++i) {
        while (*p == L' ' || *p == L'\t') ++p;
        bool quoted = false;
        while (*p != L'\0' && (quoted || (*p != L' ' && *p != L'\t'))) {
            if (*p == L'"') quoted = !quoted;
            ++p;
        }
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

int Run() {
    std::wstring commandLine = ArgumentsAfter(2);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    // The program's own output (its figures) goes where ours goes.
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    fflush(stdout);

    const double start = NowMs();
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return Fail(L"cannot start the program");
    WaitForSingleObject(process.hProcess, INFINITE);
    const double end = NowMs();
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    wprintf(L"run_ms %.3f\n", end - start);
    return code == 0 ? 0 : Fail(L"the program failed");
}

HWND WaitForWindow(const wchar_t* cls) {
    const double start = NowMs();
    while (NowMs() - start < kStartTimeoutMs) {
        if (HWND window = FindWindowW(cls, nullptr)) return window;
        Sleep(5);
    }
    return nullptr;
}

int Usage() {
    fwprintf(stderr, L"usage: fennik_bench_driver launch EXE | update LETTER FILE RUNS | responsive SECONDS | silent SECONDS |"
                     L" hide | exit |"
                     L" run COMMAND... |"
                     L" wait-window CLASS | close-window CLASS\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return Usage();
    const std::wstring command = argv[1];
    if (command == L"launch" && argc == 3) return Launch(argv[2]);
    if (command == L"update" && argc == 5) return Update(argv[2], argv[3], argv[4]);
    if (command == L"silent" && argc == 3) return Silent(argv[2]);
    if (command == L"hide") return Hide();
    if (command == L"responsive" && argc == 3) return Responsive(argv[2]);
    if (command == L"exit") return Exit();
    if (command == L"run" && argc >= 3) return Run();
    if (command == L"wait-window" && argc == 3) return WaitForWindow(argv[2]) ? 0 : Fail(L"no such window");
    if (command == L"close-window" && argc == 3) {
        HWND window = WaitForWindow(argv[2]);
        if (window == nullptr) return Fail(L"no such window");
        return CloseAndWait(window) ? 0 : Fail(L"the program did not end");
    }
    return Usage();
}
