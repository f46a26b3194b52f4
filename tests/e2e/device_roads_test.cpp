// The device's roads: a device attached at start and plugged in again, the German program, a device that cannot take
// the file, the refused model, the check boxes, a decoded answer past a scanner's locks.
#include "roads.h"

namespace {

class DeviceRoad : public Road {};

TEST_F(DeviceRoad, DeviceAttachedAtStartUpGetsTheDownload) {
    // One device with two volumes: the file goes to the first, past a
    // temporary that an earlier, interrupted copy left there.
    ASSERT_TRUE(SetSimulatedDevice(L'F', kAccepted) && SetSimulatedDevice(L'E', kAccepted) &&
                WriteFileBytes(L"E:\\Ephemeris.ee.new", kEarlier));
    const std::wstring earlierLog = L"11/02  10:00.00::000\tDownload to:\tE:\\Ephemeris.ee\r\n";
    const SYSTEMTIME before = Now();
    ASSERT_TRUE(Launch({{}, {}, earlierLog}));
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    const SYSTEMTIME after = Now();
    EXPECT_TRUE(app.Visible()) << "the dialog did not come up for the device";

    EXPECT_EQ(ServerRequests(), 1);
    EXPECT_TRUE(ServerLog().ends_with("| no-cache no-cache\n")) << "asked caches on the way for: " << ServerLog();
    DWORD cached = 0;
    EXPECT_TRUE(!GetUrlCacheEntryInfoW(kDownloadUrl, nullptr, &cached) && GetLastError() == ERROR_FILE_NOT_FOUND)
        << "the answer stayed in the internet cache, error " << GetLastError();
    EXPECT_TRUE(ReadFileBytes(DeviceFile(L'E')) == kServed) << "device file of " << ReadFileBytes(DeviceFile(L'E')).size();
    EXPECT_FALSE(FileExists(DeviceFile(L'F'))) << "the second volume got the file";
    EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == kServed);
    EXPECT_FALSE(FileExists(app.File(L"packedEphemeris.ee")));
    EXPECT_FALSE(FileExists(L"E:\\Ephemeris.ee.new"));
    EXPECT_EQ(app.Ask(IDC_PROGRESS, PBM_GETPOS), 100);
    // Texts, tooltips, menu and tray record: the German road below.
    EXPECT_EQ(app.Caption(), Str(IDS_APP_TITLE));

    // Download time, expiry three days later, update time: in that order,
    // UTF-16 without byte order mark, local time, and as the dialog shows them;
    // after the four sections older versions know, the device's expiry in UTC (5:30 behind Kolkata), no reminder shown.
    const std::wstring settings = FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini")));
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(settings, m, std::wregex(L"\\[DOWNLOAD TIME\\]\r\n(.{16})\r\n\\[EXPIRE TIME\\]\r\n"
                                                          L"(.{16})\r\n\\[UPDATE TIME\\]\r\n(.{16})\r\n\\[AUTO UPDATE\\]\r\n1\r\n"
                                                          L"\\[DEVICE EXPIRY\\]\r\n(.{16})Z 0\r\n")))
        << Show(settings);
    EXPECT_TRUE(StampWithin(m[1], before, after)) << Show(m[1]);
    EXPECT_TRUE(StampWithin(m[2], before, after, 3 * 24 * 60)) << Show(m[2]);
    EXPECT_TRUE(StampWithin(m[3], before, after)) << Show(m[3]);
    EXPECT_TRUE(StampWithin(m[4], before, after, 3 * 24 * 60 - 330)) << Show(m[4]);
    for (auto [field, shown] : {std::pair{1, IDC_DOWNLOAD_TIME}, {2, IDC_EXPIRE_TIME}, {3, IDC_UPDATE_TIME}})
        EXPECT_EQ(app.Text(shown), m[field].str()) << "field " << shown;

    // The earlier line stays; the new one follows it.
    wchar_t day[8];
    swprintf(day, 8, L"%02d/%02d", after.wMonth, after.wDay);
    const std::wstring log = FromUtf16(ReadFileBytes(app.File(L"Kelva_log.txt")));
    EXPECT_TRUE(std::regex_match(log, std::wregex(L"11/02  10:00\\.00::000\tDownload to:\tE:\\\\Ephemeris\\.ee\r\n" +
                                                  std::wstring(day) + L"  \\d\\d:\\d\\d\\.\\d\\d::\\d{3}\tDownload to:\t"
                                                                      L"E:\\\\Ephemeris\\.ee\r\n")))
        << Show(log);
    // Removed and plugged in again, heard by the main window alone: updated again.
    ASSERT_TRUE(app.Unplug(L'E', App::kMainWindow) && WriteFileBytes(DeviceFile(L'E'), kEarlier) &&
                app.Plug(L'E', kAccepted, App::kMainWindow));
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_TRUE(ReadFileBytes(DeviceFile(L'E')) == kServed);
}

