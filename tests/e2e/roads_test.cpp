// The roads a user takes, with the real program: updates with and without a device, servers that fail, a cancel,
// a device that cannot be written, the refused model, the check boxes, ending the program, a second start, a
// shell that loses the icon, planted files.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "app_driver.h"
#include <shellapi.h>
#include "base/scoped_win.h"
#include "resources/resource.h"
#include "shell/string_ids.h"

namespace {

const Bytes kServed = ServedBody(20000, 42);  // the server's default answer
const Bytes kEarlier = ServedBody(12345, 99);  // a local file from an earlier download

SYSTEMTIME Now() {
    SYSTEMTIME t{};
    return GetLocalTime(&t), t;
}

// An earlier download expiring `minutes` from now; auto-update as given.
RunFiles Earlier(long long minutes, bool autoUpdate = true) {
    const SYSTEMTIME now = Now();
    return {L"[DOWNLOAD TIME]\r\n" + Stamp(now, minutes - 3 * 24 * 60) + L"\r\n[EXPIRE TIME]\r\n" +
                Stamp(now, minutes) + L"\r\n" + (autoUpdate ? L"" : L"[AUTO UPDATE]\r\n0\r\n"),
            kEarlier, {}};
}

// The tray menu as the journal shows it.
std::wstring Menu(const AppTest& t, bool visible, bool updateAllowed) {
    return t.Str(visible ? IDS_MENU_HIDE : IDS_MENU_SHOW) + L" | - | " + t.Str(IDS_MENU_UPDATE) +
           (updateAllowed ? L"" : L" (grayed)") + L" | - | " + t.Str(IDS_MENU_EXIT);
}

// `text` is the stamp of a minute from `before` to `after`, moved by `shift`.
bool StampWithin(const std::wstring& text, const SYSTEMTIME& before, const SYSTEMTIME& after, long long shift = 0) {
    for (long long m = -1; m <= 2; ++m)
        if (text == Stamp(before, shift + m) && Stamp(before, shift + m) <= Stamp(after, shift)) return true;
    return false;
}

class Road : public AppTest {
protected:
    // The tray menu, once it shows the dialog's visibility and the Update
    // item's state (a worker may still be letting go of its handle).
    ::testing::AssertionResult MenuIs(bool visible, bool updateAllowed) {
        const std::wstring expected = Menu(*this, visible, updateAllowed);
        std::wstring shown;
        if (PumpUntil([&] { return (shown = app.Menu()) == expected; }, 3000)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "menu " << Show(shown) << ", expected " << Show(expected);
    }
};

TEST_F(Road, DeviceAttachedAtStartUpGetsTheDownload) {
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
    EXPECT_TRUE(ReadFileBytes(DeviceFile(L'E')) == kServed) << "device file of " << ReadFileBytes(DeviceFile(L'E')).size();
    EXPECT_FALSE(FileExists(DeviceFile(L'F'))) << "the second volume got the file";
    EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == kServed);
    EXPECT_FALSE(FileExists(app.File(L"packedEphemeris.ee")));
    EXPECT_FALSE(FileExists(L"E:\\Ephemeris.ee.new"));
    EXPECT_EQ(app.Text(IDC_STATUS), Str(IDS_COPY_DONE) + L"...");
    EXPECT_EQ(app.Ask(IDC_PROGRESS, PBM_GETPOS), 100);

