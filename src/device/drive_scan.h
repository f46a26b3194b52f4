#pragma once
// Finds the drives of the GPS device: the removable drives whose disk has the
// device's USB node as its parent. Everything here runs on the main thread,
// inside the main dialog's message handling; results go to app.deviceDrives
// and to the dialog as posted messages (MSG_DRIVE_ADDED, MSG_DRIVE_REMOVED,
// MSG_DEVICE_REFUSED in shell/app_state.h).
#include <windows.h>

#include <string_view>

// Results of ClassifyDeviceId.
inline constexpr int kDeviceOther = 0;     // not the maker's device, or another model
inline constexpr int kDeviceAccepted = 1;  // "PID_2A61": its drives are recorded
inline constexpr int kDeviceRefused = 2;   // "PID_2A63": the dialog is told, nothing recorded

// Rebuilds app.deviceDrives from every drive of the computer and publishes it
// whole. Posts MSG_DRIVE_ADDED when the count grew, MSG_DRIVE_REMOVED when it
// shrank, and MSG_DEVICE_REFUSED (before those) for each refused drive.
void ScanDeviceDrives(HWND dialog);

// WM_DEVICECHANGE: rescans when a volume arrived or was removed; any other
// event or device type does nothing. Always 0.
LRESULT HandleDeviceChange(WPARAM event, LPARAM header, HWND dialog);

// 1 when the disk with storage device number `deviceNumber` belongs to the
// accepted model, else 0. Posts MSG_DEVICE_REFUSED for the refused model.
int MatchDriveToDevice(HWND dialog, DWORD deviceNumber, const wchar_t* ntDeviceName);

// Classifies a parent device ID by its first three tokens ("USB", "VID_7F3E",
// then "PID_2A61" or "PID_2A63"): kDeviceOther, kDeviceAccepted or
// kDeviceRefused. Tokens are separated by runs of space, '#', '&', '\' and
// line feed; comparison is exact and case-sensitive. Any length is sound.
int ClassifyDeviceId(std::wstring_view deviceId);

// The interface class a drive's disk is listed in: GUID_DEVINTERFACE_FLOPPY
// when its NT device name contains "\Floppy", else GUID_DEVINTERFACE_DISK.
const GUID& InterfaceClassOf(const wchar_t* ntDeviceName);

// Asks for the dialog to receive USB device arrival and removal events too.
void RegisterDeviceEvents(HWND dialog);
