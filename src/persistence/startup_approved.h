#pragma once
// Whether Windows has switched the program's start off: Task Manager's and
// Settings' start-up apps keep the Run value and record the choice in
// HKEY_CURRENT_USER\...\Explorer\StartupApproved\Run, a value of the same
// name. The platform does not document this key. So only two things are
// relied on: a first byte that is odd means off, and the form Windows writes
// for on (2, then zeros) switches it on again.
#include <windows.h>

inline constexpr wchar_t kStartupApprovedKeyPath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";

// True when a value of the Run value's name is there with an odd first byte.
bool StartSwitchedOff();
// Writes the enabled form where the start was switched off. True when the
// start is not switched off afterwards.
bool SwitchStartOn();