// The German program at 150 %: its texts in German, written here as a reader expects them, and its pictures at
// the display's scale (Wine's LogPixels, read when a program starts).
TEST_F(DeviceRoad, GermanAtOneAndAHalfTimesScale) {
    static constexpr wchar_t kDesktopKey[] = L"Control Panel\\Desktop";
    struct Restore { ~Restore() { RegDeleteKeyValueW(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels"); } } restore;
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kDesktopKey, L"LogPixels", REG_DWORD, "\x90\0\0\0", 4), 0);
    ASSERT_TRUE(SetSimulatedDevice(L'E', kAccepted) && app.Prepare(L"German", {}) &&
                CopyFileW(WindowsPath(FENNIK_GERMAN_MODULE).c_str(), app.File(L"String_Table_.dll").c_str(), FALSE));
    ASSERT_TRUE(app.Start() && app.WaitForDialog());
    EXPECT_TRUE(AnswerBox(L"Ihr GPS-Gerät hat jetzt die neuesten Satellitendaten.", L"GPS-Gerät aktualisiert", MB_ICONINFORMATION));
    EXPECT_EQ(app.Text(IDC_STATUS), L"GPS-Gerät aktualisiert...");
    EXPECT_EQ(app.Tips(), L"Herunterladen... | GPS-Gerät wird aktualisiert... | GPS Fennik");
    EXPECT_TRUE(PumpUntil([&] { return app.Menu() == L"Ausblenden (default) | - | Jetzt aktualisieren | - | Beenden"; }));
    for (auto [control, text] : {std::pair{IDC_DOWNLOAD_LABEL, L"GPS-Daten heruntergeladen am"}, {IDC_UPDATE_LABEL, L"GPS-Daten aktualisiert am"},
                                 {IDC_EXPIRE_LABEL, L"GPS-Daten gültig bis"}, {IDC_AUTO_UPDATE, L"Bei Anschluss automatisch aktualisieren"},
                                 {IDC_STARTUP, L"Beim Start von Windows ausführen"}, {IDC_UPDATE, L"Aktualisieren"}, {IDC_CLOSE, L"Schließen"}})
        EXPECT_EQ(app.Text(control), text) << "control " << control;
    ASSERT_TRUE(app.Unplug(L'E') && SetServerMode("status 404"));
    app.Click(IDC_UPDATE);
    EXPECT_TRUE(AnswerBox(L"Die GPS-Daten konnten nicht heruntergeladen werden. Prüfen Sie die Internetverbindung und versuchen Sie es "
                          L"erneut.", L"Download fehlgeschlagen", MB_ICONWARNING));
    EXPECT_EQ(app.Text(IDC_STATUS), L"Download fehlgeschlagen...");
    // The device away with data that ran out (as an older version wrote it, on the local clock): the reminder, with the day.
    // The shell refuses it at first (busy, or the icon lost): it comes at the next look.
    ASSERT_TRUE(WriteFileBytes(app.File(L"Kelva_config.ini"), Utf16Bytes(L"[DEVICE EXPIRY]\r\n2026/01/02\t03:04 1\r\n")));
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"TrayFailures", REG_DWORD, "\1\0\0\0", 4), 0);
    for (int look = 0; look < 2; ++look) PostMessageW(FindWindowW(kMainWindowClass, nullptr), WM_TIMECHANGE, 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return Balloons(app) == L"Die Satellitendaten auf Ihrem GPS-Gerät sind am 2026/01/02 um 03:04 abgelaufen. Schließen Sie "
                                                         L"das Gerät an, um sie zu aktualisieren."; })) << Show(Balloons(app));

    // Banner, tray icon with its balloon and the standard tooltip (which version 4 hides without NIF_SHOWTIP), caption
    // icons for Alt+Tab as set (Wine answers no WM_GETICON from another process): half as large again as at 100 %.
    RECT banner{};
    EXPECT_TRUE(GetClientRect(GetWindow(app.Dialog(), GW_CHILD), &banner) && banner.right >= 590 && banner.bottom >= 158)
        << banner.right << "x" << banner.bottom;
    std::wstring calls;
    for (const auto& call : app.TrayJournal()) calls += call.starts_with(L"add") || call.starts_with(L"set") ? call.substr(call.find(L'\t')) : L"";
    // Last, the add that asks whether the shell still has the icon after the refused reminder: no balloon again.
    EXPECT_EQ(calls, L"\tGPS Fennik\tGPS Fennik\tGPS Fennik\t97\t81\t24x24\tok\t4\tok\tbig\t48x48\tsmall\t24x24"
                     L"\tGPS Fennik\t\t\t87\t81\t24x24\tfailed\t4\tok");
    app.TrayCommand(IDM_TRAY_EXIT);
    EXPECT_TRUE(AnswerBox(L"GPS Fennik beenden? Ihr GPS-Gerät wird dann nicht mehr automatisch aktualisiert.", L"GPS Fennik", MB_ICONWARNING));
}