    // Window, balloon, tooltips on the way, and the menu at the end.
    const std::wstring title = Str(IDS_APP_TITLE);
    EXPECT_EQ(app.Caption(), title);
    const auto journal = app.TrayJournal();
    EXPECT_TRUE(!journal.empty() && journal[0].starts_with(L"add\t" + title + L"\t" + title + L"\t" + title + L"\t"))
        << "the icon and its balloon: " << Show(journal.empty() ? L"" : journal[0]);
    EXPECT_EQ(app.Tips(), Str(IDS_STATUS_DOWNLOADING) + L"... | " + Str(IDS_TIP_COPYING) + L"... | " + title);
    EXPECT_TRUE(MenuIs(true, true));
    for (auto [control, text] : {std::pair{IDC_DOWNLOAD_LABEL, IDS_LABEL_DOWNLOADED}, {IDC_UPDATE_LABEL, IDS_LABEL_UPDATED},
                                 {IDC_EXPIRE_LABEL, IDS_LABEL_EXPIRES}, {IDC_AUTO_UPDATE, IDS_CHK_AUTO_UPDATE},
                                 {IDC_STARTUP, IDS_CHK_STARTUP}, {IDC_UPDATE, IDS_BTN_UPDATE}, {IDC_CLOSE, IDS_BTN_CLOSE}})
        EXPECT_EQ(app.Text(control), Str(text)) << "control " << control;

    // Download time, expiry three days later, update time: in that order,
    // UTF-16 without byte order mark, local time, and as the dialog shows them.
    const std::wstring settings = FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini")));
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(settings, m, std::wregex(L"\\[DOWNLOAD TIME\\]\r\n(.{16})\r\n\\[EXPIRE TIME\\]\r\n"
                                                          L"(.{16})\r\n\\[UPDATE TIME\\]\r\n(.{16})\r\n")))
        << Show(settings);
    EXPECT_TRUE(StampWithin(m[1], before, after)) << Show(m[1]);
    EXPECT_TRUE(StampWithin(m[2], before, after, 3 * 24 * 60)) << Show(m[2]);
    EXPECT_TRUE(StampWithin(m[3], before, after)) << Show(m[3]);
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
}

// The server fails while an earlier download is on disk and the device is
// plugged in (auto-update on). Only when no answer came at all may the
// unexpired local file go to the device; nothing else changes.
struct Failure {
    const char* mode;
    long long expiresInMinutes;
    UINT box, caption;
};

void PrintTo(const Failure& f, std::ostream* os) { *os << f.mode << ", expiring in " << f.expiresInMinutes << " min"; }
class ServerFailure : public AppTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(ServerFailure, LeavesTheLocalFileAndTellsTheUser) {
    const Failure& row = GetParam();
    ASSERT_TRUE(SetServerMode(row.mode));
    const RunFiles files = Earlier(row.expiresInMinutes);
    ASSERT_TRUE(Launch(files));
    // What a restart shows of the earlier download, kept through the failure.
    const std::wstring downloaded = files.settings->substr(17, 16), expires = files.settings->substr(50, 16);
    const auto times = [&] { return Show(app.Text(IDC_DOWNLOAD_TIME) + L"|" + app.Text(IDC_EXPIRE_TIME) + L"|" + app.Text(IDC_UPDATE_TIME)); };
    EXPECT_EQ(times(), Show(downloaded + L"|" + expires + L"|"));
    ASSERT_TRUE(app.Plug(L'E'));
    EXPECT_TRUE(AnswerBox(row.box, row.caption));
    EXPECT_EQ(app.Text(IDC_STATUS), Str(row.caption) + L"...");
    EXPECT_EQ(app.Ask(IDC_PROGRESS, PBM_GETPOS), row.box == IDS_MSG_COPY_DONE ? 100 : 0);
    if (row.box != IDS_MSG_COPY_DONE) {
        EXPECT_EQ(times(), Show(downloaded + L"|" + expires + L"|"));
    }
    EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == kEarlier) << "the local file changed";
    EXPECT_FALSE(FileExists(app.File(L"packedEphemeris.ee")));
    const bool copied = row.box == IDS_MSG_COPY_DONE;
    EXPECT_EQ(ReadFileBytes(DeviceFile(L'E')), copied ? kEarlier : Bytes{});
    const std::wstring settings = FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini")));
    EXPECT_EQ(settings.substr(0, files.settings->size()), *files.settings) << "download times changed";
    EXPECT_EQ(settings.size() > files.settings->size(), copied) << Show(settings);
}

