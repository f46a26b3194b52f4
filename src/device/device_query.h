#pragma once
// The seam around the device queries that only a real USB device can answer:
// the storage device number behind an open volume, and the present disk
// interfaces with their storage device numbers and parent device IDs.
//
// The product links device_query_win32.cpp (setup API, configuration manager,
// storage IOCTLs). Test builds link device_query_simulated.cpp instead, which
// answers from the registry. Everything else about a drive (drive mask, drive
// type, opening the volume, its NT device name) and every decision of the scan
// stay in drive_scan.cpp, the same in both builds.
#include <windows.h>

#include <cstddef>
#include <functional>
#include <span>

inline constexpr size_t kDeviceIdChars = MAX_PATH;  // 260, terminator included

// What one present interface of a disk or floppy class told about itself.
struct DiskInterface {
    // Its detail record (device path and device node) could be fetched.
    bool detailRead = false;
    // Its device path could be opened and reported a storage device number.
    bool numberRead = false;
    DWORD deviceNumber = 0;
    // Device ID of the interface's parent device node; empty when unknown.
    wchar_t parentId[kDeviceIdChars] = {};
};

// Storage device number of drive `letter` ('A' to 'Z'), whose volume is open
// as `volume`. False when the volume reports none.
bool QueryVolumeDeviceNumber(HANDLE volume, wchar_t letter, DWORD* deviceNumber);

// Offers each present interface of `interfaceClass`, in enumeration order, to
// `visit` until `visit` returns false or the interfaces run out. False when
// the set of present interfaces could not be obtained at all.
bool EnumerateDiskInterfaces(const GUID& interfaceClass, const std::function<bool(const DiskInterface&)>& visit);

// What a device file read back from its medium gave: test builds may alter it
// on demand, as a failing medium would; the product leaves it as it is.
void MediumReadBack(std::span<unsigned char> data);

// A file just written, where a scanner may open it for a moment without
// sharing: test builds may hold it so on demand; the product does nothing.
void ScannerMayHold(const wchar_t* path);
