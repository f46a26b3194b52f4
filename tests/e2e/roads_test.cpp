// The roads a user takes, with the real program: updates with and without a device, servers that fail, a cancel,
// a device that cannot be written, the refused model, the check boxes, ending the program, a second start, a
// shell that loses the icon, planted files.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "app_driver.h"
#include <shellapi.h>
#include <wininet.h>
#include "acquisition/dl_callback.h"
#include "acquisition/download_worker.h"
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

// A download an hour ago, too young for a refresh of the program's own.
std::wstring FreshDownload() { return L"[DOWNLOAD TIME]\r\n" + Stamp(Now(), -60) + L"\r\n"; }
RunFiles Fresh() { return {FreshDownload(), {}, {}}; }

// An earlier download (too young for a refresh) expiring `minutes` from now; auto-update as given.
RunFiles Earlier(long long minutes, bool autoUpdate = true) {
    const SYSTEMTIME now = Now();
    return {FreshDownload() + L"[EXPIRE TIME]\r\n" +
                Stamp(now, minutes) + L"\r\n" + (autoUpdate ? L"" : L"[AUTO UPDATE]\r\n0\r\n"),
            kEarlier, {}};
}

// The balloons the shell was given (title, text, warning or information), " | " between.
std::wstring Balloons(const App& app) {
    std::wstring texts;
    for (const auto& call : app.TrayJournal()) {
        std::wsmatch m;
        if (std::regex_match(call, m, std::wregex(L"modify\t[^\t]*\tGPS Fennik\t([^\t]+)\t10\t[12]\t.*")))
            texts += (texts.empty() ? L"" : L" | ") + m[1].str();
    }
    return texts;
}

// The tray menu as the journal shows it.
std::wstring Menu(const AppTest& t, bool visible, bool updateAllowed) {
    return t.Str(visible ? IDS_MENU_HIDE : IDS_MENU_SHOW) + L" (default) | - | " + t.Str(IDS_MENU_UPDATE) +
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
    // after the four sections older versions know, the device's expiry, no reminder shown.
    const std::wstring settings = FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini")));
    std::wsmatch m;
    ASSERT_TRUE(std::regex_match(settings, m, std::wregex(L"\\[DOWNLOAD TIME\\]\r\n(.{16})\r\n\\[EXPIRE TIME\\]\r\n"
                                                          L"(.{16})\r\n\\[UPDATE TIME\\]\r\n(.{16})\r\n\\[AUTO UPDATE\\]\r\n1\r\n"
                                                          L"\\[DEVICE EXPIRY\\]\r\n\\2 0\r\n")))
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
    // Removed and plugged in again, heard by the main window alone: updated again.
    ASSERT_TRUE(app.Unplug(L'E', App::kMainWindow) && WriteFileBytes(DeviceFile(L'E'), kEarlier) &&
                app.Plug(L'E', kAccepted, App::kMainWindow));
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_TRUE(ReadFileBytes(DeviceFile(L'E')) == kServed);
}

// The German program at 150 %: its texts in German, written here as a reader expects them, and its pictures at
// the display's scale (Wine's LogPixels, read when a program starts).
TEST_F(Road, GermanAtOneAndAHalfTimesScale) {
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
    // The device away with data that ran out: the reminder, once the program looks.
    ASSERT_TRUE(WriteFileBytes(app.File(L"Kelva_config.ini"), Utf16Bytes(L"[DEVICE EXPIRY]\r\n2026/01/02\t03:04 1\r\n")));
    PostMessageW(FindWindowW(kMainWindowClass, nullptr), WM_TIMECHANGE, 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return Balloons(app) == L"Die Satellitendaten auf Ihrem GPS-Gerät sind um 03:04 abgelaufen. Schließen Sie "
                                                         L"das Gerät an, um sie zu aktualisieren."; })) << Show(Balloons(app));

    // Banner, tray icon with its balloon and the standard tooltip (which version 4 hides without NIF_SHOWTIP), caption
    // icons for Alt+Tab as set (Wine answers no WM_GETICON from another process): half as large again as at 100 %.
    RECT banner{};
    EXPECT_TRUE(GetClientRect(GetWindow(app.Dialog(), GW_CHILD), &banner) && banner.right >= 590 && banner.bottom >= 158)
        << banner.right << "x" << banner.bottom;
    std::wstring calls;
    for (const auto& call : app.TrayJournal()) calls += call.starts_with(L"add") || call.starts_with(L"set") ? call.substr(call.find(L'\t')) : L"";
    EXPECT_EQ(calls, L"\tGPS Fennik\tGPS Fennik\tGPS Fennik\t97\t81\t24x24\tok\t4\tok\tbig\t48x48\tsmall\t24x24");
    app.TrayCommand(IDM_TRAY_EXIT);
    EXPECT_TRUE(AnswerBox(L"GPS Fennik beenden? Ihr GPS-Gerät wird dann nicht mehr automatisch aktualisiert.", L"GPS Fennik", MB_ICONWARNING));
}

