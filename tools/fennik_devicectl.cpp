// Plugs and unplugs a simulated GPS device for a test build of GPS Fennik:
// records (or removes) the drive's parent device ID where the simulated
// device queries look for it, then tells the running program that a volume
// arrived or left, as the system would.
//
//   fennik_devicectl plug E [accepted|refused|other]
//   fennik_devicectl unplug E
#include <windows.h>
#include <dbt.h>

#include <cwchar>
#include <cwctype>

namespace {

constexpr wchar_t kDrivesKey[] = L"Software\\GpsFennikSimulation\\Drives";
constexpr wchar_t kProgramClass[] = L"KIVAR M415 GPS Fennik";

struct DialogSearch {
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindOwnedDialog(HWND window, LPARAM lParam) {
    auto* search = reinterpret_cast<DialogSearch*>(lParam);
    wchar_t cls[32] = {};
    GetClassNameW(window, cls, 32);
    if (GetWindow(window, GW_OWNER) == search->owner && wcscmp(cls, L"#32770") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

int Usage() {
    fwprintf(stderr, L"usage: fennik_devicectl plug|unplug LETTER [accepted|refused|other]\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3 || !iswalpha(argv[2][0])) return Usage();
    const bool plug = wcscmp(argv[1], L"plug") == 0;
    if (!plug && wcscmp(argv[1], L"unplug") != 0) return Usage();
    const wchar_t letter = static_cast<wchar_t>(towupper(argv[2][0]));
    const wchar_t valueName[2] = {letter, L'\0'};

    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kDrivesKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        fwprintf(stderr, L"cannot open HKCU\\%ls\n", kDrivesKey);
        return 1;
    }
    if (plug) {
        const wchar_t* model = argc > 3 ? argv[3] : L"accepted";
        const wchar_t* id = wcscmp(model, L"refused") == 0 ? L"USB\\VID_7F3E&PID_2A63\\0001"
                            : wcscmp(model, L"other") == 0 ? L"USB\\VID_1234&PID_5678\\0001"
                                                           : L"USB\\VID_7F3E&PID_2A61\\0001";
        RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(id),
                       static_cast<DWORD>((wcslen(id) + 1) * sizeof(wchar_t)));
    } else {
        RegDeleteValueW(key, valueName);
    }
    RegCloseKey(key);

    DialogSearch search = {FindWindowW(kProgramClass, nullptr), nullptr};
    if (search.owner == nullptr) {
        wprintf(L"GPS Fennik is not running; the device is %ls for its next start\n", plug ? L"attached" : L"gone");
        return 0;
    }
    EnumWindows(FindOwnedDialog, reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) {
        fwprintf(stderr, L"GPS Fennik has no main dialog yet\n");
        return 1;
    }
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (letter - L'A');
    DWORD_PTR result = 0;
    SendMessageTimeoutW(search.found, WM_DEVICECHANGE, plug ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                        reinterpret_cast<LPARAM>(&volume), SMTO_ABORTIFHUNG, 5000, &result);
    wprintf(L"device %ls on %lc:\n", plug ? L"plugged in" : L"unplugged", letter);
    return 0;
}
