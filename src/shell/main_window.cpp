#include "shell/main_window.h"

#include <commctrl.h>
#include <dbt.h>

#include <iterator>

#include "acquisition/download_worker.h"
#include "base/module_path.h"
#include "base/scoped_win.h"
#include "base/text.h"
#include "device/drive_scan.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "shell/string_ids.h"
#include "shell/string_table.h"
#include "shell/tray_icon.h"
#include "shell/tray_shell.h"
#include "workflow/freshness.h"
#include "workflow/main_dialog.h"
#include "workflow/update_state.h"

namespace {

constexpr wchar_t kLocalEphemerisName[] = L"Ephemeris.ee";
constexpr wchar_t kDownloadName[] = L"packedEphemeris.ee";

// How long a second start waits for the first instance's window, and how
// long the first may take to answer the hand-over.
constexpr ULONGLONG kInstanceWaitMs = 10000;
constexpr UINT kHandOverTimeoutMs = 5000;
constexpr DWORD kInstancePollMs = 50;
constexpr wchar_t kSessionNamespace[] = L"Local\\";
// How long the program, once its windows are gone, lets a copy finish and an
// aborted download let go.
constexpr DWORD kExitWaitMs = 5000;

bool Acquired(DWORD wait) {
    // Abandoned: the previous owner ended without releasing it; ours now.
    return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

// Asks the running instance to show its dialog, as after a double click on its
// tray icon. False only when its window went away meanwhile (it is ending).
bool HandOverTo(HWND running) {
    // This start is the user's last input, so it may pass the foreground on:
    // without that the first instance's SetForegroundWindow is refused and
    // its dialog may come up behind other windows.
    DWORD runningProcess = 0;
    if (GetWindowThreadProcessId(running, &runningProcess) != 0) AllowSetForegroundWindow(runningProcess);
    SetForegroundWindow(running);
    DWORD_PTR answer = 0;
    // Bounded, so a hung first instance never hangs this start.
    return SendMessageTimeoutW(running, WM_TRAYNOTIFY, 0, kTrayDoubleClick, SMTO_ABORTIFHUNG, kHandOverTimeoutMs,
                               &answer) != 0 ||
           IsWindow(running);
}

// The single-instance rule. A window search alone lets two starts made close
// together both run, so the first instance owns a named mutex of the session
// for its whole life, taken before the search; every later start hands over
// to the owner's window. True: this process is the first instance and goes
// on; false: it handed over (or the owner never showed a window) and ends.
bool BecomeTheOnlyInstance() {
    wchar_t name[std::size(kSessionNamespace) + kTextChars] = {};
    CopyText(name, kSessionNamespace);
    AppendText(name, TextOf(app.windowClassName));
    for (wchar_t* c = name + std::size(kSessionNamespace) - 1; *c != L'\0'; ++c)
        if (*c == L'\\') *c = L'_';  // a backslash would name another namespace

    // Never closed: the process ending is what lets the next start take over.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (mutex == nullptr) {  // the window search alone, as a last resort
        HWND running = FindWindowW(app.windowClassName, nullptr);
        return running == nullptr || !HandOverTo(running);
    }

    const ULONGLONG deadline = GetTickCount64() + kInstanceWaitMs;
    for (;;) {
        if (Acquired(WaitForSingleObject(mutex, 0))) return true;
        HWND running = FindWindowW(app.windowClassName, nullptr);
        if (running != nullptr && HandOverTo(running)) return false;
        // No window: the owner has not created it yet, or is ending and takes
        // it down; this start takes its place once the mutex is free. An end
        // held up by a device's I/O outlasts the wait: the user is told,
        // rather than seeing nothing happen.
        if (GetTickCount64() >= deadline) {
            wchar_t text[kTextChars] = {};
            LoadUiText(IDS_MSG_STILL_CLOSING, text);
            ShowMessageBox(nullptr, text, app.appTitle, MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
            return false;
        }
        if (Acquired(WaitForSingleObject(mutex, kInstancePollMs))) return true;
    }
}

// Windows 8 and later send the resume broadcast to a window only after this
// call where the laptop uses modern standby; earlier ones send it to all.
using SuspendResumeRegistration = HPOWERNOTIFY(WINAPI*)(HANDLE recipient, DWORD flags);
using SuspendResumeUnregistration = BOOL(WINAPI*)(HPOWERNOTIFY registration);
HPOWERNOTIFY suspendResumeRegistration = nullptr;

void RegisterForResume(HWND window) {
    const auto registerFor = reinterpret_cast<SuspendResumeRegistration>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "RegisterSuspendResumeNotification")));
    if (registerFor != nullptr) suspendResumeRegistration = registerFor(window, DEVICE_NOTIFY_WINDOW_HANDLE);
}

