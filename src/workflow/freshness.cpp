#include "workflow/freshness.h"

#include <string_view>

#include "acquisition/calendar.h"
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

// Appends `form` up to its first "%s" and `piece` in its place; gives what
// follows the mark, or nothing when there is none (`form` went whole).
// Spliced, not formatted: a translated module never makes the program read
// arguments it does not have.
std::wstring_view SpliceNext(std::span<wchar_t> text, std::wstring_view form, std::wstring_view piece) {
    const size_t mark = form.find(L"%s");
    AppendText(text, form.substr(0, mark));
    if (mark == std::wstring_view::npos) return {};
    AppendText(text, piece);
    return form.substr(mark + 2);
}

}  // namespace

void ReminderText(DeviceReminder which, const SYSTEMTIME& expiry, const SYSTEMTIME& now,
                  const TIME_ZONE_INFORMATION* zone, std::span<wchar_t> text) {
    SYSTEMTIME at = {}, today = {};
    SystemTimeToTzSpecificLocalTime(zone, &expiry, &at);
    SystemTimeToTzSpecificLocalTime(zone, &now, &today);
    const bool sameDay = at.wYear == today.wYear && at.wMonth == today.wMonth && at.wDay == today.wDay;
    const UINT id = which == ExpiredShown ? (sameDay ? IDS_REMINDER_EXPIRED : IDS_REMINDER_EXPIRED_ON)
                                          : (sameDay ? IDS_REMINDER_EXPIRING : IDS_REMINDER_EXPIRING_ON);
    wchar_t form[kTextChars] = {}, stamp[kTextChars] = {};
    LoadUiText(id, form);
    FormatTimestamp(at, stamp);
    // The day, when named, at the first "%s", the time at the next; as the dialog shows them.
    const std::wstring_view shown(stamp);
    std::wstring_view rest = TextOf(form);
    CopyText(text, L"");
    if (!sameDay) rest = SpliceNext(text, rest, shown.substr(0, 10));
    rest = SpliceNext(text, rest, shown.substr(11, 5));
    AppendText(text, rest);
}

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
    // Instants: neither a journey nor a change to or from summer time moves a reminder.
    GetSystemTime(&now);
    const DeviceReminder due = ReminderDue(expiry, shown, now);
    if (due == NoReminderShown) return;
    wchar_t text[kTextChars] = {};
    ReminderText(due, expiry, now, nullptr, text);
    // Remembered only once the shell took it, so a busy shell gets it at the next look.
    if (TrayShowBalloon(text, due == ExpiredShown ? NIIF_WARNING : NIIF_INFO)) WriteDeviceExpiry(expiry, due);
}

namespace {

// The later of two recorded times; an all-zero one counts as none.
SYSTEMTIME LaterOf(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    if (a.wYear == 0) return b;
    if (b.wYear == 0) return a;
    return CompareTimestamps(a, b) < 0 ? b : a;
}

// Whether the download that failed at `failedTick` (0: none did) keeps a
// broadcast's look at `nowTick` from another attempt.
bool AttemptPaced(ULONGLONG failedTick, ULONGLONG nowTick) {
    return failedTick != 0 && nowTick - failedTick < kFreshnessIntervalMs;
}

// The delay before retry `n` (0, 1, ...) after a resume.
UINT ResumeRetryDelay(int n) {
    constexpr UINT kSteps[] = {1, 1, 2, 4};
    return kResumeRetryMs * kSteps[n < 3 ? n : 3];
}

// Main thread only: the tick of the last resume, and the retries made since.
ULONGLONG resumedTick = 0;
int resumeRetries = 0;

// The download that succeeded last, as stored or, when the file could not
// take it, as this run remembers it.
bool LocalDataDue() {
    SYSTEMTIME stored = {}, remembered = {}, now = {};
    ReadTimestamp(kDownloadTimeHeader, &stored);
    const uint64_t ticks = app.lastDownloadLocal.load();
    const FILETIME at = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    if (ticks == 0 || !FileTimeToSystemTime(&at, &remembered)) remembered = SYSTEMTIME{};
    GetLocalTime(&now);
    return RefreshDue(LaterOf(stored, remembered), now);
}

}  // namespace

void LookAtFreshness(Look cause) {
    RemindOfDeviceExpiry();
    if (ReadAutoUpdateFlag() == 0 || app.exitConfirmOpen != 0 || !LocalDataDue()) return;
    if (cause == Look::Broadcast && AttemptPaced(app.lastDownloadFailedTick.load(), GetTickCount64())) return;
    // The next timed look comes a whole interval after this attempt.
    if (StartQuietUpdate()) SetTimer(app.mainWindow, TIMER_FRESHNESS, kFreshnessIntervalMs, nullptr);
}

void OnResume() {
    resumedTick = GetTickCount64();
    resumeRetries = 0;
    LookAtFreshness(Look::Broadcast);
    SetTimer(app.mainWindow, TIMER_RESUME_RETRY, ResumeRetryDelay(0), nullptr);
}

void RetryAfterResume() {
    KillTimer(app.mainWindow, TIMER_RESUME_RETRY);
    // Done once the data is fresh, or nothing would refresh it, or the resume
    // is long past: the interval's looks go on as always.
    const bool recent = GetTickCount64() - resumedTick < kResumeRetriesForMs;
    if (!recent || ReadAutoUpdateFlag() == 0 || !LocalDataDue()) return;
    LookAtFreshness(Look::ResumeRetry);
    SetTimer(app.mainWindow, TIMER_RESUME_RETRY, ResumeRetryDelay(++resumeRetries), nullptr);
}