constexpr Failure Fails(const char* mode, long long expiresInMinutes = 2880) {
    return {mode, expiresInMinutes, IDS_MSG_DOWNLOAD_FAILED, IDS_DOWNLOAD_FAILED};
}
INSTANTIATE_TEST_SUITE_P(Answers, ServerFailure,
                         ::testing::Values(Fails("status 404"), Fails("status 500 20000 42"), Fails("empty"),
                                           Fails("cut 65536 6"), Fails("page 200"), Fails("redirect"), Fails("page 404"),
                                           Fails("page 503"), Failure{"refuse", 2880, IDS_MSG_COPY_DONE, IDS_COPY_DONE},
                                           Fails("refuse", -60),
                                           Fails("refuse", -364 * 1440)));  // a year ago, on a later day than today

TEST_F(Road, CancelWhileReceivingLeavesEverythingAsItWasThenTheTrayUpdates) {
    ASSERT_TRUE(SetServerMode("slowbody 1048576 5 40 1500"));  // headers after 1.5 s, then 100 KiB/s
    const RunFiles files = Earlier(2880, false);
    ASSERT_TRUE(Launch(files));
    ASSERT_TRUE(app.Plug(L'E'));
    EXPECT_TRUE(MenuIs(false, true));
    app.Click(IDC_UPDATE);
    ASSERT_TRUE(PumpUntil([&] { return app.Text(IDC_UPDATE) == Str(IDS_BTN_CANCEL); }));
    EXPECT_EQ(app.Text(IDC_STATUS), Str(IDS_STATUS_STARTING) + L"...");
    EXPECT_TRUE(MenuIs(false, false));

    // While data arrives the bar moves, and the status line animates and
    // shows the percentage.
    const std::wstring receiving = Str(IDS_STATUS_DOWNLOADING);
    std::set<std::wstring> frames;
    std::wstring percent;
    LRESULT first = -1, last = -1;
    EXPECT_TRUE(PumpUntil([&] {
        const std::wstring status = app.Text(IDC_STATUS);
        const LRESULT bar = app.Ask(IDC_PROGRESS, PBM_GETPOS);
        if (status.rfind(receiving, 0) != 0) return false;
        const size_t tab = status.find(L'\t');
        frames.insert(status.substr(receiving.size(), tab - std::min(tab, receiving.size())));
        if (tab != std::wstring::npos) percent = status.substr(tab);
        last = bar;
        if (first < 0) first = bar;
        return frames.size() >= 3 && !percent.empty() && last > first;
    })) << frames.size() << " animation frames, percentage " << Show(percent) << ", bar from " << first << " to " << last;
    EXPECT_TRUE(std::regex_match(percent, std::wregex(L"\t[1-9][0-9]?%"))) << Show(percent);

    app.Click(IDC_UPDATE);
    EXPECT_TRUE(AnswerBox(IDS_MSG_CANCELLED, IDS_CAPTION_WARNING));
    EXPECT_EQ(app.Text(IDC_STATUS), L"");
    EXPECT_EQ(app.Text(IDC_UPDATE), Str(IDS_BTN_UPDATE));
    EXPECT_TRUE(app.Enabled(IDC_UPDATE));
    EXPECT_EQ(app.Ask(IDC_PROGRESS, PBM_GETPOS), 0);
    EXPECT_EQ(app.Tips(), receiving + L"... | " + Str(IDS_STATUS_CANCELLING) + L"... | " + Str(IDS_APP_TITLE));
    EXPECT_TRUE(MenuIs(false, true));
    EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == kEarlier);
    EXPECT_EQ(ReadFileBytes(app.File(L"Kelva_config.ini")), Utf16Bytes(*files.settings));
    EXPECT_FALSE(FileExists(DeviceFile(L'E')));
    EXPECT_FALSE(FileExists(app.File(L"Kelva_log.txt")));

    // The device gone, the tray's Update brings the dialog and the download.
    ASSERT_TRUE(app.Unplug(L'E') && SetServerMode("file 20000 42"));
    app.TrayCommand(IDM_TRAY_UPDATE);
    ASSERT_TRUE(PumpUntil([&] { return app.Box() != nullptr; }));
    EXPECT_TRUE(MenuIs(true, false)) << "a result box is open";
    EXPECT_TRUE(AnswerBox(IDS_MSG_DOWNLOAD_DONE, IDS_DOWNLOAD_DONE));
    EXPECT_TRUE(app.Visible() && ReadFileBytes(app.File(L"Ephemeris.ee")) == kServed);
    EXPECT_EQ(app.Text(IDC_STATUS), Str(IDS_DOWNLOAD_DONE) + L"...\t100%");
    EXPECT_TRUE(app.Ask(IDC_PROGRESS, PBM_GETPOS) == 100 && app.Text(IDC_UPDATE) == Str(IDS_BTN_UPDATE));
    EXPECT_TRUE(app.Tips().ends_with(L" | " + receiving + L"... | " + Str(IDS_APP_TITLE))) << Show(app.Tips());
    EXPECT_TRUE(app.Text(IDC_UPDATE_TIME).empty() && !FileExists(app.File(L"Kelva_log.txt")));
}

