#include "shell/tray_shell.h"

BOOL NotifyTray(DWORD action, NOTIFYICONDATAW* record) {
    return Shell_NotifyIconW(action, record);
}

BOOL TrackTrayMenu(HMENU menu, int x, int y, HWND owner) {
    return TrackPopupMenu(menu, 0, x, y, 0, owner, nullptr);
}

HICON SetWindowIcon(HWND window, WPARAM which, HICON icon) {
    return reinterpret_cast<HICON>(SendMessageW(window, WM_SETICON, which, reinterpret_cast<LPARAM>(icon)));
}

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT flags) {
    return MessageBoxW(owner, text, caption, flags);
}

void ExitMayBeHeld() {}
