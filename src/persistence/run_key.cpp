#include "persistence/run_key.h"

#include <windows.h>

#include "base/scoped_win.h"

int SetStartWithWindows(int enable) {
    HKEY raw = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr) !=
        ERROR_SUCCESS)
        return 0;
    ScopedRegKey key(raw);

    if (!enable) return RegDeleteValueW(key.Get(), kRunValueName) == ERROR_SUCCESS ? 1 : 0;

    wchar_t exePath[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, exePath, MAX_PATH);
    // A cut path would start nothing at the next logon: store none.
    if (length == 0 || length >= MAX_PATH) return 0;
    const DWORD bytes = (length + 1) * sizeof(wchar_t);  // with the terminator
    return RegSetValueExW(key.Get(), kRunValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(exePath), bytes) ==
                   ERROR_SUCCESS
               ? 1
               : 0;
}

int IsStartWithWindows() {
    // Read access is enough to see the value: a user who may not change the
    // machine-wide key must still be told the truth.
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return 0;
    ScopedRegKey key(raw);
    // Ask for existence only, so a value of any size counts.
    DWORD type = 0;
    DWORD size = 0;
    const LSTATUS status = RegQueryValueExW(key.Get(), kRunValueName, nullptr, &type, nullptr, &size);
    return status == ERROR_SUCCESS || status == ERROR_MORE_DATA ? 1 : 0;
}