// A device that cannot take the file (a read-only Ephemeris.ee, then a folder
// of that name): the user is told, every attempt is logged, nothing claims an
// update, and what the user keeps there stays.
TEST_F(Road, UnwritableDeviceReportsTheFailedCopy) {
    ASSERT_TRUE(Launch());
    const std::wstring line = L"\\d\\d/\\d\\d  \\d\\d:\\d\\d\\.\\d\\d::\\d{3}\tDownload to:\tE:\\\\Ephemeris\\.ee\r\n";
    for (const bool folder : {false, true}) {
        ASSERT_TRUE(app.Unplug(L'E') && (folder ? SetFileAttributesW(DeviceFile(L'E').c_str(), FILE_ATTRIBUTE_NORMAL) &&
                                                      DeleteFileW(DeviceFile(L'E').c_str()) &&
                                                      CreateDirectoryW(DeviceFile(L'E').c_str(), nullptr)
                                                : WriteFileBytes(DeviceFile(L'E'), kEarlier) &&
                                                      SetFileAttributesW(DeviceFile(L'E').c_str(), FILE_ATTRIBUTE_READONLY)));
        ASSERT_TRUE(app.Plug(L'E', kAccepted, App::kMainWindow));  // Windows may spare the owned dialog
        SCOPED_TRACE(folder ? "a folder" : "a read-only file");
        EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_FAILED, IDS_COPY_FAILED));
        EXPECT_EQ(app.Text(IDC_STATUS), Str(IDS_COPY_FAILED) + L"...");
        EXPECT_TRUE(app.Ask(IDC_PROGRESS, PBM_GETPOS) == 0 && app.Enabled(IDC_UPDATE) && app.Text(IDC_UPDATE_TIME).empty());
        EXPECT_EQ(FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini"))).find(L"[UPDATE TIME]"), std::wstring::npos);
        EXPECT_TRUE((folder || ReadFileBytes(DeviceFile(L'E')) == kEarlier) && !FileExists(L"E:\\Ephemeris.ee.new"));
        const std::wstring log = FromUtf16(ReadFileBytes(app.File(L"Kelva_log.txt")));
        EXPECT_TRUE(std::regex_match(log, std::wregex(folder ? line + line : line))) << Show(log);
        EXPECT_TRUE(app.Tips().ends_with(Str(IDS_TIP_COPYING) + L"... | " + Str(IDS_APP_TITLE))) << Show(app.Tips());
    }
    RemoveDirectoryW(DeviceFile(L'E').c_str());
}

