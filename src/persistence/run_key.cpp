#include "persistence/run_key.h"

#include <shlobj.h>

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

// True when `path` lies inside the known folder `id` of this user.
bool InsideKnownFolder(REFKNOWNFOLDERID id, const wchar_t* path) {
    PWSTR folder = nullptr;
    bool inside = false;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &folder))) {
        int n = lstrlenW(folder);
        if (n > 0 && folder[n - 1] == L'\\') --n;
        inside = n > 0 && lstrlenW(path) > n && path[n] == L'\\' &&
                 CompareStringOrdinal(path, n, folder, n, TRUE) == CSTR_EQUAL;
    }
    CoTaskMemFree(folder);
    return inside;
}

// A copy in a user's profile (where the setup installs it) is that user's
// alone: an entry for every user would have Windows try to start it at every
// other user's logon. Local AppData may be redirected out of the profile.
bool InUserProfile(const wchar_t* exePath) {
    return InsideKnownFolder(FOLDERID_Profile, exePath) || InsideKnownFolder(FOLDERID_LocalAppData, exePath);
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
    const bool forEveryUser = !InUserProfile(exePath + 1);
    exePath[length + 1] = L'"';
    const DWORD bytes = (length + 3) * sizeof(wchar_t);  // both quotes and the terminator

    // A tick means on, also where the user had switched it off in Windows.
    if (forEveryUser && WriteRunValue(OpenMachineRunKeyForWriting(), exePath, bytes)) {
        // One registration only: an older one of this user would start a
        // second process at logon.
        DeleteRunValue(OpenUserRunKeyForWriting());
        return SwitchStartOn(HKEY_LOCAL_MACHINE) ? 1 : 0;
    }
    // Without elevation the machine-wide key is refused; the user's own Run
    // key starts the program at this user's logon just as well.
    if (!WriteRunValue(OpenUserRunKeyForWriting(), exePath, bytes)) return 0;
    DeleteRunValue(OpenMachineRunKeyForWriting());  // an older entry for every user, where this user may
    return SwitchStartOn(HKEY_CURRENT_USER) ? 1 : 0;
}

int IsStartWithWindows() {
    // Each entry has its own switch, kept beside its own Run key.
    const auto on = [](HKEY root) { return RunValuePresent(root) && !StartSwitchedOff(root); };
    return on(HKEY_LOCAL_MACHINE) || on(HKEY_CURRENT_USER) ? 1 : 0;
}

bool StartEntryLocked() {
    return RunValuePresent(HKEY_LOCAL_MACHINE) && !OpenMachineRunKeyForWriting();
}
