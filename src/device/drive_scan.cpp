#include "device/drive_scan.h"

#include <windows.h>
#include <dbt.h>

#include "base/scoped_win.h"
#include "base/text.h"
#include "device/device_query.h"
#include "shell/app_state.h"

// Last, so that only the interface classes of these two headers become
// constants of this program (the import libraries do not carry them).
#include <initguid.h>
#include <usbiodef.h>
#include <winioctl.h>

namespace {

// GetLogicalDrives sets bits 0 (A) to 25 (Z); higher bits name no drive.
constexpr int kDriveLetters = 26;
constexpr DWORD kNoDeviceNumber = 0xFFFFFFFF;

// The classes whose device events the dialog asks for.
const GUID* const kDeviceEventClasses[] = {&GUID_DEVINTERFACE_USB_DEVICE};

bool IsDelimiter(wchar_t c) {
    return c == L' ' || c == L'#' || c == L'&' || c == L'\\' || c == L'\n';
}

// The token at or after `pos`, empty when none is left; moves `pos` past it.
std::wstring_view NextToken(std::wstring_view text, size_t& pos) {
    while (pos < text.size() && IsDelimiter(text[pos])) ++pos;
    const size_t start = pos;
    while (pos < text.size() && !IsDelimiter(text[pos])) ++pos;
    return text.substr(start, pos - start);
}

// The storage device number of the volume of drive `letter`; false when the
// volume cannot be opened or reports none.
bool VolumeDeviceNumber(wchar_t letter, DWORD* deviceNumber) {
    const wchar_t volumePath[] = {L'\\', L'\\', L'.', L'\\', letter, L':', L'\0'};
    ScopedFile volume(
        CreateFileW(volumePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!volume) return false;
    return QueryVolumeDeviceNumber(volume.Get(), letter, deviceNumber) && *deviceNumber != kNoDeviceNumber;
}

bool DriveBelongsToDevice(HWND dialog, wchar_t letter) {
    const wchar_t rootPath[] = {letter, L':', L'\\', L'\0'};
    // Fixed disks are never the device, even when attached over USB.
    if (GetDriveTypeW(rootPath) != DRIVE_REMOVABLE) return false;

    DWORD deviceNumber = kNoDeviceNumber;
    if (!VolumeDeviceNumber(letter, &deviceNumber)) return false;

    const wchar_t dosName[] = {letter, L':', L'\0'};
    wchar_t ntDeviceName[kPathChars] = {};
    if (QueryDosDeviceW(dosName, ntDeviceName, kPathChars) == 0) return false;
    ntDeviceName[kPathChars - 1] = L'\0';

    return MatchDriveToDevice(dialog, deviceNumber, ntDeviceName) != 0;
}

}  // namespace

int ClassifyDeviceId(std::wstring_view deviceId) {
    // Read in place: only the first three tokens count, so an ID of any
    // length is judged by them, never by a cut-off copy.
    deviceId = deviceId.substr(0, deviceId.find(L'\0'));
    size_t pos = 0;
    if (NextToken(deviceId, pos) != L"USB") return kDeviceOther;
    if (NextToken(deviceId, pos) != L"VID_7F3E") return kDeviceOther;
    const std::wstring_view product = NextToken(deviceId, pos);
    if (product == L"PID_2A61") return kDeviceAccepted;
    if (product == L"PID_2A63") return kDeviceRefused;
    return kDeviceOther;
}

const GUID& InterfaceClassOf(const wchar_t* ntDeviceName) {
    if (ntDeviceName != nullptr && std::wstring_view(ntDeviceName).find(L"\\Floppy") != std::wstring_view::npos) {
        return GUID_DEVINTERFACE_FLOPPY;
    }
    return GUID_DEVINTERFACE_DISK;
}

int MatchDriveToDevice(HWND dialog, DWORD deviceNumber, const wchar_t* ntDeviceName) {
    int verdict = kDeviceOther;
    const bool listed =
        EnumerateDiskInterfaces(InterfaceClassOf(ntDeviceName), [&](const DiskInterface& disk) {
            // An interface that cannot tell its number cannot be the drive's.
            if (!disk.detailRead || !disk.numberRead || disk.deviceNumber != deviceNumber) return true;
            verdict = ClassifyDeviceId(TextOf(disk.parentId));
            return false;  // the first interface with the drive's number decides
        });
    if (!listed) return 0;
    if (verdict == kDeviceRefused) PostMessageW(dialog, MSG_DEVICE_REFUSED, 0, 0);
    return verdict == kDeviceAccepted ? 1 : 0;
}

void ScanDeviceDrives(HWND dialog) {
    const uint32_t before = app.deviceDrives.Snapshot().Count();
    app.previousDriveCount = before;

    // Built off to the side and published whole, so a worker reading the
    // record never meets it half rebuilt.
    DeviceDrives found;
    const DWORD mask = GetLogicalDrives();
    for (int n = 0; n < kDriveLetters; ++n) {
        if ((mask & (1u << n)) == 0) continue;
        const wchar_t letter = static_cast<wchar_t>(L'A' + n);
        // Add refuses a 26th letter: the record holds 25, the rest go unrecorded.
        if (DriveBelongsToDevice(dialog, letter)) found.Add(letter);
    }
    app.deviceDrives.Publish(found);

    // Only the counts are compared, never the letters.
    if (found.Count() > before) {
        PostMessageW(dialog, MSG_DRIVE_ADDED, 0, 0);
    } else if (found.Count() < before) {
        PostMessageW(dialog, MSG_DRIVE_REMOVED, 0, 0);
    }
}

LRESULT HandleDeviceChange(WPARAM event, LPARAM header, HWND dialog) {
    if (event != DBT_DEVICEARRIVAL && event != DBT_DEVICEREMOVECOMPLETE) return 0;
    const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_HDR*>(header);
    if (broadcast != nullptr && broadcast->dbch_devicetype == DBT_DEVTYP_VOLUME) ScanDeviceDrives(dialog);
    return 0;
}

void RegisterDeviceEvents(HWND dialog) {
    for (const GUID* deviceClass : kDeviceEventClasses) {
        DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = *deviceClass;
        // The registration lasts as long as the dialog; its handle is not needed.
        if (RegisterDeviceNotificationW(dialog, &filter, DEVICE_NOTIFY_WINDOW_HANDLE) == nullptr) break;
    }
}
