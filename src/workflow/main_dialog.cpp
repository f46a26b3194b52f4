#include "workflow/main_dialog.h"

#include <commctrl.h>
#include <dbt.h>

#include <utility>

#include "base/scoped_win.h"
#include "base/text.h"
#include "device/drive_scan.h"
#include "persistence/run_key.h"
#include "persistence/settings_file.h"
#include "persistence/timestamp_text.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "shell/string_ids.h"
#include "shell/string_table.h"
#include "shell/tray_shell.h"
#include "workflow/freshness.h"
#include "workflow/update_state.h"

namespace {

constexpr const wchar_t* kAnimationFrames[8] = {
    L"         |", L" .       /", L" ..      -", L" ...     \\",
    L" ....    |", L" .....   /", L" ......  -", L" ....... \\",
};

void SetItemText(HWND dialog, int id, UINT textId) {
    wchar_t text[kTextChars] = {};
    LoadUiText(textId, text);
    SetDlgItemTextW(dialog, id, text);
}

void ShowStoredTime(HWND dialog, int labelId, UINT labelTextId, const wchar_t* header, int fieldId) {
    SetItemText(dialog, labelId, labelTextId);
    SYSTEMTIME stored = {};
    ReadTimestamp(header, &stored);
    if (stored.wYear != 0) ShowTimeField(fieldId, stored);
}

void RestoreAndActivate(HWND dialog) {
    ShowWindow(dialog, SW_RESTORE);
    SetForegroundWindow(dialog);
}

// Of user32 from Windows 10 1607 on; before that the program is system-aware,
// so the system's metrics are the window's.
template <typename Function>
Function User32Entry(const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

int MetricForWindow(HWND window, int metric) {
    static const auto dpiForWindow = User32Entry<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
    static const auto metricForDpi = User32Entry<int(WINAPI*)(int, UINT)>("GetSystemMetricsForDpi");
    return dpiForWindow && metricForDpi ? metricForDpi(metric, dpiForWindow(window)) : GetSystemMetrics(metric);
}

// Both caption icons at the dialog's scale (Alt+Tab shows the large one), or
// none; the replaced ones were loaded here.
void SetDialogIcons(HWND dialog, bool load) {
    for (auto [which, metric] : {std::pair{ICON_BIG, SM_CXICON}, {ICON_SMALL, SM_CXSMICON}}) {
        HICON icon = load ? LoadIconForWindow(dialog, metric) : nullptr;
        ScopedIcon replaced(SetWindowIcon(dialog, which, icon));
    }
}

// The main window is never shown, so its menu's About item goes into the
// dialog's system menu, with the same text.
void AddAboutToSystemMenu(HWND dialog) {
    wchar_t text[kTextChars] = {};
    HMENU system = GetSystemMenu(dialog, FALSE);
    if (system == nullptr || GetMenuStringW(GetMenu(app.mainWindow), IDM_ABOUT, text, kTextChars, MF_BYCOMMAND) == 0) return;
    AppendMenuW(system, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(system, MF_STRING, IDM_SYS_ABOUT, text);
}

// The box shows what is stored, never a tick that was refused; an entry for
// every user that this user may not remove is greyed, as Windows shows a
// setting managed elsewhere, rather than offered in vain.
void ShowStartWithWindows(HWND dialog) {
    CheckDlgButton(dialog, IDC_STARTUP, IsStartWithWindows() ? BST_CHECKED : BST_UNCHECKED);
    HWND box = GetDlgItem(dialog, IDC_STARTUP);
    const bool locked = StartEntryLocked();
    // The keyboard must not stay on a control that takes no input.
    if (locked && GetFocus() == box) SendMessageW(dialog, WM_NEXTDLGCTL, 0, FALSE);
    EnableWindow(box, !locked);
}

void InitMainDialog(HWND dialog) {
    app.mainDialog.store(dialog);

    CentreOnWorkArea(dialog, HWND_NOTOPMOST, SWP_HIDEWINDOW);

    SetWindowTextW(dialog, app.appTitle);
    SetDialogIcons(dialog, true);
    AddAboutToSystemMenu(dialog);

    ShowStoredTime(dialog, IDC_DOWNLOAD_LABEL, IDS_LABEL_DOWNLOADED, kDownloadTimeHeader, IDC_DOWNLOAD_TIME);
    ShowStoredTime(dialog, IDC_UPDATE_LABEL, IDS_LABEL_UPDATED, kUpdateTimeHeader, IDC_UPDATE_TIME);
    SetItemText(dialog, IDC_EXPIRE_LABEL, IDS_LABEL_EXPIRES);
    SYSTEMTIME localExpiry = {};
    ReadTimestamp(kExpireTimeHeader, &localExpiry);
    ShowExpiryTime(localExpiry);

    SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETSTEP, 1, 0);

    SetItemText(dialog, IDC_AUTO_UPDATE, IDS_CHK_AUTO_UPDATE);
    CheckDlgButton(dialog, IDC_AUTO_UPDATE, ReadAutoUpdateFlag() ? BST_CHECKED : BST_UNCHECKED);
    SetItemText(dialog, IDC_STARTUP, IDS_CHK_STARTUP);
    ShowStartWithWindows(dialog);
    SetItemText(dialog, IDC_UPDATE, IDS_BTN_UPDATE);
    SetItemText(dialog, IDC_CLOSE, IDS_BTN_CLOSE);

    // A device already attached is reported like a new one.
    ScanDeviceDrives(dialog);
    RegisterDeviceEvents(dialog);
    // Behind the scan's report, so a device's own update comes first.
    PostMessageW(app.mainWindow, MSG_FRESHNESS_LOOK, 0, 0);
}

void ConfirmExit(HWND dialog) {
    if (app.exitConfirmOpen != 0) {
        RestoreAndActivate(dialog);
        return;
    }
    app.exitConfirmOpen = 1;
    if (ShowUiMessage(dialog, IDS_CONFIRM_EXIT, IDS_CAPTION_WARNING, MB_OKCANCEL | MB_ICONWARNING) == IDOK)
        PostMessageW(app.mainWindow, WM_COMMAND, IDM_EXIT, 0);
    app.exitConfirmOpen = 0;
}

void AnimationStep(HWND dialog) {
    // A tick that was already queued when the download stopped the timer
    // must not overwrite the final status line.
    if (app.animationTimerActive.load() == 0) return;
    wchar_t status[kTextChars] = {};
    FormatAnimationStatus(app.animationFrame, app.downloadPercent.load(), status);
    SetDlgItemTextW(dialog, IDC_STATUS, status);
    ++app.animationFrame;
}

void SetAnimationTimer(HWND dialog, bool run) {
    if (run) {
        if (app.animationTimerActive.load() == 0)
            app.animationTimerActive.store(SetTimer(dialog, TIMER_ANIMATION, kAnimationIntervalMs, nullptr));
    } else {
        KillTimer(dialog, TIMER_ANIMATION);
        app.animationTimerActive.store(0);
    }
}

void OnDriveAdded(HWND dialog) {
    if (ReadAutoUpdateFlag() == 0) return;
    // A running update takes the device on, or hands it to its own end.
    const Arrival arrival = ClaimArrival();
    RestoreAndActivate(dialog);
    if (arrival == Arrival::NoWorker && app.readyForUpdate.load() == 1) SendMessageW(dialog, WM_COMMAND, IDC_UPDATE, 0);
}

void OnDeviceRefused(HWND dialog) {
    app.deviceAccepted = 0;
    SetDlgItemTextW(dialog, IDC_STATUS, L"");
    SendDlgItemMessageW(dialog, IDC_PROGRESS, PBM_SETPOS, 0, 0);
    RestoreAndActivate(dialog);
    // Both windows may hear one arrival and each scan reports the device:
    // one notice is enough.
    if (app.refusedNoticeOpen != 0) return;
    app.refusedNoticeOpen = 1;
    ShowUiMessage(dialog, IDS_MSG_DEVICE_REFUSED, IDS_CAPTION_WARNING, MB_ICONWARNING | kResultBoxInSight);
    app.refusedNoticeOpen = 0;
}

void OnCommand(HWND dialog, WORD id) {
    switch (id) {
    case IDC_AUTO_UPDATE: WriteAutoUpdateFlag(IsDlgButtonChecked(dialog, IDC_AUTO_UPDATE) == BST_CHECKED ? 1 : 0); break;
    case IDC_UPDATE: RunUpdateCommand(); break;
    // Esc arrives as IDCANCEL and hides, as Close does. The exit question
    // comes by WM_CLOSE: the close box, Alt+F4, the tray's Exit.
    case IDCANCEL:
    case IDC_CLOSE: ShowWindow(dialog, SW_HIDE); break;
    case IDC_STARTUP:
        SetStartWithWindows(IsDlgButtonChecked(dialog, IDC_STARTUP) == BST_CHECKED ? 1 : 0);
        ShowStartWithWindows(dialog);
        break;
    default: break;
    }
}

}  // namespace

POINT CenteredPosition(const RECT& work, int width, int height) {
    const LONG x = (work.right - work.left - width) / 2;
    const LONG y = (work.bottom - work.top - height) / 2;
    return POINT{work.left + (x > 0 ? x : 0), work.top + (y > 0 ? y : 0)};
}

void CentreOnWorkArea(HWND window, HWND insertAfter, UINT flags) {
    RECT own = {};
    GetWindowRect(window, &own);
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    if (!GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor))
        monitor.rcWork = RECT{0, 0, app.screenWidth, app.screenHeight};
    const POINT at = CenteredPosition(monitor.rcWork, own.right - own.left, own.bottom - own.top);
    SetWindowPos(window, insertAfter, at.x, at.y, 0, 0, SWP_NOSIZE | flags);
}

