#include <windows.h>

#include "shell/main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    return RunApplication(instance);
}