// The server fails while an earlier download is on disk and the device is
// plugged in (auto-update on). Only when no answer came at all may the
// unexpired local file go to the device; nothing else changes.
struct Failure {
    const char* mode;
    long long expiresInMinutes;
    UINT box, caption;
    ULONGLONG withinMs = 10000;  // from the arrival to the result
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
    const ULONGLONG plugged = GetTickCount64();
    ASSERT_TRUE(app.Plug(L'E'));
    // An answer too large is refused as it is written, not at its end: the file never grows past the bound by
    // more than one piece.
    ULONGLONG written = 0;
    EXPECT_TRUE(PumpUntil([&] {
        WIN32_FILE_ATTRIBUTE_DATA file{};
        if (GetFileAttributesExW(app.File(L"packedEphemeris.ee").c_str(), GetFileExInfoStandard, &file))
            written = std::max(written, ULONGLONG{file.nFileSizeHigh} << 32 | file.nFileSizeLow);
        return app.Box() != nullptr;
    }, static_cast<DWORD>(row.withinMs))) << "no result after " << GetTickCount64() - plugged << " ms";
    EXPECT_LE(written, kMaxEphemerisBytes + 65536);
    EXPECT_TRUE(AnswerBox(row.box, row.caption));
    EXPECT_EQ(app.Text(IDC_STATUS), Str(row.caption) + L"...");
    EXPECT_EQ(app.Tips(), Str(IDS_STATUS_DOWNLOADING) + L"... | " + (row.box == IDS_MSG_COPY_DONE ? Str(IDS_TIP_COPYING) + L"... | " : L"") + Str(IDS_APP_TITLE));
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

constexpr Failure Fails(const char* mode, long long expiresInMinutes = 2880, ULONGLONG withinMs = 10000) {
    return {mode, expiresInMinutes, IDS_MSG_DOWNLOAD_FAILED, IDS_DOWNLOAD_FAILED, withinMs};
}
constexpr ULONGLONG kStalled = kStallLimitMs + 3000, kTrickled = kTransferLimitMs + 3000;
INSTANTIATE_TEST_SUITE_P(Answers, ServerFailure,
                         ::testing::Values(Fails("status 404"), Fails("status 500 20000 42"), Fails("empty"),
                                           Fails("cut 65536 6"), Fails("page 200"), Fails("redirect"), Fails("page 404"),
                                           Fails("page 503"), Failure{"refuse", 2880, IDS_MSG_COPY_DONE, IDS_COPY_DONE},
                                           Fails("refuse", -60),
                                           Fails("refuse", -364 * 1440),  // a year ago, on a later day than today
                                           Fails("slowbody 65536 6 90000", 2880, kStalled),  // silent after 16 KiB
                                           Failure{"slowheaders 20000 42 90000", 2880, IDS_MSG_COPY_DONE, IDS_COPY_DONE, kStalled},
                                           Fails("slowbody 4194304 5 40", 2880, kTrickled),  // 4 MiB at 100 KiB/s: too slow in all
                                           Fails("flood"), Fails("flood 8589934592"),  // endless, or 8 GiB announced
                                           Fails("bomb 1073741824")));  // 1 MiB on the wire, 1 GiB decoded

// Cancel, whatever the server does: while data arrives (twice in one session: a user keeps the program running
// for days), after it fell silent, or when it never answers. Each ends within a second.
TEST_F(Road, CancelWhileReceivingLeavesEverythingAsItWasThenTheTrayUpdates) {
    const RunFiles files = Earlier(2880, false);
    ASSERT_TRUE(Launch(files));
    ASSERT_TRUE(app.Plug(L'E'));
    EXPECT_TRUE(MenuIs(false, true));
    const std::wstring receiving = Str(IDS_STATUS_DOWNLOADING);
    const struct { const char* mode; bool receiving, dataCame; } cancels[] = {
        {"slowbody 1048576 5 40 1500", true, true}, {"slowbody 1048576 5 40 1500", true, true},  // headers after 1.5 s, then 100 KiB/s
        {"slowbody 65536 6 90000", false, true}, {"slowheaders 20000 42 90000", false, false}};  // silent after 16 KiB; no answer
    for (const auto& c : cancels) {
        SCOPED_TRACE(c.mode);
        const int requests = ServerRequests();
        ASSERT_TRUE(SetServerMode(c.mode));
        app.Click(IDC_UPDATE);
        ASSERT_TRUE(PumpUntil([&] { return app.Text(IDC_UPDATE) == Str(IDS_BTN_CANCEL); }));
        EXPECT_EQ(app.Text(IDC_STATUS), Str(IDS_STATUS_STARTING) + L"...");
        EXPECT_TRUE(MenuIs(false, false));

        // While data arrives the bar moves, and the status line animates and
        // shows the percentage.
        std::set<std::wstring> frames;
        std::wstring percent;
        LRESULT first = -1, last = -1;
        EXPECT_TRUE(PumpUntil([&] {
            const std::wstring status = app.Text(IDC_STATUS);
            const LRESULT bar = app.Ask(IDC_PROGRESS, PBM_GETPOS);
            if (!c.receiving) return ServerRequests() > requests && (!c.dataCame || status.starts_with(receiving));
            if (status.rfind(receiving, 0) != 0) return false;
            const size_t tab = status.find(L'\t');
            frames.insert(status.substr(receiving.size(), tab - std::min(tab, receiving.size())));
            if (tab != std::wstring::npos) percent = status.substr(tab);
            last = bar;
            if (first < 0) first = bar;
            return frames.size() >= 3 && !percent.empty() && last > first;
        })) << frames.size() << " animation frames, percentage " << Show(percent) << ", bar from " << first << " to " << last;
        EXPECT_TRUE(!c.receiving || std::regex_match(percent, std::wregex(L"\t[1-9][0-9]?%"))) << Show(percent);

        const ULONGLONG clicked = GetTickCount64();
        app.Click(IDC_UPDATE);
        EXPECT_TRUE(PumpUntil([&] { return app.Box() != nullptr; }, 1500)) << "no result " << GetTickCount64() - clicked << " ms after Cancel";
        EXPECT_TRUE(AnswerBox(IDS_MSG_CANCELLED, IDS_CAPTION_WARNING));
        EXPECT_EQ(app.Text(IDC_STATUS), L"");
        EXPECT_EQ(app.Text(IDC_UPDATE), Str(IDS_BTN_UPDATE));
        EXPECT_TRUE(app.Enabled(IDC_UPDATE));
        EXPECT_EQ(app.Ask(IDC_PROGRESS, PBM_GETPOS), 0);
        EXPECT_TRUE(app.Tips().ends_with(receiving + L"... | " + Str(IDS_STATUS_CANCELLING) + L"... | " + Str(IDS_APP_TITLE))) << Show(app.Tips());
        EXPECT_TRUE(MenuIs(false, true));
        EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == kEarlier);
        EXPECT_EQ(ReadFileBytes(app.File(L"Kelva_config.ini")), Utf16Bytes(*files.settings));
        EXPECT_FALSE(FileExists(DeviceFile(L'E')) || FileExists(app.File(L"packedEphemeris.ee")));
        EXPECT_FALSE(FileExists(app.File(L"Kelva_log.txt")));
    }