TEST_F(Road, RefusedModelIsRefusedUntilTheNextDevice) {
    ASSERT_TRUE(Launch());
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
TEST_F(Road, CheckBoxesShowWhatIsStored) {
    const auto has = [](HKEY root) {
        return RegGetValueW(root, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    };
    const DWORD one = 1;
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"MachineRunKeyDenied", REG_DWORD, &one, 4), 0);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, REG_SZ, L"x", 4), 0);
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kStartupApproved, kRunValue, REG_BINARY, "\3\x7a\x91\0", 4), 0);
    ASSERT_TRUE(Launch() && app.TrayDoubleClick());  // shown: the keyboard follows a click
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
        if (c.restart) ASSERT_TRUE((c.restart == kSameFolder || app.Prepare(programs + L"\\FennikE2E", {})) && app.Start() && app.WaitForDialog());
        if (c.plant == kMachineValue) RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, REG_SZ, L"x", 4);  // unseen until a click
        if (c.box) app.Click(c.box);
        ASSERT_TRUE(app.Flush());
        EXPECT_TRUE(app.Ask(IDC_STARTUP, BM_GETCHECK) == c.startup && app.Ask(IDC_AUTO_UPDATE, BM_GETCHECK) == c.autoUpdate)
            << c.what << ": start " << app.Ask(IDC_STARTUP, BM_GETCHECK) << ", auto " << app.Ask(IDC_AUTO_UPDATE, BM_GETCHECK);
        EXPECT_TRUE(has(HKEY_LOCAL_MACHINE) == c.machine && has(HKEY_CURRENT_USER) == c.user && app.Enabled(IDC_STARTUP) != c.greyed &&
                    (!c.greyed || !c.box || app.Focus() == IDC_CLOSE)) << c.what << ", focus " << app.Focus();
        EXPECT_EQ(FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini"))),
                  *c.settings ? L"[AUTO UPDATE]\r\n" + std::wstring(c.settings) + L"\r\n" : L"")
            << c.what;
    }
}

TEST_F(Road, CloseHidesExitAsksAndWmCloseEndsEvenDuringTheSplash) {
    ASSERT_TRUE(Launch());
    // By keyboard (key 0: shown from the tray): focus starts on Update, Tab goes
    // round what takes it, Space ticks and presses, Esc hides without asking.
    const struct { WORD key; int focus; LRESULT tick; } keys[] = {{0, IDC_UPDATE, BST_CHECKED},
        {VK_TAB, IDC_AUTO_UPDATE, BST_CHECKED}, {VK_SPACE, IDC_AUTO_UPDATE, BST_UNCHECKED}, {VK_TAB, IDC_STARTUP, 0},
        {VK_TAB, IDC_CLOSE, 0}, {VK_TAB, IDC_UPDATE, 0}, {VK_ESCAPE, 0 /* hidden */, 0}, {0, IDC_UPDATE, 0},
        {VK_TAB, IDC_AUTO_UPDATE, 0}, {VK_TAB, IDC_STARTUP, 0}, {VK_TAB, IDC_CLOSE, 0}, {VK_SPACE, 0, 0}};
    for (const auto& k : keys) {
        for (UINT m : {WM_KEYDOWN, WM_KEYUP}) k.key && PostMessageW(GetDlgItem(app.Dialog(), app.Focus()), m, k.key, m - WM_KEYDOWN ? 0xC0000001 : 1);
        ASSERT_TRUE(app.Flush() && (k.key || (app.TrayDoubleClick() && app.Flush())));
        EXPECT_TRUE(app.Focus() == k.focus && app.Visible() == (k.focus != 0) && app.Ask(IDC_AUTO_UPDATE, BM_GETCHECK) == k.tick)
            << "after key " << k.key << ": focus " << app.Focus() << ", visible " << app.Visible();
    }
    PostMessageW(app.Dialog(), WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box, Alt+F4
    EXPECT_TRUE(AnswerBox(IDS_CONFIRM_EXIT, IDS_CAPTION_WARNING, IDCANCEL));
    // A second Exit while the question is open opens no second one.
    app.TrayCommand(IDM_TRAY_EXIT);
    ASSERT_TRUE(PumpUntil([&] { return app.Boxes() == 1; }));
    app.TrayCommand(IDM_TRAY_EXIT);
    EXPECT_TRUE(MenuIs(true, false)) << "the second Exit brings the dialog forward";
    EXPECT_EQ(app.Boxes(), 1);
    EXPECT_TRUE(AnswerBox(IDS_CONFIRM_EXIT, IDS_CAPTION_WARNING, IDCANCEL));
    ASSERT_TRUE(app.Flush());
    EXPECT_TRUE(app.Running());
    app.TrayCommand(IDM_TRAY_EXIT);
    EXPECT_TRUE(AnswerBox(IDS_CONFIRM_EXIT, IDS_CAPTION_WARNING, IDOK));
    DWORD code = 1;
    EXPECT_TRUE(app.WaitForExit(10000, &code));
    EXPECT_EQ(code, 0u);

    // WM_CLOSE during the splash ends it as cleanly, before any tray icon.
    ASSERT_TRUE(DeleteFileW(app.File(L"TrayJournal.txt").c_str()) && app.Start());
    ASSERT_TRUE(PumpUntil([&] { return CountMainWindows() == 1; }));  // its first messages go to the splash's loop
    PostMessageW(FindWindowW(kMainWindowClass, nullptr), WM_CLOSE, 0, 0);
    EXPECT_TRUE(app.WaitForExit(10000, &code) && code == 0) << "exit code " << code;
    EXPECT_TRUE(app.TrayJournal().empty()) << "the shell was called " << app.TrayJournal().size() << " times";
}

// Starts made at the same moment, with or without an instance already
// running: one process stays, with one main window; the others hand over and
// end with 0.
TEST_F(Road, OnlyOneInstanceEverRuns) {
    ASSERT_TRUE(Launch());
    for (int round = 0; round < 6; ++round) {
        const bool oneRunning = round < 3;  // then none: the four race to be first
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(oneRunning || app.Shutdown());
        PROCESS_INFORMATION started[4];
        for (auto& pi : started) ASSERT_TRUE(StartProgram(app.Folder(), &pi));
        // Settled: each start has ended or runs with a main window of its own.
        EXPECT_TRUE(PumpUntil([&] {
            for (auto& pi : started)
                if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT && !CountMainWindows(pi.dwProcessId)) return false;
            return true;
        }));
        int staying = 0;
        for (auto& pi : started) {
            DWORD code = STILL_ACTIVE;
            GetExitCodeProcess(pi.hProcess, &code);
            staying += code == STILL_ACTIVE;
            EXPECT_TRUE(code == STILL_ACTIVE || code == 0) << "exit code " << code;
            CloseHandle(pi.hProcess);
        }
        EXPECT_EQ(staying, oneRunning ? 0 : 1);
        EXPECT_EQ(CountMainWindows(), 1);
        EXPECT_TRUE(!oneRunning || app.Visible()) << "the hand-over did not show the dialog";
        ASSERT_TRUE(oneRunning || ResetMachine());  // ends the one that stayed
    }
}

