// Times GPS Fennik's drive scan (ScanDeviceDrives, with the simulated device
// queries of test builds) over a window of its own. Every removable drive of
// the prefix gets the accepted device identity first, so each one is matched
// the whole way; the identities are removed again at the end.
//
//   fennik_bench_scan [RUNS]     prints "drives N", then "scan_ms X" per scan
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "bench_clock.h"
#include "device/drive_scan.h"
#include "shell/app_state.h"

namespace {

constexpr wchar_t kDrivesKey[] = L"Software\\GpsFennikSimulation\\Drives";
constexpr wchar_t kAcceptedDeviceId[] = L"USB\\VID_7F3E&PID_2A61\\0001";
constexpr wchar_t kClassName[] = L"FennikBenchScan";

void SetIdentity(wchar_t letter, bool present) {
    const wchar_t name[2] = {letter, L'\0'};
    if (present) {
        RegSetKeyValueW(HKEY_CURRENT_USER, kDrivesKey, name, REG_SZ, kAcceptedDeviceId,
                        static_cast<DWORD>(sizeof kAcceptedDeviceId));
    } else {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kDrivesKey, name);
    }
}

bool IsRemovable(wchar_t letter) {
    const wchar_t root[] = {letter, L':', L'\\', L'\0'};
    return GetDriveTypeW(root) == DRIVE_REMOVABLE;
}

// The scan reports to the window by posted messages; they are simply drained.
void DrainMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int runs = argc > 1 ? _wtoi(argv[1]) : 20;
    if (runs < 1) {
        fwprintf(stderr, L"usage: fennik_bench_scan [RUNS]\n");
        return 2;
    }
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);
    HWND window = CreateWindowExW(0, kClassName, L"", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                                  wc.hInstance, nullptr);
    if (window == nullptr) {
        fwprintf(stderr, L"fennik_bench_scan: no window\n");
        return 1;
    }

    int removable = 0;
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        if (!IsRemovable(letter)) continue;
        SetIdentity(letter, true);
        ++removable;
    }

    // The first scan finds every drive anew; the timed ones find the same set.
    ScanDeviceDrives(window);
    DrainMessages();
    const DeviceDrives found = app.deviceDrives.Snapshot();
    wchar_t letters[32] = {};
    for (size_t i = 0; i < found.Count(); ++i) letters[i] = found.Letter(i);
    wprintf(L"removable %d\ndrives %u %ls\n", removable, static_cast<unsigned>(found.Count()), letters);

    for (int run = 0; run < runs; ++run) {
        const double start = NowMs();
        ScanDeviceDrives(window);
        const double end = NowMs();
        DrainMessages();
        wprintf(L"scan_ms %.3f\n", end - start);
    }

    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter)
        if (IsRemovable(letter)) SetIdentity(letter, false);
    DestroyWindow(window);
    return found.Count() == removable ? 0 : 1;
}