    // The device gone, the tray's Update brings the dialog and a download that lasts longer than the stall limit,
    // its body read on without a notification, as the network library reads an answer of no stated length.
    const Bytes slow = ServedBody(65536, 42);
    ASSERT_TRUE(app.Unplug(L'E') && SetServerMode("slowclose 65536 42 600"));
    app.TrayCommand(IDM_TRAY_UPDATE);
    ASSERT_TRUE(PumpUntil([&] { return app.Box() != nullptr; }));
    EXPECT_TRUE(MenuIs(true, false)) << "a result box is open";
    EXPECT_TRUE(AnswerBox(IDS_MSG_DOWNLOAD_DONE, IDS_DOWNLOAD_DONE));
    EXPECT_TRUE(app.Visible() && ReadFileBytes(app.File(L"Ephemeris.ee")) == slow);
    EXPECT_EQ(app.Text(IDC_STATUS), Str(IDS_DOWNLOAD_DONE) + L"...\t100%");
    EXPECT_TRUE(app.Ask(IDC_PROGRESS, PBM_GETPOS) == 100 && app.Text(IDC_UPDATE) == Str(IDS_BTN_UPDATE));
    EXPECT_TRUE(app.Tips().ends_with(L" | " + receiving + L"... | " + Str(IDS_APP_TITLE))) << Show(app.Tips());
    EXPECT_TRUE(app.Text(IDC_UPDATE_TIME).empty() && !FileExists(app.File(L"Kelva_log.txt")));

