// When the program refreshes its data by itself, and which reminder of the device's data is due.
#include <gtest/gtest.h>

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

}  // namespace
