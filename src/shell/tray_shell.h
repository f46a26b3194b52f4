#pragma once
// The calls that reach the shell's notification area (the icon record and the
// icon's menu) and the window icons the taskbar and Alt+Tab show. Test builds
// journal them, since the shell's icon list, a menu of another process and
// another process's window icons cannot be read back, and can make the shell
// refuse the record, as a shell that is still starting at logon does.
#include <windows.h>
#include <shellapi.h>

// Shell_NotifyIconW.
BOOL NotifyTray(DWORD action, NOTIFYICONDATAW* record);
// TrackPopupMenu at (x, y), owned by `owner`, with no flags.
BOOL TrackTrayMenu(HMENU menu, int x, int y, HWND owner);
// WM_SETICON; returns the icon it replaced.
HICON SetWindowIcon(HWND window, WPARAM which, HICON icon);
