#pragma once
// Start with Windows: the value "KIVAR M415 GPS Fennik", holding the
// executable's full path in quotes, under the machine-wide Run key, or under the user's
// own Run key where the machine-wide one may not be written. Windows starts
// what either key names when the user logs on.
#include <windows.h>

inline constexpr wchar_t kRunKeyPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kRunValueName[] = L"KIVAR M415 GPS Fennik";

// enable != 0: writes the value under HKEY_LOCAL_MACHINE, or, when that is
// refused, under HKEY_CURRENT_USER. enable == 0: deletes it from both keys
// where this user may. Enabling also switches the start on where Windows had
// it switched off (startup_approved.h). 1 when the value was written (and the
// start is on), or when a value was deleted and none is left; else 0.
int SetStartWithWindows(int enable);
// 1 when either key holds the value (any type, any data) and Windows has not
// switched the start off, else 0.
int IsStartWithWindows();
