// Days of a user's life under a clock the test moves (libfaketime, for this suite and the program it starts): a device
// plugged in, taken away, plugged in without a network, left attached, re-plugged during the program's own refresh;
// copied in Berlin, on in New York ten hours before the data expires, then in Kolkata. The device's data may be
// expired only while the device is away.
#include "roads.h"

namespace {

class Days : public Road {
protected:
    // The wall clock `seconds` ahead of the real one, for the test and the program alike.
    static bool MoveClock(long long seconds) {
        const std::string offset = (seconds < 0 ? "" : "+") + std::to_string(seconds) + "\n";
        const std::wstring file = WindowsPath(FENNIK_FAKETIME_FILE);
        return WriteFileBytes(file + L".new", Bytes(offset.begin(), offset.end())) &&
               MoveFileExW((file + L".new").c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    void TearDown() override {
        Road::TearDown();
        MoveClock(0);
    }
    // The settings file, once the program does not hold it.
    std::wstring Settings() const {
        std::wstring text;
        PumpUntil([&] { return !(text = FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini")))).empty(); });
        return text;
    }
    // The reminder `id` of data expiring at `at`, as the user reads it `today` (the same clock); the day, unless today.
    std::wstring Reminder(UINT id, const std::wstring& at, const std::wstring& today) const {
        const bool day = at.substr(0, 10) != today.substr(0, 10);
        std::wstring text = Str(!day ? id : id == IDS_REMINDER_EXPIRED ? IDS_REMINDER_EXPIRED_ON : IDS_REMINDER_EXPIRING_ON);
        if (day) text.replace(text.find(L"%s"), 2, at.substr(0, 10));
        return text.replace(text.find(L"%s"), 2, at.substr(11, 5));
    }
    // The clock of a zone `minutes` east of UTC, now.
    static std::wstring Clock(int minutes) {
        SYSTEMTIME utc{};
        return GetSystemTime(&utc), Stamp(utc, minutes);
    }
    // A time that a clock showed.
    static SYSTEMTIME Parsed(const std::wstring& stamp) {
        SYSTEMTIME t{};
        return swscanf(stamp.c_str(), L"%hu/%hu/%hu\t%hu:%hu", &t.wYear, &t.wMonth, &t.wDay, &t.wHour, &t.wMinute), t;
    }
};

TEST_F(Days, TheDeviceIsExpiredOnlyWhileItIsAway) {
    enum Do { Start, Unplug, Timer, Resume, ResumeOffline, TimeChange, Restart, PlugOffline, ReplugDuringRefresh, CancelRefresh, AutoOff, ClockBack };
    const struct {
        long long hour;
        Do act;
        int requests;  // at the server, by this step (a closed port sees none)
        UINT box;      // the result the user is shown, 0: none
        long long deviceData;  // the hour of the download on the device
        UINT balloon;  // a reminder that comes now
    } steps[] = {
        {0, Start, 1, IDS_MSG_COPY_DONE, 0, 0}, {1, Unplug, 1, 0, 0, 0}, {24, Timer, 2, 0, 0, 0}, {48, Resume, 3, 0, 0, 0},
        {62, Restart, 3, 0, 0, IDS_REMINDER_EXPIRING}, {72, Timer, 3, 0, 0, IDS_REMINDER_EXPIRED},  // Berlin's download: 18 hours old
        {73, Restart, 4, 0, 0, 0}, {96, PlugOffline, 4, IDS_MSG_COPY_DONE, 73, 0}, {97, Timer, 5, 0, 97, 0}, {121, ResumeOffline, 6, 0, 121, 0},  // the network back 1.5 s after the wake
        {145, ReplugDuringRefresh, 7, IDS_MSG_COPY_DONE, 145, 0}, {169, CancelRefresh, 9, IDS_MSG_CANCELLED, 169, 0},
        {170, AutoOff, 9, 0, 169, 0}, {229, TimeChange, 9, 0, 169, 0},  // attached: no reminder
        {230, Unplug, 9, 0, 169, IDS_REMINDER_EXPIRING}, {241, Timer, 9, 0, 169, IDS_REMINDER_EXPIRED},
        {242, ClockBack, 10, 0, 169, 0},
    };
    // Where the user is at each start (a program takes its zone when it starts), minutes east of UTC.
    const struct { long long start; const wchar_t* zone; int minutes; } zones[] = {
        {0, L"Europe\\Berlin", 60}, {62, L"America\\New_York", -300}, {73, L"Asia\\Kolkata", 330}};
    ASSERT_TRUE(MoveClock(0) && SetSimulatedDevice(L'E', kAccepted));
    const long long start = 1925456400 - _time64(nullptr);  // 6 January 2031, 09:00 UTC: a winter week, no clock moves
    bool attached = true;
    long long expiredAway = 0, expiredAttached = 0, lastHour = 0, lastData = 0, local = 0;
    int zone = 0, copiedIn = 0;
    SYSTEMTIME deviceExpiry{};  // on the clock it was copied by
    std::wstring balloons;
    for (const auto& step : steps) {
        SCOPED_TRACE("hour " + std::to_string(step.hour));
        // Hours of the step before: the device's data past its expiry, attached or away.
        (attached ? expiredAttached : expiredAway) += std::max(0LL, step.hour - std::max(lastHour, lastData + 72));
        const std::string served = "20000 " + std::to_string(step.hour);
        ASSERT_TRUE(SetServerMode(step.act == PlugOffline || step.act == ResumeOffline ? "refuse" : step.act == ReplugDuringRefresh || step.act == CancelRefresh
                                      ? "slowbody " + served + " 1500 1500" : "file " + served));
        ASSERT_TRUE(MoveClock(start + 3600 * (step.act == ClockBack ? step.hour - 144 : step.hour)));
        for (const auto& z : zones)
            if (z.start == step.hour) {
                zone = z.minutes;
                ASSERT_TRUE(CopyFileW((L"Z:\\usr\\share\\zoneinfo\\" + std::wstring(z.zone)).c_str(), WindowsPath(FENNIK_ZONE_FILE).c_str(), FALSE));
            }
        const HWND window = FindWindowW(kMainWindowClass, nullptr);
        ULONGLONG moved = GetTickCount64();
        const int requestsBefore = ServerRequests();
        switch (step.act) {
        case Start: ASSERT_TRUE(Launch()); break;
        case Unplug: ASSERT_TRUE(app.Unplug(L'E')); attached = false; break;
        case Restart: ASSERT_TRUE(app.Start() && app.WaitForDialog()); break;
        case PlugOffline: ASSERT_TRUE(app.Plug(L'E')); attached = true; break;
        case Resume: case ResumeOffline:
            for (HWND w : {window, app.Dialog()}) PostMessageW(w, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
            if (step.act == ResumeOffline && (PumpUntil([] { return false; }, 1500), true)) {
                ASSERT_TRUE(SetServerMode("file " + served));
                moved = GetTickCount64();  // soon after the network's return, well before the next timed look
            }
            break;
        case ClockBack: app.Click(IDC_AUTO_UPDATE); [[fallthrough]];
        case TimeChange: for (HWND w : {window, app.Dialog()}) PostMessageW(w, WM_TIMECHANGE, 0, 0); break;
        case ReplugDuringRefresh: case CancelRefresh:  // the program's own download has begun
            PostMessageW(window, WM_TIMECHANGE, 0, 0);
            ASSERT_TRUE(PumpUntil([&] { return ServerRequests() > requestsBefore; }));
            EXPECT_TRUE(app.Text(IDC_UPDATE) == Str(IDS_BTN_CANCEL) && !app.Visible() && MenuIs(false, false)) << "the refresh";
            if (step.act == ReplugDuringRefresh) {
                ASSERT_TRUE(app.Unplug(L'E') && app.Plug(L'E'));
            } else {
                ASSERT_TRUE(app.TrayDoubleClick());
                app.Click(IDC_UPDATE);
            }
            break;
        case AutoOff: app.Click(IDC_AUTO_UPDATE); break;
        default: break;
        }
        if (step.box) {
            EXPECT_TRUE(AnswerBox(step.box, step.box == IDS_MSG_COPY_DONE ? IDS_COPY_DONE : IDS_CAPTION_WARNING));
            EXPECT_TRUE(app.Visible()) << "the user's result out of sight";
            // Hidden from the tray once the box has let go of its owner (Wine may bring an owner back as a box ends).
            EXPECT_TRUE(PumpUntil([&] { return app.TrayCommand(IDM_TRAY_HIDE), app.Flush() && !app.Visible(); }, 5000));
        }
        // The step's outcome: within a second of a broadcast, at the next tick of the timer otherwise.
        const DWORD within = step.act == Resume || step.act == TimeChange || step.act == ClockBack ? 1500
                             : step.act == ResumeOffline ? 5000 : 15000;
        std::wstring reminder;
        EXPECT_TRUE(PumpUntil([&] {
            reminder = step.balloon ? Reminder(step.balloon, Stamp(deviceExpiry, zone - copiedIn), Clock(zone)) : L"";
            return ServerRequests() == step.requests && app.Text(IDC_UPDATE) == Str(IDS_BTN_UPDATE) && app.Flush() &&
                   (reminder.empty() || Balloons(app).ends_with(reminder));
        }, within)) << ServerRequests() << " requests, balloons " << Show(Balloons(app)) << " after " << GetTickCount64() - moved << " ms";
        if (step.act == AutoOff || step.act == Restart) PumpUntil([] { return false; }, 9000);  // a look's time: nothing comes
        ASSERT_TRUE(app.Flush());
        EXPECT_EQ(app.Boxes(), 0) << "a box for the program's own refresh";
        EXPECT_FALSE(app.Visible()) << "the program's own refresh brought the dialog";
        EXPECT_EQ(ServerRequests(), step.requests);
        balloons += reminder.empty() ? L"" : (balloons.empty() ? L"" : L" | ") + reminder;
        EXPECT_EQ(Balloons(app), balloons);
        EXPECT_TRUE(ReadFileBytes(DeviceFile(L'E')) == ServedBody(20000, unsigned(step.deviceData)))
            << "the device's data is not of hour " << step.deviceData;
        // The local file and its stored time: the latest download that came.
        local = ServerRequests() > requestsBefore && step.act != PlugOffline ? step.hour : local;
        EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == ServedBody(20000, unsigned(local))) << "not of hour " << local;
        const std::wstring downloaded = Settings().substr(17, 16);
        EXPECT_EQ(app.Text(IDC_DOWNLOAD_TIME), downloaded);
        EXPECT_TRUE(local != step.hour || downloaded.substr(0, 13) == Clock(zone).substr(0, 13)) << Show(downloaded);
        // The window shows the expiry of the device's data, not of a refresh made while it was away.
        if (step.act == Start || step.deviceData != lastData) deviceExpiry = Parsed(Settings().substr(50, 16)), copiedIn = zone;
        EXPECT_EQ(app.Text(IDC_EXPIRE_TIME), Stamp(deviceExpiry, zone - copiedIn));
        lastHour = step.hour, lastData = step.deviceData;
    }
    // Before the program looked after itself: 98 hours, 62 of them attached (96 to the re-plug at 145, 217 to 230).
    printf("the device's data was expired %lld hours while away, %lld hours while attached\n", expiredAway, expiredAttached);
    EXPECT_EQ(expiredAttached, 0);
    EXPECT_EQ(expiredAway, 25);
}

// Looks that must not download: broadcasts soon after a failure, any look after a refresh the settings file could
// not take (another program holds it), a look while the exit question is open.
TEST_F(Days, LooksThatMustNotDownload) {
    ASSERT_TRUE(MoveClock(0) && SetServerMode("status 500") && Launch());
    const HWND window = FindWindowW(kMainWindowClass, nullptr);
    const auto looks = [&](int requests, bool asking = false) {  // once no worker runs, three clock changes; then what reached the server
        if (!asking && !MenuIs(false, true)) return false;
        for (int i = 0; i < 3; ++i) PostMessageW(window, WM_TIMECHANGE, 0, 0);
        return app.Flush() && PumpUntil([&] { return app.Text(IDC_UPDATE) == Str(IDS_BTN_UPDATE); }) && app.Flush() && ServerRequests() == requests;
    };
    const auto status = [&](int requests, UINT id, const wchar_t* tail) {
        return PumpUntil([&] { return ServerRequests() == requests && app.Text(IDC_STATUS) == Str(id) + tail; });
    };
    ASSERT_TRUE(status(1, IDS_DOWNLOAD_FAILED, L"..."));
    EXPECT_TRUE(looks(1)) << ServerRequests() << " requests: a failure retried at every broadcast";
    EXPECT_TRUE(SetServerMode("file 20000 42") && status(2, IDS_DOWNLOAD_DONE, L"...\t100%")) << "the timed look did not retry";
    ScopedFile held;  // taken once the program lets go of it
    const auto hold = [&] { return held.Reset(CreateFileW(app.File(L"Kelva_config.ini").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)), held.IsValid(); };
    ASSERT_TRUE(PumpUntil(hold) && MoveClock(25 * 3600) && PostMessageW(window, WM_TIMECHANGE, 0, 0));
    EXPECT_TRUE(status(3, IDS_DOWNLOAD_DONE, L"...\t100%")) << "no refresh a day later";
    EXPECT_TRUE(looks(3)) << ServerRequests() << " requests: the refresh repeated since its time was not stored";
    held.Reset();
    const std::wstring log = FromUtf16(ReadFileBytes(app.File(L"Kelva_log.txt")));
    EXPECT_TRUE(std::regex_match(log, std::wregex(L"[^\t]+\tNot stored:\tthe download time in Kelva_config\\.ini\r\n"))) << Show(log);
    app.TrayCommand(IDM_TRAY_EXIT);
    ASSERT_TRUE(PumpUntil([&] { return app.Boxes() == 1; }) && MoveClock(50 * 3600));
    EXPECT_TRUE(looks(3, true)) << "a refresh while the exit question is open";
    EXPECT_TRUE(AnswerBox(IDS_CONFIRM_EXIT, IDS_CAPTION_WARNING, IDCANCEL));
}

}  // namespace
