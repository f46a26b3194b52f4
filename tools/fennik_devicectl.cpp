// Plugs and unplugs a simulated GPS device for a test build of GPS Fennik:
// records (or removes) the drive's parent device ID where the simulated
// device queries look for it, then tells the running program that a volume
// arrived or left, as the system would. For a demo without a screen it also
// reads out the main dialog and answers its message boxes.
//
//   fennik_devicectl plug E [accepted|refused|other]
//   fennik_devicectl unplug E
//   fennik_devicectl show     the status line and the open message boxes
//   fennik_devicectl ok       presses OK in the open message boxes
#include <windows.h>
#include <dbt.h>

#include <cwchar>
#include <cwctype>

#include "resources/resource.h"

namespace {

constexpr wchar_t kDrivesKey[] = L"Software\\GpsFennikSimulation\\Drives";
constexpr wchar_t kProgramClass[] = L"KIVAR M415 GPS Fennik";
// scripts/run.sh runs the program in a Wine desktop of this name.
constexpr wchar_t kDemoDesktop[] = L"GpsFennik";
constexpr int kBoxTextId = 0xFFFF;

// A window is found only on the desktop of the thread that looks: the demo's
// where there is one, else this one's own.
HWND FindProgram() {
    HDESK demo = OpenDesktopW(kDemoDesktop, 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_WRITEOBJECTS);
    if (demo) SetThreadDesktop(demo);
    return FindWindowW(kProgramClass, nullptr);
}

// The next dialog after `after` that `owner` owns.
HWND NextOwnedDialog(HWND owner, HWND after) {
    while ((after = FindWindowExW(nullptr, after, L"#32770", nullptr)) != nullptr)
        if (GetWindow(after, GW_OWNER) == owner) return after;
    return nullptr;
}

void PrintText(const wchar_t* label, HWND window) {
    wchar_t text[512] = {};
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &ignored);
    wprintf(L"%ls%ls\n", label, text);
}

// show: prints the status line and the text of each open message box; ok:
// presses OK in each.
int ReadOrAnswer(HWND dialog, bool answer) {
    if (!answer) PrintText(L"status: ", GetDlgItem(dialog, IDC_STATUS));
    for (HWND box = nullptr; (box = NextOwnedDialog(dialog, box)) != nullptr;) {
        if (!IsWindowVisible(box) || !GetDlgItem(box, kBoxTextId)) continue;
        if (answer) PostMessageW(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        else PrintText(L"box: ", GetDlgItem(box, kBoxTextId));
    }
    return 0;
}

int Usage() {
    fwprintf(stderr, L"usage: fennik_devicectl plug|unplug LETTER [accepted|refused|other] | show | ok\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool show = argc > 1 && wcscmp(argv[1], L"show") == 0;
    if (show || (argc > 1 && wcscmp(argv[1], L"ok") == 0)) {
        HWND program = FindProgram();
        if (HWND dialog = program ? NextOwnedDialog(program, nullptr) : nullptr) return ReadOrAnswer(dialog, !show);
        fwprintf(stderr, L"GPS Fennik is not running\n");
        return 1;
    }
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

    HWND program = FindProgram();
    if (program == nullptr) {
        wprintf(L"GPS Fennik is not running; the device is %ls for its next start\n", plug ? L"attached" : L"gone");
        return 0;
    }
    HWND dialog = NextOwnedDialog(program, nullptr);
    if (dialog == nullptr) {
        fwprintf(stderr, L"GPS Fennik has no main dialog yet\n");
        return 1;
    }
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (letter - L'A');
    DWORD_PTR result = 0;
    SendMessageTimeoutW(dialog, WM_DEVICECHANGE, plug ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                        reinterpret_cast<LPARAM>(&volume), SMTO_ABORTIFHUNG, 5000, &result);
    wprintf(L"device %ls on %lc:\n", plug ? L"plugged in" : L"unplugged", letter);
    return 0;
}
