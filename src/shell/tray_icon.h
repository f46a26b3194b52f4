#pragma once
// The notification-area icon: added once with a start-up balloon, its tooltip
// following the workflow, a menu on right click. Every change of the shared
// record is serialised, since workers change the tooltip too.
#include <windows.h>

#include <cstdint>

// (major << 16) | minor of the shell library, 0 when unknown. Releases `shell`.
uint32_t GetShellVersion(HMODULE shell);
// cbSize of the tray record for a shell version.
DWORD TrayRecordSize(uint32_t shellVersion);

// Fills the record and adds the icon with the start-up balloon. When the
// shell refuses, TrayRetry runs on the owner's timer TIMER_TRAY_RETRY.
void TrayAdd(HINSTANCE instance, HWND owner);
// Main thread: adds the icon again, without the balloon (the start is long
// past, and a late balloon would only interrupt). For the retry timer, a lost
// icon (MSG_TRAY_LOST) and a re-created taskbar. Failing, it tries again on
// the timer until kTrayRetryForMs after the first failure.
void TrayRetry();
// Replaces the tooltip (cut to 127 characters); any thread. A refusal posts
// MSG_TRAY_LOST to the owner.
void TrayUpdateTip(const wchar_t* text);
// Shows a balloon with `text` under the program's title (`infoFlags`: its
// NIIF_ icon), leaving the tooltip alone. False when the shell refused it.
bool TrayShowBalloon(const wchar_t* text, DWORD infoFlags);
// Removes the icon.
void TrayRemove();

// Whether the menu's Update item is enabled: no exit question, no worker,
// readyForUpdate 1.
bool TrayUpdateAllowed();
// Builds, shows and destroys the tray menu at `at` (screen coordinates).
void ShowTrayMenu(POINT at);
// The tray callback of the main window: the event in the low word of lParam,
// with version 4 the anchor point in wParam.
void OnTrayNotify(WPARAM wParam, LPARAM lParam);
// The tray menu's commands at the main window; false for other commands.
bool OnTrayCommand(WORD command);
