// When the program refreshes its data by itself, and which reminder of the device's data is due.
#include <gtest/gtest.h>

#include "shell/app_state.h"
#include "shell/string_table.h"
#include "test_util.h"
#include "workflow/freshness.h"

namespace {

TEST(Freshness, RefreshAfterADayOrAClockSetBack) {
    const SYSTEMTIME now = At(2008, 3, 1, 12, 0);
    const struct { SYSTEMTIME downloaded; bool due; } rows[] = {
        {{}, true}, {At(2008, 2, 29, 12, 1), false}, {At(2008, 2, 29, 12, 0), true},  // a leap day back
        {At(2008, 3, 1, 13, 0), false}, {At(2008, 3, 1, 13, 1), true}, {At(2011, 3, 1), true},  // ahead of the clock
        {At(2008, 2, 30), true},  // torn: no valid time
    };
    for (const auto& r : rows) EXPECT_EQ(RefreshDue(r.downloaded, now), r.due) << Show(Stamp(r.downloaded));
}

TEST(Freshness, EachReminderOncePerCopy) {
    const SYSTEMTIME expiry = At(2008, 1, 1, 6, 0);
    const struct { SYSTEMTIME now; DeviceReminder shown, due; } rows[] = {
        {At(2007, 12, 31, 17, 59), NoReminderShown, NoReminderShown},
        {At(2007, 12, 31, 18, 0), NoReminderShown, ExpiringShown},  // 12 hours left
        {At(2007, 12, 31, 18, 0), ExpiringShown, NoReminderShown},
        {At(2008, 1, 1, 6, 0), ExpiringShown, ExpiredShown},
        {At(2008, 1, 9), NoReminderShown, ExpiredShown},  // expired while away: only the second
        {At(2008, 1, 9), ExpiredShown, NoReminderShown},
        {At(2007, 12, 31, 23), ExpiredShown, NoReminderShown},  // the clock set back replays nothing
    };
    for (const auto& r : rows)
        EXPECT_EQ(ReminderDue(expiry, r.shown, r.now), r.due) << Show(Stamp(r.now)) << ", shown " << r.shown;
    EXPECT_EQ(ReminderDue({}, NoReminderShown, At(2008, 1, 9)), NoReminderShown) << "an unknown expiry";
}

// The expiry (UTC) as the user's clock shows it, and its day unless that is the clock's today, not UTC's; across the
// end of summer time, the clock of the expiry, not of now.
TEST(Freshness, ReminderNamesTheUsersClockAndTheDayUnlessToday) {
    app.stringModule = LoadLibraryExW(L"" FENNIK_STRING_MODULE_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    const TIME_ZONE_INFORMATION kolkata{-330}, berlin{-60, {}, {0, 10, 0, 5, 3}, 0, {}, {0, 3, 0, 5, 2}, -60};
    const struct { DeviceReminder which; SYSTEMTIME expiry, now; const TIME_ZONE_INFORMATION& zone; const wchar_t* says; } rows[] = {
        {ExpiringShown, At(2008, 1, 1, 6), At(2007, 12, 31, 19), kolkata, L"device expires at 11:30. Connect"},
        {ExpiringShown, At(2008, 1, 1, 20), At(2008, 1, 1, 12), kolkata, L"device expires on 2008/01/02 at 01:30. Connect"},
        {ExpiringShown, At(2008, 10, 26, 6), At(2008, 10, 25, 21), berlin, L"device expires on 2008/10/26 at 07:00. Connect"},
        {ExpiredShown, At(2008, 10, 26, 6), At(2008, 10, 26, 22, 59), berlin, L"device expired at 07:00. Connect"},
        {ExpiredShown, At(2008, 10, 26, 6), At(2008, 10, 26, 23), berlin, L"device expired on 2008/10/26 at 07:00. Connect"},
    };
    for (const auto& r : rows) {
        wchar_t text[kTextChars] = {};
        ReminderText(r.which, r.expiry, r.now, &r.zone, text);
        EXPECT_NE(std::wstring(text).find(r.says), std::wstring::npos) << Show(text);
    }
    ReleaseStringModule();
}

}  // namespace