    // Exit while the server is silent: the program ends at once, leaves nothing behind, and starts again.
    ASSERT_TRUE(SetServerMode("slowheaders 20000 42 90000"));
    app.Click(IDC_UPDATE);
    ASSERT_TRUE(PumpUntil([&] { return ServerRequests() == 6; }));
    PostMessageW(FindWindowW(kMainWindowClass, nullptr), WM_CLOSE, 0, 0);
    DWORD code = 1;
    EXPECT_TRUE(app.WaitForExit(3000, &code) && code == 0) << "exit code " << code;
    EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == slow && !FileExists(app.File(L"packedEphemeris.ee")));
    EXPECT_TRUE(app.Start() && app.WaitForDialog()) << "the next start found an instance left behind";
}

// A device that cannot take the file (a read-only Ephemeris.ee, a folder of that name, a medium that reads back
// other bytes than were written, before or after the rename): the user is told, every attempt is logged, nothing
// claims an update, what the user keeps there stays, and no garbage is left.
TEST_F(Road, UnwritableDeviceReportsTheFailedCopy) {
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

TEST_F(Road, RefusedModelIsRefusedUntilTheNextDevice) {
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
TEST_F(Road, CheckBoxesShowWhatIsStored) {
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
    // About, from Alt+/ and Alt+? (Shift and the / key) as typed, and from the system menu: Alt+Space, its last item.
    ASSERT_TRUE(app.TrayDoubleClick());
    for (auto keys : {std::initializer_list<WORD>{VK_MENU, VK_OEM_2}, {VK_MENU, VK_SHIFT, VK_OEM_2}, {VK_MENU, VK_SPACE}}) {
        EXPECT_TRUE(app.Type(keys) && (keys.begin()[1] != VK_SPACE || (app.Type({VK_UP}) && app.Type({VK_RETURN}))));
        EXPECT_NE(app.About().find(L"Version 1.0"), std::wstring::npos) << keys.size() << " keys";
    }
    // Cancel on the exit question, from the close box, Alt+F4 or the tray's Exit: the dialog stays, in front.
    for (int way : {1, 2, 3}) {
        EXPECT_TRUE(way == 1 ? PostMessageW(app.Dialog(), WM_SYSCOMMAND, SC_CLOSE, 0) : way == 2 ? app.Type({VK_MENU, VK_F4})
                                                                                   : (app.TrayCommand(IDM_TRAY_EXIT), true));
        EXPECT_TRUE(AnswerBox(IDS_CONFIRM_EXIT, IDS_CAPTION_WARNING, IDCANCEL)) << "way " << way;
        EXPECT_TRUE(app.Flush() && app.Visible() && GetForegroundWindow() == app.Dialog() && app.Running()) << "way " << way;
    }
    // A second Exit while the question is open opens no second one.
    app.TrayCommand(IDM_TRAY_EXIT);
    ASSERT_TRUE(PumpUntil([&] { return app.Boxes() == 1; }));
    app.TrayCommand(IDM_TRAY_EXIT);
    EXPECT_TRUE(MenuIs(true, false)) << "the second Exit brings the dialog forward";
    EXPECT_EQ(app.Boxes(), 1);
    EXPECT_TRUE(AnswerBox(IDS_CONFIRM_EXIT, IDS_CAPTION_WARNING, IDCANCEL));
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
    // A start while the last instance is still ending (held up, as by a failing device's I/O) says so once it
    // has waited for it, and ends when answered.
    ASSERT_TRUE(app.Start() && app.WaitForDialog());
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"ExitHoldMs", REG_DWORD, "\x20\x4E\0\0", 4), 0);  // 20 s
    PostMessageW(FindWindowW(kMainWindowClass, nullptr), WM_CLOSE, 0, 0);
    PROCESS_INFORMATION second{};
    ASSERT_TRUE(PumpUntil([&] { return CountMainWindows() == 0; }) && app.Running() && StartProgram(app.Folder(), &second));
    EXPECT_TRUE(AnswerBox(Str(IDS_MSG_STILL_CLOSING), Str(IDS_APP_TITLE), MB_ICONINFORMATION, IDOK, second.dwProcessId));
    DWORD code = 1;
    EXPECT_TRUE(WaitForSingleObject(second.hProcess, 10000) == WAIT_OBJECT_0 && GetExitCodeProcess(second.hProcess, &code) && code == 0);
    CloseHandle(second.hProcess);
    EXPECT_TRUE(app.WaitForExit(25000));
}

