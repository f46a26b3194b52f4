#pragma once
// The calls that reach the shell's notification area (the icon record and the
// icon's menu) and the window icons the taskbar and Alt+Tab show. Test builds
// journal them, since the shell's icon list, a menu of another process and
// another process's window icons cannot be read back, and can make the shell
// refuse the record, as a shell that is still starting at logon does. The
// message boxes go through here too: their icon cannot be read back either.
#include <windows.h>
#include <shellapi.h>

// Shell_NotifyIconW.
BOOL NotifyTray(DWORD action, NOTIFYICONDATAW* record);
// TrackPopupMenu at (x, y), owned by `owner`, with no flags.
BOOL TrackTrayMenu(HMENU menu, int x, int y, HWND owner);
// WM_SETICON; returns the icon it replaced.
HICON SetWindowIcon(HWND window, WPARAM which, HICON icon);
// MessageBoxW. Test builds journal its flags, caption and text first.
int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT flags);
// Where the program ends once its windows are gone. Test builds may hold it
// there for a while, as device I/O still outstanding holds a dying process.
void ExitMayBeHeld();
