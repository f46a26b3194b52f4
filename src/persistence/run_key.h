#pragma once
// Start with Windows: the value "KIVAR M415 GPS Fennik" under the machine-wide
// Run key, holding the executable's full path.

inline constexpr wchar_t kRunKeyPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kRunValueName[] = L"KIVAR M415 GPS Fennik";

// Writes (enable != 0) or deletes the value. 1 on success, else 0.
int SetStartWithWindows(int enable);
// 1 when the value exists (any type, any data), else 0.
int IsStartWithWindows();