// The shell refuses the icon at first (busy at logon), later loses it, then restarts; the icon answers the keyboard.
TEST_F(Road, TrayIconComesBack) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"TrayFailures", REG_DWORD, "\2\0\0\0", 4), 0);
    ASSERT_TRUE(Launch(Fresh()));
    const auto calls = [&](size_t from, std::wstring seen = L"") {  // "add failed, modify ok, ..." from call `from`
        for (const auto& call : app.TrayJournal())
            if (!call.starts_with(L"seticon")) seen += from > 0 && from-- ? L"" : call.substr(0, call.find(L'\t')) + L" " + call.substr(call.rfind(L'\t') + 1) + L", ";
        return seen;
    };
    // Before each new add, a modify asks whether the shell has the icon after all.
    EXPECT_TRUE(PumpUntil([&] { return calls(0) == L"add failed, add failed, modify failed, add ok, setversion ok, "; })) << Show(calls(0));
    NOTIFYICONDATAW icon{};  // the shell loses the icon
    icon.cbSize = sizeof icon, icon.hWnd = FindWindowW(kMainWindowClass, nullptr), icon.uID = 1;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &icon));
    app.TrayCommand(IDM_TRAY_UPDATE);  // changes the tooltip
    EXPECT_TRUE(AnswerBox(IDS_MSG_DOWNLOAD_DONE, IDS_DOWNLOAD_DONE));
    EXPECT_TRUE(PumpUntil([&] { return std::regex_match(calls(5), std::wregex(L"modify failed, .*add ok, setversion ok, .*")); }))
        << Show(calls(5));
    // The shell restarts without the icon and tells with TaskbarCreated.
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &icon));
    const std::wstring earlier = calls(0);
    PostMessageW(icon.hWnd, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return calls(0) == earlier + L"add ok, setversion ok, "; })) << Show(calls(0));
    // Version 4's events: the balloon's click, Enter or Space on the icon open the dialog; a single click does not.
    for (WORD event : {NIN_BALLOONUSERCLICK, NIN_KEYSELECT, NIN_SELECT}) {
        app.TrayCommand(IDM_TRAY_HIDE);
        ASSERT_TRUE(app.Flush() && !app.Visible());
        PostMessageW(icon.hWnd, 0x8000, MAKEWPARAM(300, 700), MAKELPARAM(event, 1));
        EXPECT_TRUE(app.Flush() && app.Visible() == (event != NIN_SELECT)) << "event " << event;
    }
    // A right click brings the button's messages, then WM_CONTEXTMENU: one menu.
    for (UINT button : {WM_RBUTTONDOWN, WM_RBUTTONUP}) PostMessageW(icon.hWnd, 0x8000, MAKEWPARAM(300, 700), MAKELPARAM(button, 1));
    EXPECT_TRUE(MenuIs(false, true));
    EXPECT_EQ(calls(0), earlier + L"add ok, setversion ok, menu " + Str(IDS_MENU_EXIT) + L", ");
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

