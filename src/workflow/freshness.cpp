#include "workflow/freshness.h"

#include <string_view>

#include "base/text.h"
#include "persistence/timestamp_text.h"
#include "shell/app_state.h"
#include "shell/string_ids.h"
#include "shell/string_table.h"
#include "shell/tray_icon.h"
#include "workflow/update_state.h"

namespace {

// Minutes from `from` to `to`; false when either is no valid time.
bool MinutesBetween(const SYSTEMTIME& from, const SYSTEMTIME& to, LONGLONG* minutes) {
    FILETIME a = {}, b = {};
    if (from.wYear == 0 || !SystemTimeToFileTime(&from, &a) || !SystemTimeToFileTime(&to, &b)) return false;
    const auto ticks = [](const FILETIME& t) {
        return static_cast<LONGLONG>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    *minutes = (ticks(b) - ticks(a)) / (60LL * 10000000LL);
    return true;
}

// The reminder's text with the expiry's hour and minute, as the dialog shows
// times, in place of the text's "%s". Spliced, not formatted: a translated
// module never makes the program read arguments it does not have.
void ReminderText(DeviceReminder which, const SYSTEMTIME& expiry, std::span<wchar_t> text) {
    wchar_t form[kTextChars] = {}, stamp[kTextChars] = {};
    LoadUiText(which == ExpiredShown ? IDS_REMINDER_EXPIRED : IDS_REMINDER_EXPIRING, form);
    FormatTimestamp(expiry, stamp);
    const std::wstring_view whole = TextOf(form);
    const size_t at = whole.find(L"%s");
    CopyText(text, whole.substr(0, at));
    if (at == std::wstring_view::npos) return;
    AppendText(text, std::wstring_view(stamp).substr(11, 5));
    AppendText(text, whole.substr(at + 2));
}

}  // namespace

bool RefreshDue(const SYSTEMTIME& downloaded, const SYSTEMTIME& now) {
    LONGLONG age = 0;
    if (!MinutesBetween(downloaded, now, &age)) return true;
    return age >= kRefreshAfterMinutes || age < -kClockBackToleranceMinutes;
}

DeviceReminder ReminderDue(const SYSTEMTIME& expiry, DeviceReminder shown, const SYSTEMTIME& now) {
    LONGLONG left = 0;
    if (!MinutesBetween(now, expiry, &left)) return NoReminderShown;
    // Each once per copy: a clock set back does not bring one again.
    if (left <= 0) return shown < ExpiredShown ? ExpiredShown : NoReminderShown;
    return left <= kRemindBeforeMinutes && shown < ExpiringShown ? ExpiringShown : NoReminderShown;
}

void RemindOfDeviceExpiry() {
    // Attached, the device is being looked after; nothing to remind of.
    if (app.deviceDrives.Snapshot().Count() > 0) return;
    SYSTEMTIME expiry = {}, now = {};
    DeviceReminder shown = NoReminderShown;
    if (!ReadDeviceExpiry(&expiry, &shown)) return;
    GetLocalTime(&now);
    const DeviceReminder due = ReminderDue(expiry, shown, now);
    if (due == NoReminderShown) return;
    wchar_t text[kTextChars] = {};
    ReminderText(due, expiry, text);
    // Remembered only once the shell took it, so a busy shell gets it at the next look.
    if (TrayShowBalloon(text, due == ExpiredShown ? NIIF_WARNING : NIIF_INFO)) WriteDeviceExpiry(expiry, due);
}

void LookAtFreshness() {
    RemindOfDeviceExpiry();
    if (ReadAutoUpdateFlag() == 0 || app.exitConfirmOpen != 0) return;
    SYSTEMTIME downloaded = {}, now = {};
    ReadTimestamp(kDownloadTimeHeader, &downloaded);
    GetLocalTime(&now);
    if (RefreshDue(downloaded, now)) StartQuietUpdate();
}
