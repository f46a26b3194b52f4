// Device queries answered by the platform: setup API, configuration manager
// and the storage IOCTL of the disk drivers.
#include "device/device_query.h"

#include <winioctl.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include "base/scoped_win.h"

namespace {

// The interface detail record never needs more; a larger one is skipped.
constexpr DWORD kInterfaceDetailBytes = 1024;

#ifndef _WIN64
// The records as a 32-bit build lays them out.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28 && sizeof(SP_DEVINFO_DATA) == 28);
#endif

bool StorageDeviceNumber(HANDLE device, DWORD* deviceNumber) {
    STORAGE_DEVICE_NUMBER number = {};
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &returned,
                         nullptr)) {
        return false;
    }
    *deviceNumber = number.DeviceNumber;
    return true;
}

// The parent's ID, or an empty text when the parent or its ID is unavailable.
void ReadParentId(DEVINST node, wchar_t (&id)[kDeviceIdChars]) {
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS ||
        CM_Get_Device_IDW(parent, id, static_cast<ULONG>(kDeviceIdChars), 0) != CR_SUCCESS) {
        id[0] = L'\0';
    }
    // An ID that fills the buffer exactly comes back without a terminator.
    id[kDeviceIdChars - 1] = L'\0';
}

void ReadInterface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data, DiskInterface& found) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
    if (required == 0 || required > kInterfaceDetailBytes) return;

    alignas(SP_DEVICE_INTERFACE_DETAIL_DATA_W) BYTE buffer[kInterfaceDetailBytes] = {};
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer);
    // The size of the record's fixed part: 8 in a 64-bit build, 6 in a 32-bit one.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA node = {};
    node.cbSize = sizeof node;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, &node)) return;
    found.detailRead = true;

    ReadParentId(node.DevInst, found.parentId);

    ScopedFile device(CreateFileW(detail->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  0, nullptr));
    if (!device) return;
    found.numberRead = StorageDeviceNumber(device.Get(), &found.deviceNumber);
}

}  // namespace

bool QueryVolumeDeviceNumber(HANDLE volume, wchar_t /*letter*/, DWORD* deviceNumber) {
    return StorageDeviceNumber(volume, deviceNumber);
}

bool EnumerateDiskInterfaces(const GUID& interfaceClass, const std::function<bool(const DiskInterface&)>& visit) {
    ScopedDevInfo set(SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set) return false;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &interfaceClass, index, &data)) break;
        DiskInterface found;
        ReadInterface(set.Get(), data, found);
        if (!visit(found)) break;
    }
    return true;
}

void MediumReadBack(std::span<unsigned char>) {}

void ScannerMayHold(const wchar_t*) {}