// A gzip answer with a length reaches the device decoded, past a scanner's short locks; an Exit meanwhile waits
// for the copy, so the device and the settings are never cut in half.
TEST_F(Road, DecodedAnswerOutlastsShortLocksAndExit) {
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
// The device's data may be expired only while the device is away.
class Days : public Road {
protected:
    // The wall clock `hours` ahead of the real one, for the test and the program alike.
    static bool MoveClock(long long hours) {
        const std::string offset = (hours < 0 ? "" : "+") + std::to_string(hours * 3600) + "\n";
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
    // The reminder `id` of the data on the device, as the user reads it.
    std::wstring Reminder(UINT id) const {
        const std::wstring settings = Settings();
        const size_t at = settings.find(L"[DEVICE EXPIRY]\r\n"), mark = Str(id).find(L"%s");
        return at == std::wstring::npos ? L"no expiry" : Str(id).replace(mark, 2, settings.substr(at + 17 + 11, 5));
    }
};

TEST_F(Days, TheDeviceIsExpiredOnlyWhileItIsAway) {
    enum Do { Start, Unplug, Timer, Resume, TimeChange, Restart, PlugOffline, ReplugDuringRefresh, CancelRefresh, AutoOff, ClockBack };
    const struct {
        long long hour;
        Do act;
        int requests;  // at the server, by this step (a closed port sees none)
        UINT box;      // the result the user is shown, 0: none
        long long deviceData;  // the hour of the download on the device
        UINT balloon;  // a reminder that comes now
    } steps[] = {
        {0, Start, 1, IDS_MSG_COPY_DONE, 0, 0}, {1, Unplug, 1, 0, 0, 0}, {24, Timer, 2, 0, 0, 0}, {48, Resume, 3, 0, 0, 0},
        {61, TimeChange, 3, 0, 0, IDS_REMINDER_EXPIRING}, {72, Timer, 4, 0, 0, IDS_REMINDER_EXPIRED}, {73, Restart, 4, 0, 0, 0},
        {96, PlugOffline, 4, IDS_MSG_COPY_DONE, 72, 0}, {97, Timer, 5, 0, 97, 0}, {121, Resume, 6, 0, 121, 0},
        {145, ReplugDuringRefresh, 7, IDS_MSG_COPY_DONE, 145, 0}, {169, CancelRefresh, 9, IDS_MSG_CANCELLED, 169, 0},
        {170, AutoOff, 9, 0, 169, 0}, {229, TimeChange, 9, 0, 169, 0},  // attached: no reminder
        {230, Unplug, 9, 0, 169, IDS_REMINDER_EXPIRING}, {241, Timer, 9, 0, 169, IDS_REMINDER_EXPIRED},
        {242, ClockBack, 10, 0, 169, 0},
    };
    ASSERT_TRUE(MoveClock(0) && SetSimulatedDevice(L'E', kAccepted));
    bool attached = true;
    long long expiredAway = 0, expiredAttached = 0, lastHour = 0, lastData = 0, local = 0;
    std::wstring balloons;
    for (const auto& step : steps) {
        SCOPED_TRACE("hour " + std::to_string(step.hour));
        // Hours of the step before: the device's data past its expiry, attached or away.
        (attached ? expiredAttached : expiredAway) += std::max(0LL, step.hour - std::max(lastHour, lastData + 72));
        const std::string served = "20000 " + std::to_string(step.hour);
        ASSERT_TRUE(SetServerMode(step.act == PlugOffline ? "refuse" : step.act == ReplugDuringRefresh || step.act == CancelRefresh
                                      ? "slowbody " + served + " 1500 1500" : "file " + served));
        ASSERT_TRUE(MoveClock(step.act == ClockBack ? step.hour - 144 : step.hour));
        const HWND window = FindWindowW(kMainWindowClass, nullptr);
        const ULONGLONG moved = GetTickCount64();
        const int requestsBefore = ServerRequests();
        switch (step.act) {
        case Start: ASSERT_TRUE(Launch()); break;
        case Unplug: ASSERT_TRUE(app.Unplug(L'E')); attached = false; break;
        case Restart: ASSERT_TRUE(app.Start() && app.WaitForDialog()); break;
        case PlugOffline: ASSERT_TRUE(app.Plug(L'E')); attached = true; break;
        case Resume: for (HWND w : {window, app.Dialog()}) PostMessageW(w, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0); break;
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
            app.TrayCommand(IDM_TRAY_HIDE);
        }
        // The step's outcome: within a second of a broadcast, at the next tick of the timer otherwise.
        const DWORD within = step.act == Resume || step.act == TimeChange || step.act == ClockBack ? 1500 : 15000;
        std::wstring reminder;
        EXPECT_TRUE(PumpUntil([&] {
            reminder = step.balloon ? Reminder(step.balloon) : L"";
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
        EXPECT_TRUE(local != step.hour || downloaded.substr(0, 13) == Stamp(Now()).substr(0, 13)) << Show(downloaded);
        lastHour = step.hour, lastData = step.deviceData;
    }
    // Before the program looked after itself: 98 hours, 62 of them attached (96 to the re-plug at 145, 217 to 230).
    printf("the device's data was expired %lld hours while away, %lld hours while attached\n", expiredAway, expiredAttached);
    EXPECT_EQ(expiredAttached, 0);
    EXPECT_EQ(expiredAway, 25);
}

}  // namespace
