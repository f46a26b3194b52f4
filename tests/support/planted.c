// A file a stranger put beside the program, built as urlmon.dll, wininet.dll,
// comctl32.dll and GPS.exe: when it runs, it leaves "<its own path>.ran".
#include <windows.h>
static void Mark(HMODULE self) {
    wchar_t path[MAX_PATH + 8] = {0};
    lstrcpyW(path + GetModuleFileNameW(self, path, MAX_PATH), L".ran");
    CloseHandle(CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
}
#ifdef PLANTED_EXE
int main(void) { Mark(NULL); return 0; }
#else
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID unused) {
    if (reason == DLL_PROCESS_ATTACH) Mark(self);
    return (void)unused, TRUE;
}
// What the program imports from these DLLs, so that the loader binds it here.
long URLDownloadToFileW(void) { return 0; }
long DeleteUrlCacheEntryW(void) { return 0; }
long InitCommonControlsEx(void) { return 0; }
#endif