// The shell refuses the icon at first (busy at logon), later loses it.
TEST_F(Road, TrayIconComesBack) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"TrayFailures", REG_DWORD, "\2\0\0\0", 4), 0);
    ASSERT_TRUE(Launch());
    const auto calls = [&](size_t from, std::wstring seen = L"") {  // "add failed, modify ok, ..." from call `from`
        for (const auto& call : app.TrayJournal())
            seen += from > 0 && from-- ? L"" : call.substr(0, call.find(L'\t')) + L" " + call.substr(call.rfind(L'\t') + 1) + L", ";
        return seen;
    };
    // Before each new add, a modify asks whether the shell has the icon after all.
    EXPECT_TRUE(PumpUntil([&] { return calls(0) == L"add failed, add failed, modify failed, add ok, "; })) << Show(calls(0));
    NOTIFYICONDATAW icon{};  // the shell loses the icon
    icon.cbSize = sizeof icon, icon.hWnd = FindWindowW(kMainWindowClass, nullptr), icon.uID = 1;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &icon));
    app.TrayCommand(IDM_TRAY_UPDATE);  // changes the tooltip
    EXPECT_TRUE(AnswerBox(IDS_MSG_DOWNLOAD_DONE, IDS_DOWNLOAD_DONE));
    EXPECT_TRUE(PumpUntil([&] { return std::regex_match(calls(4), std::wregex(L"modify failed, .*add ok, .*")); }))
        << Show(calls(4));
}