// A device that cannot take the file (a read-only Ephemeris.ee, a folder of that name, a medium that reads back
// other bytes than were written, before or after the rename): the user is told, every attempt is logged, nothing
// claims an update, what the user keeps there stays, and no garbage is left.
TEST_F(DeviceRoad, UnwritableDeviceReportsTheFailedCopy) {
    ASSERT_TRUE(Launch());
    const std::wstring line = L"\\d\\d/\\d\\d  \\d\\d:\\d\\d\\.\\d\\d::\\d{3}\tDownload to:\tE:\\\\Ephemeris\\.ee\r\n";
    // Last, a scanner holding the new file past every retry (at its flush, at its read-back): it stays, since the
    // old one is gone.
    const struct { const char* what; DWORD readBackFault, held; const wchar_t* reason; } cases[] = {
        {"a read-only file", 0, 0, L" is read-only"}, {"a folder", 0, 0, nullptr}, {"reads back wrong", 1, 0, nullptr},
        {"reads back wrong after the rename", 2, 0, nullptr}, {"held at its flush", 0, 1, L" could not be verified"},
        {"held at its read-back", 0, 2, L" could not be verified"}};
    std::wstring lines;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring device = DeviceFile(L'E');
        const bool folder = &c == &cases[1];
        ASSERT_TRUE(app.Unplug(L'E'));
        SetFileAttributesW(device.c_str(), FILE_ATTRIBUTE_NORMAL) && DeleteFileW(device.c_str());
        RemoveDirectoryW(device.c_str());
        ASSERT_TRUE(folder ? CreateDirectoryW(device.c_str(), nullptr) : WriteFileBytes(device, kEarlier));
        ASSERT_TRUE(&c != &cases[0] || SetFileAttributesW(device.c_str(), FILE_ATTRIBUTE_READONLY));
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"ReadBackFaults", REG_DWORD, &c.readBackFault, 4), 0);
        ASSERT_TRUE(!c.held || (RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"Holds\\HoldMs", REG_DWORD, "\xB8\x0B\0\0", 4) == 0 &&
                                RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"Holds\\Ephemeris.ee", REG_DWORD, &c.held, 4) == 0));
        ASSERT_TRUE(app.Plug(L'E', kAccepted, App::kMainWindow));  // Windows may spare the owned dialog
        EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_FAILED, IDS_COPY_FAILED));
        EXPECT_EQ(app.Text(IDC_STATUS), Str(IDS_COPY_FAILED) + L"...");
        EXPECT_TRUE(app.Ask(IDC_PROGRESS, PBM_GETPOS) == 0 && app.Enabled(IDC_UPDATE) && app.Text(IDC_UPDATE_TIME).empty());
        EXPECT_EQ(FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini"))).find(L"[UPDATE TIME]"), std::wstring::npos);
        const Bytes kept = c.held ? kServed : c.readBackFault == 2 ? Bytes{} : kEarlier;
        EXPECT_TRUE(folder || PumpUntil([&] { return ReadFileBytes(device) == kept; })) << "device file of " << ReadFileBytes(device).size();
        EXPECT_FALSE(FileExists(L"E:\\Ephemeris.ee.new"));
        const std::wstring log = FromUtf16(ReadFileBytes(app.File(L"Kelva_log.txt")));
        lines += line + (c.reason ? line.substr(0, line.find(L"Download")) + L"Not copied:\tE:\\\\Ephemeris\\.ee" + c.reason + L"\r\n" : L"");
        EXPECT_TRUE(std::regex_match(log, std::wregex(lines))) << Show(log);
        EXPECT_TRUE(app.Tips().ends_with(Str(IDS_TIP_COPYING) + L"... | " + Str(IDS_APP_TITLE))) << Show(app.Tips());
    }
    RemoveDirectoryW(DeviceFile(L'E').c_str());
}

