#pragma once
// A file that must survive a pulled cable or a power cut: its data and its
// directory entry written from the system's cache to the medium.
#include <windows.h>

// FlushFileBuffers on `path`, opened for writing past a short hold by another
// program. False when it cannot be done; the reason is left in GetLastError.
bool FlushToMedium(const wchar_t* path);
