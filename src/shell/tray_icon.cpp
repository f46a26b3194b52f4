#include "shell/tray_icon.h"

#include <commctrl.h>
#include <shlwapi.h>
#include <windowsx.h>

#include <mutex>

#include "base/scoped_win.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "shell/string_ids.h"
#include "shell/string_table.h"
#include "shell/tray_shell.h"

namespace {

constexpr UINT kTrayIconId = 1;
constexpr UINT kTrayFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;  // 0x17
constexpr UINT kBalloonMs = 10000;

#ifndef _WIN64
// The three record layouts, as a 32-bit build sees them.
static_assert(NOTIFYICONDATAW_V3_SIZE == 952 && NOTIFYICONDATAW_V2_SIZE == 936 && NOTIFYICONDATAW_V1_SIZE == 152);
#endif

// At the size the shell asks for at the system's scale, from the image of
// that size, not one stretched from another.
HICON LoadTrayIcon(HINSTANCE instance) {
    HICON icon = nullptr;
    if (SUCCEEDED(LoadIconMetric(instance, MAKEINTRESOURCEW(IDI_SMALL), LIM_SMALL, &icon))) return icon;
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_SMALL), IMAGE_ICON,
                                         GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                         LR_DEFAULTCOLOR));
}

// Sends a copy of the record, taken under trayLock: the shell is another
// process and may hang, so no lock is held while it handles the call. The
// icon is loaded into the copy for the call and destroyed right after it.
BOOL SendTrayRecord(DWORD action, NOTIFYICONDATAW record, HINSTANCE instance) {
    record.hIcon = LoadTrayIcon(instance);
    const BOOL ok = NotifyTray(action, &record);
    if (record.hIcon != nullptr) DestroyIcon(record.hIcon);
    return ok;
}

// Main thread only: when the current run of retries gives up, 0 while none runs.
ULONGLONG trayRetryUntil = 0;
// Main thread only: the shell took version 4, so it sends the keyboard's
// notifications, a right click as WM_CONTEXTMENU and the anchor in wParam.
bool trayVersion4 = false;

// The shell forgets the version with the icon: asked after every add.
void SetTrayVersion(NOTIFYICONDATAW record) {
    record.uVersion = NOTIFYICON_VERSION_4;  // shares its place with uTimeout
    trayVersion4 = NotifyTray(NIM_SETVERSION, &record) != FALSE;
}

void RestoreDialog() {
    ShowWindow(app.mainDialog.load(), SW_RESTORE);
    SetForegroundWindow(app.mainDialog.load());
}

void RetryLater(HWND owner) {
    if (trayRetryUntil == 0) trayRetryUntil = GetTickCount64() + kTrayRetryForMs;
    SetTimer(owner, TIMER_TRAY_RETRY, kTrayRetryMs, nullptr);
}

}  // namespace

uint32_t GetShellVersion(HMODULE shell) {
    uint32_t version = 0;
    auto getVersion = reinterpret_cast<DLLGETVERSIONPROC>(
        reinterpret_cast<void*>(GetProcAddress(shell, "DllGetVersion")));
    if (getVersion != nullptr) {
        DLLVERSIONINFO info = {};
        info.cbSize = sizeof(info);
        if (getVersion(&info) >= 0) version = (info.dwMajorVersion << 16) | info.dwMinorVersion;
    }
    FreeLibrary(shell);
    return version;
}

DWORD TrayRecordSize(uint32_t shellVersion) {
    if (shellVersion >= 0x60000) return NOTIFYICONDATAW_V3_SIZE;
    if (shellVersion >= 0x50000) return NOTIFYICONDATAW_V2_SIZE;
    return NOTIFYICONDATAW_V1_SIZE;
}