TEST_F(DeviceRoad, RefusedModelIsRefusedUntilTheNextDevice) {
    ASSERT_TRUE(Launch(Fresh()));
    ASSERT_TRUE(app.Plug(L'F', kRefused, App::kMainWindow | App::kDialog));  // heard by both windows
    ASSERT_TRUE(PumpUntil([&] { return app.Box() != nullptr; }) && app.Flush());
    EXPECT_EQ(app.Boxes(), 1);
    EXPECT_TRUE(AnswerBox(IDS_MSG_DEVICE_REFUSED, IDS_CAPTION_WARNING));
    EXPECT_TRUE(app.Visible());
    app.Click(IDC_UPDATE);
    EXPECT_TRUE(AnswerBox(IDS_MSG_DEVICE_REFUSED, IDS_CAPTION_WARNING));
    EXPECT_EQ(ServerRequests(), 0);
    EXPECT_FALSE(FileExists(DeviceFile(L'F')));
    ASSERT_TRUE(app.Unplug(L'F'));
    ASSERT_TRUE(app.Plug(L'E', kAccepted, App::kMainWindow | App::kDialog));
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_TRUE(ReadFileBytes(DeviceFile(L'E')) == kServed);
    ASSERT_TRUE(app.Flush());
    EXPECT_EQ(ServerRequests(), 1) << "heard by both windows, one arrival is one update";
}

// The two check boxes store what they show, and show only what was stored:
// where Windows refuses the machine-wide Run key, the user's key holds it; an
// entry for every user that the user may not change is greyed; a copy in the
// profile registers for its user only. Each box is clicked while the other
// shows the other state. A start switched off in Windows' start-up apps (beside
// its own Run key) shows no tick, until a tick switches it on.
TEST_F(DeviceRoad, CheckBoxesShowWhatIsStored) {
    const auto has = [](HKEY root) {
        return RegGetValueW(root, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    };
    const DWORD one = 1;
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"MachineRunKeyDenied", REG_DWORD, &one, 4), 0);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, REG_SZ, L"x", 4), 0);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kStartupApproved, kRunValue, REG_BINARY, "\3\x7a\x91\0", 4), 0);
    ASSERT_TRUE(Launch(Fresh()) && app.TrayDoubleClick());  // shown: the keyboard follows a click
    EXPECT_EQ(app.Ask(IDC_STARTUP, BM_GETCHECK), BST_UNCHECKED);
    EXPECT_EQ(app.Ask(IDC_AUTO_UPDATE, BM_GETCHECK), BST_CHECKED);
    const std::wstring programs = _wgetenv(L"LOCALAPPDATA") + std::wstring(L"\\Programs");  // where the setup installs
    enum { kSameFolder = 1, kInProfile, kMachineValue = 1, kMachineOff };  // started again; planted
    const struct {
        const char* what;
        int restart, plant, box;  // box 0: none clicked
        bool denied;
        LRESULT startup, autoUpdate;
        bool greyed, machine, user;
        const wchar_t* settings;
    } clicks[] = {
        {"tick start, machine key refused", 0, 0, IDC_STARTUP, true, BST_CHECKED, BST_CHECKED, false, false, true, L""},
        {"untick auto-update", 0, 0, IDC_AUTO_UPDATE, true, BST_CHECKED, BST_UNCHECKED, false, false, true, L"0"},
        {"tick auto-update", 0, 0, IDC_AUTO_UPDATE, true, BST_CHECKED, BST_CHECKED, false, false, true, L"1"},
        {"untick start, a machine value stays", 0, kMachineValue, IDC_STARTUP, true, BST_CHECKED, BST_CHECKED, true, true, false, L"1"},
        {"started again, machine value refused", kSameFolder, 0, 0, true, BST_CHECKED, BST_CHECKED, true, true, false, L"1"},
        {"started again, switched off for all", kSameFolder, kMachineOff, 0, false, BST_UNCHECKED, BST_CHECKED, false, true, false, L"1"},
        {"tick start, switched on for all", 0, 0, IDC_STARTUP, false, BST_CHECKED, BST_CHECKED, false, true, false, L"1"},
        {"untick start, allowed", 0, 0, IDC_STARTUP, false, BST_UNCHECKED, BST_CHECKED, false, false, false, L"1"},
        {"tick start in the profile", kInProfile, kMachineValue, IDC_STARTUP, false, BST_CHECKED, BST_CHECKED, false, false, true, L""},
    };
    for (const auto& c : clicks) {
        if (c.plant == kMachineOff) RegSetKeyValueW(HKEY_LOCAL_MACHINE, kStartupApproved, kRunValue, REG_BINARY, "\3\x7a\x91\0", 4);
        if (!c.denied) RegDeleteTreeW(HKEY_CURRENT_USER, kSimulationKey);
        CreateDirectoryW(programs.c_str(), nullptr);
        ASSERT_TRUE(!c.restart || ((c.restart == kSameFolder || app.Prepare(programs + L"\\FennikE2E", Fresh())) && app.Start() && app.WaitForDialog()));
        if (c.plant == kMachineValue) RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, REG_SZ, L"x", 4);  // unseen until a click
        if (c.box) app.Click(c.box);
        ASSERT_TRUE(app.Flush());
        EXPECT_TRUE(app.Ask(IDC_STARTUP, BM_GETCHECK) == c.startup && app.Ask(IDC_AUTO_UPDATE, BM_GETCHECK) == c.autoUpdate)
            << c.what << ": start " << app.Ask(IDC_STARTUP, BM_GETCHECK) << ", auto " << app.Ask(IDC_AUTO_UPDATE, BM_GETCHECK);
        EXPECT_TRUE(has(HKEY_LOCAL_MACHINE) == c.machine && has(HKEY_CURRENT_USER) == c.user && app.Enabled(IDC_STARTUP) != c.greyed &&
                    (!c.greyed || !c.box || app.Focus() == IDC_CLOSE)) << c.what << ", focus " << app.Focus();
        EXPECT_EQ(FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini"))).substr(35),
                  *c.settings ? L"[AUTO UPDATE]\r\n" + std::wstring(c.settings) + L"\r\n" : L"")
            << c.what;
    }
}

