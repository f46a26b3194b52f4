#pragma once
// The two calls that reach the shell's notification area: the icon record
// and the icon's menu. Test builds journal them, since the shell's icon list
// and a menu of another process cannot be read back, and can make the shell
// refuse the record, as a shell that is still starting at logon does.
#include <windows.h>
#include <shellapi.h>

// Shell_NotifyIconW.
BOOL NotifyTray(DWORD action, NOTIFYICONDATAW* record);
// TrackPopupMenu at (x, y), owned by `owner`, with no flags.
BOOL TrackTrayMenu(HMENU menu, int x, int y, HWND owner);
