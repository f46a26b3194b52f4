#pragma once
// "Kelva_config.ini" beside the executable: UTF-16LE without BOM, sections of
// a header line and a fixed-width value that is overwritten in place.
#include <windows.h>

inline constexpr wchar_t kSettingsFileName[] = L"Kelva_config.ini";
inline constexpr wchar_t kAutoUpdateHeader[] = L"[AUTO UPDATE]\r\n";
inline constexpr wchar_t kDownloadTimeHeader[] = L"[DOWNLOAD TIME]\r\n";
inline constexpr wchar_t kUpdateTimeHeader[] = L"[UPDATE TIME]\r\n";
inline constexpr wchar_t kExpireTimeHeader[] = L"[EXPIRE TIME]\r\n";
// The data last copied onto the device: its expiry in UTC as timestamp text
// marked "Z", a space and which reminder of it was shown (a DeviceReminder
// digit). Written only after the four sections above, so their places stay
// where older versions put them.
inline constexpr wchar_t kDeviceExpiryHeader[] = L"[DEVICE EXPIRY]\r\n";
enum DeviceReminder : int { NoReminderShown = 0, ExpiringShown = 1, ExpiredShown = 2 };

// 1 when the value was written, else 0.
int WriteAutoUpdateFlag(int flag);
// 0 only when the file holds the section with the value "0"; otherwise 1.
int ReadAutoUpdateFlag();
// 1 when the value was written, else 0.
int WriteTimestamp(const wchar_t* header, SYSTEMTIME time);
// 1 when a value was found and parsed; the record is all zero whenever 0.
int ReadTimestamp(const wchar_t* header, SYSTEMTIME* time);
// 1 when written; `expiry` is UTC, all zero records it as unknown. The first
// write needs the time sections there, and adds the auto-update one if missing.
int WriteDeviceExpiry(const SYSTEMTIME& expiry, DeviceReminder shown);
// 1 when a whole record was read, `expiry` in UTC (an older record without
// the mark is taken as local time); else 0, with `expiry` all zero.
int ReadDeviceExpiry(SYSTEMTIME* expiry, DeviceReminder* shown);