// A copy unpacked into "GPS Tools" of a folder others write to, DLLs of its names beside it, a GPS.exe at the
// first space of its path: none runs, at start or from the Run value, and the system's urlmon downloads.
TEST_F(Road, PlantedFilesNeverRunInItsName) {
    // Windows' order for these names, the program's folder first. Set per program: Wine passes no WINE
    // variable of this process on to the program.
    static constexpr wchar_t kWineApp[] = L"Software\\Wine\\AppDefaults\\GpsFennik.exe";
    struct Restore { ~Restore() { RegDeleteTreeW(HKEY_CURRENT_USER, kWineApp); } } restore;
    const std::wstring overrides = kWineApp + std::wstring(L"\\DllOverrides");
    for (const wchar_t* dll : {L"urlmon", L"wininet", L"comctl32"})
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, overrides.c_str(), dll, REG_SZ, L"native,builtin", 30), 0);
    ASSERT_TRUE(app.Prepare(L"GPS Tools", {}));
    const std::pair<const wchar_t*, std::wstring> planted[] = {
        {L"urlmon.dll", L""}, {L"wininet.dll", L""}, {L"comctl32.dll", L""}, {L"GPS.exe", L"..\\"}};
    const auto path = [&](const auto& file) { return app.File((file.second + file.first).c_str()); };
    for (const auto& file : planted) {
        ASSERT_TRUE(CopyFileW((WindowsPath(FENNIK_PLANTED_DIR "/") + file.first).c_str(), path(file).c_str(), FALSE));
        DeleteFileW((path(file) + L".ran").c_str());
    }
    ASSERT_TRUE(SetSimulatedDevice(L'E', kAccepted));
    EXPECT_TRUE(app.Start() && app.WaitForDialog());  // and on to the check of what ran
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_TRUE(ReadFileBytes(DeviceFile(L'E')) == kServed) << "device file of " << ReadFileBytes(DeviceFile(L'E')).size();
    app.Click(IDC_STARTUP);
    EXPECT_TRUE(app.Flush());
    wchar_t stored[MAX_PATH + 4] = {};
    DWORD bytes = sizeof stored;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, stored, &bytes), 0);
    EXPECT_EQ(std::wstring(stored, bytes / 2), L"\"" + app.File(L"GpsFennik.exe") + L"\"" + L'\0') << Show(stored);
    EXPECT_NE(RegGetValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, RRF_RT_ANY, nullptr, nullptr, nullptr), 0) << "a second start entry";
    EXPECT_TRUE(SetSimulatedDevice(L'E', nullptr) && (app.Shutdown() || !app.Running()));
    // As Windows starts a Run value: a command line, no application name.
    EXPECT_TRUE(app.Start(stored) && app.WaitForDialog()) << "the Run value did not start the program";
    for (const auto& file : planted) EXPECT_FALSE(FileExists(path(file) + L".ran")) << Show(file.first) << " ran";
}

// A gzip answer with a length reaches the device decoded, past a scanner's short locks.
TEST_F(Road, DecodedAnswerOutlastsShortLocks) {
    ASSERT_TRUE(SetServerMode("gzip 20000 42") && Launch(Earlier(2880)) && WriteFileBytes(DeviceFile(L'E'), kEarlier));
    const std::wstring held[] = {app.File(L"Ephemeris.ee"), DeviceFile(L'E')},
                       renamed[] = {app.File(L"packedEphemeris.ee"), L"E:\\Ephemeris.ee.new"};
    ScopedFile holds[2];
    for (int i = 0; i < 2; ++i) holds[i].Reset(CreateFileW(held[i].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holds[0] && holds[1] && app.Plug(L'E'));
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(PumpUntil([&] { return ReadFileBytes(renamed[i]) == kServed; })) << Show(renamed[i]);
        Sleep(500);  // the scanner's moment, while the program tries to rename over the held file
        holds[i].Reset();
    }
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    for (const std::wstring& f : held) EXPECT_TRUE(ReadFileBytes(f) == kServed) << Show(f);
}

}  // namespace
