#include "persistence/run_key.h"

#include "base/scoped_win.h"
#include "persistence/machine_run_key.h"
#include "persistence/startup_approved.h"

namespace {

ScopedRegKey OpenUserRunKeyForWriting() {
    HKEY raw = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, &raw,
                        nullptr) != ERROR_SUCCESS)
        return ScopedRegKey();
    return ScopedRegKey(raw);
}

// HKEY_LOCAL_MACHINE's Run key with `access`; created when missing if
// `access` may set values.
LSTATUS OpenMachineRunKey(REGSAM access, HKEY* key) {
    if (MachineRunKeyRefused(access)) return ERROR_ACCESS_DENIED;
    if ((access & KEY_SET_VALUE) == 0) return RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, access, key);
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, nullptr, 0, access, nullptr, key, nullptr);
}

ScopedRegKey OpenMachineRunKeyForWriting() {
    HKEY raw = nullptr;
    if (OpenMachineRunKey(KEY_SET_VALUE | KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return ScopedRegKey();
    return ScopedRegKey(raw);
}

bool WriteRunValue(const ScopedRegKey& key, const wchar_t* exePath, DWORD bytes) {
    return key &&
           RegSetValueExW(key.Get(), kRunValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(exePath), bytes) ==
               ERROR_SUCCESS;
}

bool DeleteRunValue(const ScopedRegKey& key) {
    return key && RegDeleteValueW(key.Get(), kRunValueName) == ERROR_SUCCESS;
}

bool RunValuePresent(HKEY root) {
    // Read access is enough to see the value: a user who may not change the
    // machine-wide key must still be told the truth.
    HKEY raw = nullptr;
    const LSTATUS opened = root == HKEY_LOCAL_MACHINE ? OpenMachineRunKey(KEY_QUERY_VALUE, &raw)
                                                      : RegOpenKeyExW(root, kRunKeyPath, 0, KEY_QUERY_VALUE, &raw);
    if (opened != ERROR_SUCCESS) return false;
    ScopedRegKey key(raw);
    // Ask for existence only, so a value of any size counts.
    DWORD type = 0;
    DWORD size = 0;
    const LSTATUS status = RegQueryValueExW(key.Get(), kRunValueName, nullptr, &type, nullptr, &size);
    return status == ERROR_SUCCESS || status == ERROR_MORE_DATA;
}

}  // namespace

int SetStartWithWindows(int enable) {
    if (!enable) {
        // Both, so that no copy is left behind to start the program anyway.
        const bool machine = DeleteRunValue(OpenMachineRunKeyForWriting());
        const bool user = DeleteRunValue(OpenUserRunKeyForWriting());
        return (machine || user) && !IsStartWithWindows() ? 1 : 0;
    }

    // Windows reads the value as a command line. Quoted, it names this
    // executable and nothing else: unquoted, a path with a space such as
    // "D:\GPS Tools\GpsFennik.exe" would first start a "D:\GPS.exe".
    wchar_t exePath[MAX_PATH + 2] = {L'"'};
    const DWORD length = GetModuleFileNameW(nullptr, exePath + 1, MAX_PATH);
    // A cut path would start nothing at the next logon: store none.
    if (length == 0 || length >= MAX_PATH) return 0;
    exePath[length + 1] = L'"';
    const DWORD bytes = (length + 3) * sizeof(wchar_t);  // both quotes and the terminator

    // A tick means on, also where the user had switched it off in Windows.
    if (WriteRunValue(OpenMachineRunKeyForWriting(), exePath, bytes)) {
        // One registration only: an older one of this user would start a
        // second process at logon.
        DeleteRunValue(OpenUserRunKeyForWriting());
        return SwitchStartOn() ? 1 : 0;
    }
    // Without elevation the machine-wide key is refused; the user's own Run
    // key starts the program at this user's logon just as well.
    return WriteRunValue(OpenUserRunKeyForWriting(), exePath, bytes) && SwitchStartOn() ? 1 : 0;
}

int IsStartWithWindows() {
    const bool present = RunValuePresent(HKEY_LOCAL_MACHINE) || RunValuePresent(HKEY_CURRENT_USER);
    return present && !StartSwitchedOff() ? 1 : 0;
}
