#include <windows.h>

#include "shell/main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // First of all: every DLL loaded by name from now on comes from the
    // system folder, never from the program's own folder or the current one,
    // where a stranger's file of that name may lie. urlmon and wininet are
    // delay-loaded, so they are loaded through this rule at their first call.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    KeepSystemErrorBoxesAway();
    return RunApplication(instance);
}
