// Device queries answered from the registry, for test builds only: a USB
// device cannot be attached to a test machine on demand, so its identity is
// written under HKEY_CURRENT_USER\Software\GpsFennikSimulation\Drives.
//
// The DWORD value "ReadBackFaults" = N under GpsFennikSimulation alters the
// N-th read of a device file back from its medium, counting down at each.
//
// The DWORD value "Holds\NAME" = N there holds the N-th next sighting of a
// file named NAME that a scanner may see, counting down at each: it is opened
// without sharing reads or writes for "Holds\HoldMs" milliseconds (500 when
// unset), as a virus scanner does.
//
// Each REG_SZ value there is named by an upper-case drive letter and holds the
// device ID of the parent USB device of the disk behind that drive. Every
// value stands for one present disk interface (of either class) whose storage
// device number is the drive letter's index, A = 0. The key is read afresh
// at every query, so a test plugs and unplugs by writing and deleting values.
#include "device/device_query.h"

#include <winioctl.h>

#include <iterator>
#include <vector>

#include "base/scoped_win.h"
#include "base/simulated_fault.h"
#include "base/text.h"

namespace {

constexpr wchar_t kDrivesKey[] = L"Software\\GpsFennikSimulation\\Drives";

DWORD SimulatedDeviceNumber(wchar_t letter) {
    return static_cast<DWORD>(letter - L'A');
}

bool IsDriveLetter(wchar_t c) {
    return c >= L'A' && c <= L'Z';
}

// Reads the REG_SZ value `name` into `id`, cut to the buffer like any device
// ID the platform hands over. False when the value is not text.
bool ReadDeviceId(HKEY key, const wchar_t* name, wchar_t (&id)[kDeviceIdChars]) {
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_SZ) return false;
    std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 1, L'\0');
    DWORD got = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return false;
    }
    CopyText(id, TextOf(std::span<const wchar_t>(data.data(), got / sizeof(wchar_t))));
    return true;
}

struct Hold {
    HANDLE file;
    DWORD ms;
};

DWORD WINAPI ReleaseHold(LPVOID parameter) {
    auto* hold = static_cast<Hold*>(parameter);
    Sleep(hold->ms);
    CloseHandle(hold->file);
    delete hold;
    return 0;
}

}  // namespace

bool QueryVolumeDeviceNumber(HANDLE volume, wchar_t letter, DWORD* deviceNumber) {
    // The volume must still answer the request as a real one does; only its
    // number is replaced, since the simulated interfaces are numbered by letter.
    STORAGE_DEVICE_NUMBER number = {};
    DWORD returned = 0;
    if (!DeviceIoControl(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &returned,
                         nullptr)) {
        return false;
    }
    if (!IsDriveLetter(letter)) return false;
    *deviceNumber = SimulatedDeviceNumber(letter);
    return true;
}

bool EnumerateDiskInterfaces(const GUID& /*interfaceClass*/, const std::function<bool(const DiskInterface&)>& visit) {
    HKEY opened = nullptr;
    // No key: no device attached, an empty set.
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kDrivesKey, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) return true;
    ScopedRegKey key(opened);

    for (DWORD index = 0;; ++index) {
        wchar_t name[4] = {};
        DWORD nameChars = static_cast<DWORD>(std::size(name));
        const LONG status = RegEnumValueW(key.Get(), index, name, &nameChars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) continue;  // a longer name: not a drive letter
        if (status != ERROR_SUCCESS) break;       // ERROR_NO_MORE_ITEMS, or the key went away
        if (nameChars != 1 || !IsDriveLetter(name[0])) continue;

        DiskInterface found;
        if (!ReadDeviceId(key.Get(), name, found.parentId)) continue;
        found.detailRead = true;
        found.numberRead = true;
        found.deviceNumber = SimulatedDeviceNumber(name[0]);
        if (!visit(found)) break;
    }
    return true;
}

void MediumReadBack(std::span<unsigned char> data) {
    if (!data.empty() && TakeSimulatedFault(L"ReadBackFaults") == 1) data[data.size() / 2] ^= 0x5A;
}

void ScannerMayHold(const wchar_t* path) {
    const wchar_t* slash = wcsrchr(path, L'\\');
    wchar_t name[kDeviceIdChars] = L"Holds\\";
    if (slash == nullptr || !AppendText(name, slash + 1) || TakeSimulatedFault(name) != 1) return;
    DWORD ms = 500, bytes = sizeof ms;
    RegGetValueW(HKEY_CURRENT_USER, kSimulationKey, L"Holds\\HoldMs", RRF_RT_REG_DWORD, nullptr, &ms, &bytes);
    // Sharing deletion alone: what the program must not delete stays only by its own choice.
    auto* hold = new Hold{CreateFileW(path, GENERIC_READ, FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr), ms};
    HANDLE thread =
        hold->file != INVALID_HANDLE_VALUE ? CreateThread(nullptr, 0, ReleaseHold, hold, 0, nullptr) : nullptr;
    if (thread != nullptr) {
        CloseHandle(thread);
    } else {
        if (hold->file != INVALID_HANDLE_VALUE) CloseHandle(hold->file);
        delete hold;
    }
}