// A gzip answer with a length reaches the device decoded, past a scanner's short locks; an Exit meanwhile waits
// for the copy, so the device and the settings are never cut in half.
TEST_F(DeviceRoad, DecodedAnswerOutlastsShortLocksAndExit) {
    ASSERT_TRUE(SetServerMode("gzip 20000 42") && Launch(Earlier(2880)) && WriteFileBytes(DeviceFile(L'E'), kEarlier));
    // Also held by a scanner: the download before its flush, the device's new file before its read-back.
    for (auto [file, times] : {std::pair{L"Holds\\packedEphemeris.ee", "\1\0\0\0"}, {L"Holds\\Ephemeris.ee", "\2\0\0\0"}})
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, file, REG_DWORD, times, 4), 0);
    const std::wstring held[] = {app.File(L"Ephemeris.ee"), DeviceFile(L'E')},
                       renamed[] = {app.File(L"packedEphemeris.ee"), L"E:\\Ephemeris.ee.new"};
    ScopedFile holds[2];
    for (int i = 0; i < 2; ++i) holds[i].Reset(CreateFileW(held[i].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holds[0] && holds[1] && app.Plug(L'E'));
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(PumpUntil([&] { return ReadFileBytes(renamed[i]) == kServed; })) << Show(renamed[i]);
        if (i == 1) PostMessageW(FindWindowW(kMainWindowClass, nullptr), WM_CLOSE, 0, 0);
        Sleep(500);  // the scanner's moment, while the program tries to rename over the held file
        holds[i].Reset();
    }
    DWORD code = 1;
    EXPECT_TRUE(app.WaitForExit(5000, &code) && code == 0) << "exit code " << code;
    for (const std::wstring& f : held) EXPECT_TRUE(ReadFileBytes(f) == kServed) << Show(f);
    EXPECT_FALSE(FileExists(renamed[1]));
    EXPECT_NE(FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini"))).find(L"[UPDATE TIME]"), std::wstring::npos);
}

// Days of a user's life under a clock the test moves (libfaketime, for this suite and the program it starts): a device
// plugged in, taken away, plugged in without a network, left attached, re-plugged during the program's own refresh.

}  // namespace