void UnregisterForResume() {
    const auto unregister = reinterpret_cast<SuspendResumeUnregistration>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "UnregisterSuspendResumeNotification")));
    if (unregister != nullptr && suspendResumeRegistration != nullptr) unregister(suspendResumeRegistration);
    suspendResumeRegistration = nullptr;
}

void OnDestroy() {
    app.shuttingDown.store(true);
    UnregisterForResume();
    AbortDownload();
    TrayRemove();
    // Safe while a worker still runs: lookups share a lock with the release
    // and yield empty texts afterwards.
    ReleaseStringModule();
    PostQuitMessage(0);
}

// The platform promises the volume broadcast only to unowned top-level
// windows; the main dialog is owned, and hidden most of the time. So this
// window hears it too and has the dialog rescan, as the dialog does itself.
// A second scan of one arrival finds the count unchanged and posts nothing,
// so it starts no second update.
void OnDeviceChange(WPARAM event, LPARAM header) {
    const HWND dialog = app.mainDialog.load();
    const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_HDR*>(header);
    if (dialog == nullptr || broadcast == nullptr || broadcast->dbch_devicetype != DBT_DEVTYP_VOLUME) return;
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return;
    HandleDeviceChange(event, header, dialog);
    app.deviceAccepted = 1;
}

void OnCommand(HWND window, WORD command) {
    switch (command) {
    case IDM_ABOUT: {
        // In front of the dialog it was asked from, which waits for it.
        const HWND dialog = app.mainDialog.load();
        DialogBoxParamW(app.instanceHandle, MAKEINTRESOURCEW(IDD_ABOUTBOX), IsWindowVisible(dialog) ? dialog : window,
                        AboutDlgProc, 0);
        break;
    }
    case IDM_EXIT: DestroyWindow(window); break;
    default: OnTrayCommand(command); break;
    }
}

// The end of the process, once its windows are gone: a copy in progress may
// finish, so the device and the settings file are never cut in half.
int FinishWork(int exitCode) {
    // A worker still running past the bound is stuck in a library that does
    // not let go. The libraries' own shutdown could then hang on a lock that
    // worker holds, and with it the instance mutex every later start needs:
    // end at once instead.
    if (!WaitForWorkers(kExitWaitMs)) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    return exitCode;
}

// The About box's icon at its monitor's scale, or none; the one replaced was
// loaded here (the template's own is shared and stays).
void SetAboutIcon(HWND dialog, bool load) {
    HICON icon = load ? LoadIconForWindow(dialog, SM_CXICON) : nullptr;
    SendDlgItemMessageW(dialog, IDC_ABOUT_ICON, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
    ScopedIcon replaced(reinterpret_cast<HICON>(SetWindowLongPtrW(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(icon))));
}

}  // namespace

void KeepSystemErrorBoxesAway() {
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

bool FormEphemerisPaths() {
    wchar_t directory[kPathChars] = {};
    const bool ok = GetModuleDirectory(directory) && CopyText(app.localEphemerisPath, TextOf(directory)) &&
                    AppendText(app.localEphemerisPath, kLocalEphemerisName) &&
                    CopyText(app.downloadPath, TextOf(directory)) && AppendText(app.downloadPath, kDownloadName);
    if (!ok) {
        // Never work on a cut path: no download and no copy will touch files.
        CopyText(app.localEphemerisPath, L"");
        CopyText(app.downloadPath, L"");
    }
    app.pathsValid = ok;
    return ok;
}

void RegisterMainClass(HINSTANCE instance) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_MAIN));
    wc.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEW(IDR_MAINFRAME);
    wc.lpszClassName = app.windowClassName;
    RegisterClassExW(&wc);
}

