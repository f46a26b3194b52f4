#pragma once
// Start with Windows: the value "KIVAR M415 GPS Fennik", holding the
// executable's full path in quotes, under the machine-wide Run key for a copy
// outside every user's profile, or under the user's own Run key for a copy in
// the profile and where the machine-wide one may not be written. Windows
// starts what either key names when the user logs on.
#include <windows.h>

inline constexpr wchar_t kRunKeyPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kRunValueName[] = L"KIVAR M415 GPS Fennik";

// enable != 0: writes the value under HKEY_LOCAL_MACHINE, or, for a copy in
// the profile or when that is refused, under HKEY_CURRENT_USER, and removes
// it from the other key where this user may. enable == 0: deletes it from
// both keys where this user may. Enabling also switches the start on where
// Windows had it switched off (startup_approved.h). 1 when the value was written (and the
// start is on), or when a value was deleted and none is left; else 0.
int SetStartWithWindows(int enable);
// 1 when either key holds the value (any type, any data) and Windows has not
// switched that entry's start off, else 0.
int IsStartWithWindows();
// True when the machine-wide key holds the value and this user may not change
// it: the user cannot turn that start off.
bool StartEntryLocked();