HICON LoadIconForWindow(HWND window, int metric) {
    // From the image of that size where the icon has one (20 to 64 pixels).
    const int size = MetricForWindow(window, metric);
    return static_cast<HICON>(LoadImageW(app.instanceHandle, MAKEINTRESOURCEW(IDI_MAIN), IMAGE_ICON, size, size, 0));
}

void FormatAnimationStatus(int32_t frame, int percent, std::span<wchar_t> buf) {
    LoadUiText(IDS_STATUS_DOWNLOADING, buf);
    const int32_t remainder = frame % 8;  // sign of the dividend
    AppendText(buf, kAnimationFrames[remainder >= 0 && remainder <= 6 ? remainder : 7]);
    if (percent != 0) {
        wchar_t suffix[16] = {};
        wsprintfW(suffix, L"\t%d%%", percent);
        AppendText(buf, suffix);
    }
}

void ShowTimeField(int controlId, const SYSTEMTIME& time) {
    wchar_t text[kTextChars] = {};
    FormatTimestamp(time, text);
    SetWindowTextW(GetDlgItem(app.mainDialog.load(), controlId), text);
}

void ShowExpiryTime(const SYSTEMTIME& localFile) {
    SYSTEMTIME device = {}, shown = localFile;
    DeviceReminder reminded = NoReminderShown;
    // The user reads the field as the device's state, as the time above it.
    if (ReadDeviceExpiry(&device, &reminded) && !SystemTimeToTzSpecificLocalTime(nullptr, &device, &shown)) return;
    if (shown.wYear != 0) ShowTimeField(IDC_EXPIRE_TIME, shown);
}

