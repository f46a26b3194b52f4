#pragma once
// What the program does by itself while it runs: it keeps the local
// ephemeris file young with quiet updates (a device left attached gets each
// one), and reminds the user when the data on a device that is away runs out.
#include <windows.h>

#include <span>

#include "persistence/settings_file.h"

// A download this old is refreshed; so is one stamped more than an hour
// ahead of the clock, which was set back.
inline constexpr LONGLONG kRefreshAfterMinutes = 24 * 60;
inline constexpr LONGLONG kClockBackToleranceMinutes = 60;
// The first reminder comes when this little of the device's data is left.
inline constexpr LONGLONG kRemindBeforeMinutes = 12 * 60;
// How often the program looks, besides start-up, resume and a clock change.
inline constexpr UINT kFreshnessIntervalMs = FENNIK_REFRESH_INTERVAL_MS;
// After a resume the network may take a while: a refresh that fails then is
// tried again after one, one, two, then every four of these (30 s: within two
// minutes of the network's return), for 30 of them (a quarter of an hour).
inline constexpr UINT kResumeRetryMs = FENNIK_RESUME_RETRY_MS;
inline constexpr ULONGLONG kResumeRetriesForMs = 30ull * kResumeRetryMs;

// What brought a look. After a failed download, looks brought by broadcasts
// (start-up, a clock change, a resume) start at most one download attempt per
// interval, however many come; the timer is set back by every attempt.
enum class Look { Broadcast, Timer, ResumeRetry };

// Main thread: one look. Reminds when due, then, while auto-update is on and
// nothing runs, starts a quiet update when the local file is due.
void LookAtFreshness(Look cause);
// Main thread: the computer woke up. A look now, and quick ones while the
// refresh is due and the resume is recent (the network may not be up yet).
void OnResume();
// Main thread: TIMER_RESUME_RETRY fired.
void RetryAfterResume();
// Main thread: the reminder alone (a device was removed).
void RemindOfDeviceExpiry();

// Whether a download recorded at `downloaded` (all zero: none) is due at `now`.
bool RefreshDue(const SYSTEMTIME& downloaded, const SYSTEMTIME& now);
// The reminder to show at `now` for data expiring at `expiry` (all zero:
// unknown; both UTC) of which `shown` was shown: NoReminderShown for none.
DeviceReminder ReminderDue(const SYSTEMTIME& expiry, DeviceReminder shown, const SYSTEMTIME& now);
// The text of reminder `which` for data expiring at `expiry`, at `now` (both
// UTC): the time as a clock in `zone` (null: the user's zone now) shows it,
// and its day too unless that is the clock's today.
void ReminderText(DeviceReminder which, const SYSTEMTIME& expiry, const SYSTEMTIME& now,
                  const TIME_ZONE_INFORMATION* zone, std::span<wchar_t> text);
