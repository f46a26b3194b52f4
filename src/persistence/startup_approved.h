#pragma once
// Whether Windows has switched the program's start off: Task Manager's and
// Settings' start-up apps keep the Run value and record the choice under
// ...\Explorer\StartupApproved\Run of the same root as the Run key that holds
// the entry (HKEY_LOCAL_MACHINE for an entry of every user), a value of the
// same name. The platform does not document this key. So only two things are
// relied on: a first byte that is odd means off, and the form Windows writes
// for on (2, then zeros) switches it on again.
#include <windows.h>

inline constexpr wchar_t kStartupApprovedKeyPath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";

// True when `root` holds a value of the Run value's name with an odd first byte.
bool StartSwitchedOff(HKEY root);
// Writes the enabled form under `root` where the start was switched off. True
// when the start is not switched off there afterwards.
bool SwitchStartOn(HKEY root);
