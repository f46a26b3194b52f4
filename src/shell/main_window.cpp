#include "shell/main_window.h"

#include <commctrl.h>

#include "base/module_path.h"
#include "base/text.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "shell/string_ids.h"
#include "shell/string_table.h"
#include "shell/tray_icon.h"
#include "workflow/main_dialog.h"

namespace {

constexpr wchar_t kLocalEphemerisName[] = L"Ephemeris.ee";
constexpr wchar_t kDownloadName[] = L"packedEphemeris.ee";

// The previous instance, when one runs: asked to show its dialog as after a
// double click on its tray icon.
bool HandOverToRunningInstance() {
    HWND running = FindWindowW(app.windowClassName, nullptr);
    if (running == nullptr) return false;
    SetForegroundWindow(running);
    SendMessageW(running, WM_TRAYNOTIFY, 0, kTrayDoubleClick);
    return true;
}

void OnDestroy() {
    app.shuttingDown.store(true);
    TrayRemove();
    // Safe while a worker still runs: lookups share a lock with the release
    // and yield empty texts afterwards.
    ReleaseStringModule();
    PostQuitMessage(0);
}

void OnCommand(HWND window, WORD command) {
    switch (command) {
    case IDM_ABOUT:
        DialogBoxParamW(app.instanceHandle, MAKEINTRESOURCEW(IDD_ABOUTBOX), window, AboutDlgProc, 0);
        break;
    case IDM_EXIT: DestroyWindow(window); break;
    default: OnTrayCommand(command); break;
    }
}

}  // namespace

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

    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_SPLASH), app.mainWindow, SplashDlgProc, 0);
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
    case WM_TRAYNOTIFY: OnTrayNotify(lParam); break;
    default:
        if (message == app.showMainDialogMessage && message != 0) {
            CreateDialogParamW(app.instanceHandle, MAKEINTRESOURCEW(IDD_MAIN), window, MainDlgProc, 0);
        } else if (message == app.taskbarCreatedMessage && message != 0) {
            // The shell restarted: without this the icon would be gone for good.
            TrayReAdd();
        }
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

INT_PTR CALLBACK SplashDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        const POINT at = CenteredPosition(app.screenWidth, app.screenHeight, 489, 281);
        SetWindowPos(dialog, HWND_TOPMOST, at.x, at.y, 489, 281, SWP_NOSIZE);
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
    case WM_INITDIALOG: return TRUE;
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
    if (HandOverToRunningInstance()) return 0;

    app.showMainDialogMessage = RegisterWindowMessageW(kShowMainDialogMessageName);
    app.taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    if (!InitInstance(instance)) return 0;

    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    MSG msg = {};
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) return static_cast<int>(msg.wParam);  // WM_QUIT
        if (got == -1) {
            // msg holds nothing then. End as after Exit, so the tray icon
            // goes too, and report the failure.
            if (IsWindow(app.mainWindow)) DestroyWindow(app.mainWindow);
            return kMessageLoopFailedExitCode;
        }
        if (!TranslateAcceleratorW(msg.hwnd, accelerators, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}
