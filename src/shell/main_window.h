#pragma once
// The process: string module, single-instance hand-over, the hidden main
// window that owns the tray icon and the main dialog, the message loop.
#include <windows.h>

// The exit code when the message loop fails (GetMessageW returns -1).
inline constexpr int kMessageLoopFailedExitCode = 1;

// Process-wide, first thing: a drive without its medium (a card reader, a
// device still starting) fails the program's call instead of asking the user
// in a box of the system's.
void KeepSystemErrorBoxesAway();

// The whole life of the process; returns its exit code.
int RunApplication(HINSTANCE instance);

void RegisterMainClass(HINSTANCE instance);
// Creates the hidden main window, shows the splash, forms the file paths,
// adds the tray icon. 1 on success, 0 when the window cannot be created or
// was closed during the splash.
int InitInstance(HINSTANCE instance);
LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

INT_PTR CALLBACK SplashDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Fills app.localEphemerisPath and app.downloadPath from the executable's
// directory. False (both empty) when a path would not fit.
bool FormEphemerisPaths();