int InitInstance(HINSTANCE instance) {
    app.instanceHandle = instance;
    app.screenWidth = GetSystemMetrics(SM_CXSCREEN);
    app.screenHeight = GetSystemMetrics(SM_CYSCREEN);

    app.mainWindow = CreateWindowExW(0, app.windowClassName, app.appTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                                     CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
    if (app.mainWindow == nullptr) return 0;
    RegisterForResume(app.mainWindow);

    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_SPLASH), app.mainWindow, SplashDlgProc, 0);
    // A WM_CLOSE during the splash (a task manager, the setup) has already
    // ended the program: no icon for a window that is gone.
    if (!IsWindow(app.mainWindow)) return 0;
    FormEphemerisPaths();
    TrayAdd(instance, app.mainWindow);
    ShowWindow(app.mainWindow, SW_HIDE);
    UpdateWindow(app.mainWindow);
    PostMessageW(app.mainWindow, app.showMainDialogMessage, 0, 0);
    return 1;
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DESTROY: OnDestroy(); break;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(window, &ps);
        EndPaint(window, &ps);
        break;
    }
    case WM_COMMAND: OnCommand(window, LOWORD(wParam)); break;
    case WM_TRAYNOTIFY: OnTrayNotify(wParam, lParam); break;
    case WM_TIMER:
        if (wParam == TIMER_TRAY_RETRY) TrayRetry();
        if (wParam == TIMER_FRESHNESS) LookAtFreshness(Look::Timer);
        if (wParam == TIMER_RESUME_RETRY) RetryAfterResume();
        break;
    case MSG_TRAY_LOST: TrayRetry(); break;
    case MSG_FRESHNESS_LOOK:
        // The start-up look, after the first drive scan; then at the interval.
        SetTimer(window, TIMER_FRESHNESS, kFreshnessIntervalMs, nullptr);
        LookAtFreshness(Look::Broadcast);
        break;
    // Broadcast to every top-level window, the dialog too: only this one looks.
    case WM_POWERBROADCAST:
        if (wParam == PBT_APMRESUMEAUTOMATIC) OnResume();
        break;
    case WM_TIMECHANGE: LookAtFreshness(Look::Broadcast); break;
    case WM_DEVICECHANGE: OnDeviceChange(wParam, lParam); break;
    default:
        if (message == app.showMainDialogMessage && message != 0) {
            CreateDialogParamW(app.instanceHandle, MAKEINTRESOURCEW(IDD_MAIN), window, MainDlgProc, 0);
        } else if (message == app.taskbarCreatedMessage && message != 0) {
            // The shell restarted: without this the icon would be gone for good.
            TrayRetry();
        }
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

INT_PTR CALLBACK SplashDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        // Centred at its own size (its template scales with the display) on
        // the work area of the monitor it appears on, clear of the taskbar.
        CentreOnWorkArea(dialog, HWND_TOPMOST, 0);
        SetTimer(dialog, TIMER_SPLASH, kSplashMs, nullptr);
        break;
    }
    case WM_TIMER:
        KillTimer(dialog, TIMER_SPLASH);
        EndDialog(dialog, LOWORD(wParam));
        break;
    default: break;
    }
    // Nothing but the timer ends the splash.
    return FALSE;
}

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: SetAboutIcon(dialog, true); return TRUE;
    case WM_DPICHANGED: SetAboutIcon(dialog, true); break;
    case WM_DESTROY: SetAboutIcon(dialog, false); break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    default: break;
    }
    return FALSE;
}

int RunApplication(HINSTANCE instance) {
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    app.stringModule = LoadStringModule();
    LoadUiText(IDS_APP_TITLE, app.appTitle);
    LoadStringW(instance, IDS_EXE_CLASS_NAME, app.windowClassName, static_cast<int>(kTextChars));
    RegisterMainClass(instance);
    if (!BecomeTheOnlyInstance()) return 0;

    app.showMainDialogMessage = RegisterWindowMessageW(kShowMainDialogMessageName);
    app.taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    if (!InitInstance(instance)) return 0;

    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    MSG msg = {};
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {  // WM_QUIT
            ExitMayBeHeld();
            return FinishWork(static_cast<int>(msg.wParam));
        }
        if (got == -1) {
            // msg holds nothing then. End as after Exit, so the tray icon
            // goes too, and report the failure.
            if (IsWindow(app.mainWindow)) DestroyWindow(app.mainWindow);
            return FinishWork(kMessageLoopFailedExitCode);
        }
        // For the main window, which handles the commands: the keys go to the
        // dialog's controls, which would ignore them.
        if (TranslateAcceleratorW(app.mainWindow, accelerators, &msg)) continue;
        // The dialog manager's step for the modeless dialog: Tab, Shift+Tab,
        // Space, Enter and Esc.
        const HWND dialog = app.mainDialog.load();
        if (dialog != nullptr && IsDialogMessageW(dialog, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}
