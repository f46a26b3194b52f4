#pragma once
// The resource-only string module String_Table_.dll beside the executable.
// Every lookup goes through here, so the module is never released while a
// thread is still reading a text from it.
#include <windows.h>

#include <span>

// Loads String_Table_.dll from the executable's directory as a data file.
// Null when it is missing or cannot be loaded.
HMODULE LoadStringModule();

// Loads text `id` of the string module into `buf` (cleared first, cut to fit).
// An empty text when the module is missing or has no such text.
void LoadUiText(UINT id, std::span<wchar_t> buf);

// A message box owned by `owner` with text and caption from the string
// module; returns the button the user pressed.
int ShowUiMessage(HWND owner, UINT textId, UINT captionId, UINT flags);
// Flags for a box the user did not ask for at that moment (an operation's
// result, the refused device): while the user works in another program the
// foreground rules may keep it behind, and a hidden dialog gives it no taskbar
// button, so it comes up topmost and asks for the foreground.
inline constexpr UINT kResultBoxInSight = MB_SETFOREGROUND | MB_TOPMOST;

// Releases app.stringModule; later lookups yield empty texts.
void ReleaseStringModule();