INT_PTR CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: InitMainDialog(dialog); break;
    case WM_COMMAND: OnCommand(dialog, LOWORD(wParam)); break;
    case WM_CLOSE:
        // Handled here, so the dialog default does not turn it into IDCANCEL.
        ConfirmExit(dialog);
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, 0);
        return TRUE;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) != IDM_SYS_ABOUT) break;
        SendMessageW(app.mainWindow, WM_COMMAND, IDM_ABOUT, 0);
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, 0);
        return TRUE;
    case WM_DPICHANGED: SetDialogIcons(dialog, true); break;  // the default then resizes
    case WM_DESTROY: SetDialogIcons(dialog, false); break;
    case WM_SHOWWINDOW:
        // Shown by a ShowWindow call: the keyboard starts on Update. Posted,
        // so it comes after the activation has restored the saved focus.
        if (wParam != 0 && lParam == 0)
            PostMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDC_UPDATE)), TRUE);
        break;
    case WM_TIMER:
        if (wParam == TIMER_ANIMATION) AnimationStep(dialog);
        break;
    case WM_DEVICECHANGE:
        if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) {
            HandleDeviceChange(wParam, lParam, dialog);
            app.deviceAccepted = 1;
        }
        break;
    case MSG_DRIVE_ADDED: OnDriveAdded(dialog); break;
    case MSG_DRIVE_REMOVED: RemindOfDeviceExpiry(); break;
    case MSG_DEVICE_REFUSED: OnDeviceRefused(dialog); break;
    case MSG_ANIMATION_TIMER: SetAnimationTimer(dialog, wParam != 0); break;
    default: break;
    }
    // The platform's dialog defaults always run as well.
    return FALSE;
}