void TrayAdd(HINSTANCE instance, HWND owner) {
    // From the system folder only, whatever lies beside the program.
    HMODULE shell = LoadLibraryExW(L"Shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const DWORD size = shell != nullptr ? TrayRecordSize(GetShellVersion(shell)) : NOTIFYICONDATAW_V1_SIZE;

    std::unique_lock<SrwLock> hold(app.trayLock);
    NOTIFYICONDATAW& record = app.trayIconData;
    record = NOTIFYICONDATAW{};
    record.cbSize = size;

    record.uID = kTrayIconId;
    // Under version 4 the shell hides the standard tooltip unless asked for it.
    record.uFlags = kTrayFlags | (size >= NOTIFYICONDATAW_V3_SIZE ? NIF_SHOWTIP : 0);
    // No balloon in the first hour after a new user signs in.
    record.dwInfoFlags = NIIF_INFO | NIIF_RESPECT_QUIET_TIME;
    record.hWnd = owner;
    record.uCallbackMessage = WM_TRAYNOTIFY;
    lstrcpynW(record.szTip, app.appTitle, ARRAYSIZE(record.szTip));
    lstrcpynW(record.szInfoTitle, app.appTitle, ARRAYSIZE(record.szInfoTitle));
    lstrcpynW(record.szInfo, app.appTitle, ARRAYSIZE(record.szInfo));
    record.uTimeout = kBalloonMs;
    const NOTIFYICONDATAW withBalloon = record;
    // The balloon is for the start only. Later calls carry no NIF_INFO: with
    // an empty text it would take down a balloon still on screen.
    record.uFlags &= ~NIF_INFO;
    ZeroMemory(record.szInfoTitle, sizeof(record.szInfoTitle));
    ZeroMemory(record.szInfo, sizeof(record.szInfo));
    hold.unlock();
    // The shell is often too busy to take an icon at logon.
    if (SendTrayRecord(NIM_ADD, withBalloon, instance))
        SetTrayVersion(withBalloon);
    else
        RetryLater(owner);
}

void TrayRetry() {
    std::unique_lock<SrwLock> hold(app.trayLock);
    const NOTIFYICONDATAW record = app.trayIconData;
    hold.unlock();
    if (record.hWnd == nullptr || app.shuttingDown.load()) return;  // no icon to bring back
    // An add is refused for an icon the shell still has (a change it dropped
    // while busy); a modify that goes through tells so.
    const bool givingUp = trayRetryUntil != 0 && GetTickCount64() >= trayRetryUntil;
    const bool back = SendTrayRecord(NIM_ADD, record, app.instanceHandle) ||
                      SendTrayRecord(NIM_MODIFY, record, app.instanceHandle);
    if (back) SetTrayVersion(record);
    if (back || givingUp) {
        KillTimer(record.hWnd, TIMER_TRAY_RETRY);
        trayRetryUntil = 0;
        return;
    }
    RetryLater(record.hWnd);
}

void TrayUpdateTip(const wchar_t* text) {
    std::unique_lock<SrwLock> hold(app.trayLock);
    lstrcpynW(app.trayIconData.szTip, text != nullptr ? text : L"", ARRAYSIZE(app.trayIconData.szTip));
    NOTIFYICONDATAW record = app.trayIconData;
    uint64_t generation = ++app.trayTipGeneration;
    for (;;) {
        hold.unlock();
        // Refused: the shell lost the icon (it restarted, or never had it).
        if (!SendTrayRecord(NIM_MODIFY, record, app.instanceHandle) && record.hWnd != nullptr)
            PostMessageW(record.hWnd, MSG_TRAY_LOST, 0, 0);
        hold.lock();
        if (app.trayTipShown <= generation) {
            app.trayTipShown = generation;
            return;
        }
        // A newer tooltip reached the shell while this one was on its way:
        // send the newest again, so the shell ends with what the record holds.
        record = app.trayIconData;
        generation = app.trayTipGeneration;
    }
}

bool TrayShowBalloon(const wchar_t* text, DWORD infoFlags) {
    std::unique_lock<SrwLock> hold(app.trayLock);
    NOTIFYICONDATAW record = app.trayIconData;
    hold.unlock();
    if (record.hWnd == nullptr || app.shuttingDown.load()) return false;
    // Only the balloon: a tooltip sent here could overtake a newer one. Under
    // version 4 every modify keeps NIF_SHOWTIP, or the tooltip goes for good.
    record.uFlags = NIF_INFO | (record.uFlags & NIF_SHOWTIP);
    record.dwInfoFlags = infoFlags;
    record.uTimeout = kBalloonMs;
    lstrcpynW(record.szInfoTitle, app.appTitle, ARRAYSIZE(record.szInfoTitle));
    lstrcpynW(record.szInfo, text, ARRAYSIZE(record.szInfo));
    if (SendTrayRecord(NIM_MODIFY, record, app.instanceHandle)) return true;
    PostMessageW(record.hWnd, MSG_TRAY_LOST, 0, 0);  // the shell lost the icon: bring it back
    return false;
}

void TrayRemove() {
    std::unique_lock<SrwLock> hold(app.trayLock);
    app.trayIconData.uFlags = 0;
    NOTIFYICONDATAW record = app.trayIconData;
    hold.unlock();
    if (record.hWnd == nullptr) return;  // closed before the icon was added
    NotifyTray(NIM_DELETE, &record);
}

bool TrayUpdateAllowed() {
    return app.exitConfirmOpen == 0 && NoWorkerRunning() && app.readyForUpdate.load() == 1;
}

void ShowTrayMenu(POINT at) {
    ScopedMenu menu(CreatePopupMenu());
    wchar_t hide[kTextChars] = {}, show[kTextChars] = {}, update[kTextChars] = {}, exitText[kTextChars] = {};
    LoadUiText(IDS_MENU_HIDE, hide);
    LoadUiText(IDS_MENU_SHOW, show);
    LoadUiText(IDS_MENU_UPDATE, update);
    LoadUiText(IDS_MENU_EXIT, exitText);
    if (!menu) return;

    // First and in bold: what a double click does.
    const bool visible = IsWindowVisible(app.mainDialog.load());
    InsertMenuW(menu.Get(), static_cast<UINT>(-1), MF_BYPOSITION | MF_STRING, visible ? IDM_TRAY_HIDE : IDM_TRAY_SHOW,
                visible ? hide : show);
    SetMenuDefaultItem(menu.Get(), 0, TRUE);
    InsertMenuW(menu.Get(), static_cast<UINT>(-1), MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
    InsertMenuW(menu.Get(), static_cast<UINT>(-1), MF_BYPOSITION | MF_STRING | (TrayUpdateAllowed() ? 0 : MF_GRAYED),
                IDM_TRAY_UPDATE, update);
    InsertMenuW(menu.Get(), static_cast<UINT>(-1), MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
    InsertMenuW(menu.Get(), static_cast<UINT>(-1), MF_BYPOSITION | MF_STRING, IDM_TRAY_EXIT, exitText);

    // Needed so that the menu closes when the user clicks elsewhere.
    SetForegroundWindow(app.mainWindow);
    TrackTrayMenu(menu.Get(), at.x, at.y, app.mainWindow);
    // The platform's rule for notification-area menus: without a message to
    // the owner after the menu, the next one may close at once.
    PostMessageW(app.mainWindow, WM_NULL, 0, 0);
}

void OnTrayNotify(WPARAM wParam, LPARAM lParam) {
    POINT at = {};
    GetCursorPos(&at);
    switch (LOWORD(lParam)) {  // version 4 puts the icon's id in the high word
    case WM_CONTEXTMENU:  // right click, menu key, Shift+F10; the anchor in wParam
        if (trayVersion4) at = POINT{GET_X_LPARAM(wParam), GET_Y_LPARAM(wParam)};
        ShowTrayMenu(at);
        break;
    case WM_RBUTTONDOWN:
        // With version 4 the same click also brings WM_CONTEXTMENU: one menu.
        if (!trayVersion4) ShowTrayMenu(at);
        break;
    // Not NIN_SELECT: version 4 sends it for a single click too, which
    // opens nothing, as before.
    case WM_LBUTTONDBLCLK:  // also a second start's hand-over, wParam 0
    case NIN_KEYSELECT:         // Enter or Space on the icon
    case NIN_BALLOONUSERCLICK:  // a click on the start-up balloon
        RestoreDialog();
        break;
    default: break;
    }
}

bool OnTrayCommand(WORD command) {
    const HWND dialog = app.mainDialog.load();
    switch (command) {
    case IDM_TRAY_EXIT: SendMessageW(dialog, WM_CLOSE, 0, 0); return true;  // asks first
    case IDM_TRAY_SHOW: ShowWindow(dialog, SW_RESTORE); return true;
    case IDM_TRAY_HIDE: ShowWindow(dialog, SW_HIDE); return true;
    case IDM_TRAY_UPDATE:
        ShowWindow(dialog, SW_RESTORE);
        SetForegroundWindow(dialog);
        if (app.readyForUpdate.load() == 1) SendMessageW(dialog, WM_COMMAND, IDC_UPDATE, 0);
        return true;
    default: return false;
    }
}
