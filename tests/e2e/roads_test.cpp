// The roads a user takes, with the real program: an update that reaches the
// device, one without a device, servers that fail, a cancel, the refused
// model, ending the program, and a second start.
#include <gtest/gtest.h>

#include <regex>

#include "app_driver.h"
#include "resources/resource.h"
#include "shell/string_ids.h"

namespace {

const Bytes kServed = ServedBody(20000, 42);  // the server's default answer
const Bytes kEarlier = ServedBody(12345, 99);  // a local file from an earlier download

SYSTEMTIME Now() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return t;
}

// An earlier download expiring `minutes` from now; auto-update as given.
RunFiles Earlier(long long minutes, bool autoUpdate = true) {
    const SYSTEMTIME now = Now();
    return {L"[DOWNLOAD TIME]\r\n" + Stamp(now, minutes - 3 * 24 * 60) + L"\r\n[EXPIRE TIME]\r\n" +
                Stamp(now, minutes) + L"\r\n" + (autoUpdate ? L"" : L"[AUTO UPDATE]\r\n0\r\n"),
            kEarlier};
}

// `text` is the stamp of a minute from `before` to `after`, moved by `shift`.
bool StampWithin(const std::wstring& text, const SYSTEMTIME& before, const SYSTEMTIME& after, long long shift = 0) {
    for (long long m = -1; m <= 2; ++m)
        if (text == Stamp(before, shift + m) && Stamp(before, shift + m) <= Stamp(after, shift)) return true;
    return false;
}

using Road = AppTest;

TEST_F(Road, DeviceAttachedAtStartUpGetsTheDownload) {
    ASSERT_TRUE(SetSimulatedDevice(L'E', kAccepted));
    const SYSTEMTIME before = Now();
    ASSERT_TRUE(Launch());
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    const SYSTEMTIME after = Now();

    EXPECT_EQ(ServerRequests(), 1);
    EXPECT_TRUE(ReadFileBytes(DeviceFile(L'E')) == kServed) << "device file of " << ReadFileBytes(DeviceFile(L'E')).size();
    EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == kServed);
    EXPECT_FALSE(FileExists(app.File(L"packedEphemeris.ee")));
    EXPECT_FALSE(FileExists(L"E:\\Ephemeris.ee.new"));
    EXPECT_EQ(app.Text(IDC_STATUS), Str(IDS_COPY_DONE) + L"...");
    EXPECT_EQ(app.Ask(IDC_PROGRESS, PBM_GETPOS), 100);

    // Download time, expiry three days later, update time: in that order,
    // UTF-16 without byte order mark, and as the dialog shows them.
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

    wchar_t day[8];
    swprintf(day, 8, L"%02d/%02d", after.wMonth, after.wDay);
    const std::wstring log = FromUtf16(ReadFileBytes(app.File(L"Kelva_log.txt")));
    EXPECT_TRUE(std::regex_match(log, std::wregex(std::wstring(day) + L"  \\d\\d:\\d\\d\\.\\d\\d::\\d{3}\tDownload to:\t"
                                                                      L"E:\\\\Ephemeris\\.ee\r\n")))
        << Show(log);
}

TEST_F(Road, UpdateWithoutDeviceReportsTheDownload) {
    ASSERT_TRUE(Launch());
    ASSERT_FALSE(app.Visible());
    app.TrayCommand(IDM_TRAY_UPDATE);
    EXPECT_TRUE(AnswerBox(IDS_MSG_DOWNLOAD_DONE, IDS_DOWNLOAD_DONE));
    EXPECT_TRUE(app.Visible());
    EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == kServed);
    EXPECT_EQ(app.Text(IDC_STATUS), Str(IDS_DOWNLOAD_DONE) + L"...\t100%");
    EXPECT_EQ(app.Text(IDC_UPDATE), Str(IDS_BTN_UPDATE));
    EXPECT_EQ(app.Text(IDC_UPDATE_TIME), L"");
    EXPECT_FALSE(FileExists(app.File(L"Kelva_log.txt")));
}

// The server fails while an earlier download is on disk and the device is
// plugged in (auto-update on). Only when no answer came at all may the
// unexpired local file go to the device; nothing else changes.
struct Failure {
    const char* mode;
    long long expiresInMinutes;
    UINT box, caption;
};

class ServerFailure : public AppTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(ServerFailure, LeavesTheLocalFileAndTellsTheUser) {
    const Failure& row = GetParam();
    ASSERT_TRUE(SetServerMode(row.mode));
    const RunFiles files = Earlier(row.expiresInMinutes);
    ASSERT_TRUE(Launch(files));
    ASSERT_TRUE(app.Plug(L'E'));
    EXPECT_TRUE(AnswerBox(row.box, row.caption));
    EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == kEarlier) << "the local file changed";
    EXPECT_FALSE(FileExists(app.File(L"packedEphemeris.ee")));
    const bool copied = row.box == IDS_MSG_COPY_DONE;
    EXPECT_EQ(ReadFileBytes(DeviceFile(L'E')), copied ? kEarlier : Bytes{});
    const std::wstring settings = FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini")));
    EXPECT_EQ(settings.substr(0, files.settings->size()), *files.settings) << "download times changed";
    EXPECT_EQ(settings.size() > files.settings->size(), copied) << Show(settings);
}

INSTANTIATE_TEST_SUITE_P(Answers, ServerFailure,
                         ::testing::Values(Failure{"status 404", 2880, IDS_MSG_DOWNLOAD_FAILED, IDS_DOWNLOAD_FAILED},
                                           Failure{"status 500", 2880, IDS_MSG_DOWNLOAD_FAILED, IDS_DOWNLOAD_FAILED},
                                           Failure{"empty", 2880, IDS_MSG_DOWNLOAD_FAILED, IDS_DOWNLOAD_FAILED},
                                           Failure{"cut 65536 6", 2880, IDS_MSG_DOWNLOAD_FAILED, IDS_DOWNLOAD_FAILED},
                                           Failure{"refuse", 2880, IDS_MSG_COPY_DONE, IDS_COPY_DONE},
                                           Failure{"refuse", -60, IDS_MSG_DOWNLOAD_FAILED, IDS_DOWNLOAD_FAILED}));

TEST_F(Road, CancelWhileReceivingLeavesEverythingAsItWas) {
    ASSERT_TRUE(SetServerMode("slowbody 1048576 5 40"));
    const RunFiles files = Earlier(2880, false);
    ASSERT_TRUE(Launch(files));
    ASSERT_TRUE(app.Plug(L'E'));
    app.Click(IDC_UPDATE);
    const std::wstring receiving = Str(IDS_STATUS_DOWNLOADING);
    ASSERT_TRUE(PumpUntil([&] { return app.Text(IDC_STATUS).rfind(receiving, 0) == 0; })) << Show(app.Text(IDC_STATUS));
    EXPECT_EQ(app.Text(IDC_UPDATE), Str(IDS_BTN_CANCEL));
    app.Click(IDC_UPDATE);
    EXPECT_TRUE(AnswerBox(IDS_MSG_CANCELLED, IDS_CAPTION_WARNING));
    EXPECT_EQ(app.Text(IDC_STATUS), L"");
    EXPECT_EQ(app.Text(IDC_UPDATE), Str(IDS_BTN_UPDATE));
    EXPECT_TRUE(app.Enabled(IDC_UPDATE));
    EXPECT_EQ(app.Ask(IDC_PROGRESS, PBM_GETPOS), 0);
    EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == kEarlier);
    EXPECT_EQ(ReadFileBytes(app.File(L"Kelva_config.ini")), Utf16Bytes(*files.settings));
    EXPECT_FALSE(FileExists(DeviceFile(L'E')));
    EXPECT_FALSE(FileExists(app.File(L"Kelva_log.txt")));
}

TEST_F(Road, RefusedModelIsRefusedUntilTheNextDevice) {
    ASSERT_TRUE(Launch());
    ASSERT_TRUE(app.Plug(L'F', kRefused));
    EXPECT_TRUE(AnswerBox(IDS_MSG_DEVICE_REFUSED, IDS_CAPTION_WARNING));
    app.Click(IDC_UPDATE);
    EXPECT_TRUE(AnswerBox(IDS_MSG_DEVICE_REFUSED, IDS_CAPTION_WARNING));
    EXPECT_EQ(ServerRequests(), 0);
    EXPECT_FALSE(FileExists(DeviceFile(L'F')));
    ASSERT_TRUE(app.Unplug(L'F'));
    ASSERT_TRUE(app.Plug(L'E'));
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_TRUE(ReadFileBytes(DeviceFile(L'E')) == kServed);
}

// The two check boxes store what they show, and show only what was stored:
// where Windows refuses the machine-wide Run key, the user's key holds it.
TEST_F(Road, CheckBoxesShowWhatIsStored) {
    const auto has = [](HKEY root) {
        return RegGetValueW(root, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    };
    const DWORD one = 1;
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"MachineRunKeyDenied", REG_DWORD, &one, 4), 0);
    ASSERT_TRUE(Launch());
    EXPECT_EQ(app.Ask(IDC_STARTUP, BM_GETCHECK), BST_UNCHECKED);
    EXPECT_EQ(app.Ask(IDC_AUTO_UPDATE, BM_GETCHECK), BST_CHECKED);
    const struct {
        const char* what;
        bool denied, plantMachineValue;
        LRESULT shown;
        bool machine, user;
    } clicks[] = {
        {"tick, machine key refused", true, false, BST_CHECKED, false, true},
        {"untick, a machine value this user cannot remove", true, true, BST_CHECKED, true, false},
        {"untick, allowed", false, false, BST_UNCHECKED, false, false},
    };
    for (const auto& c : clicks) {
        if (c.plantMachineValue) RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, REG_SZ, L"x", 4);
        if (!c.denied) RegDeleteTreeW(HKEY_CURRENT_USER, kSimulationKey);
        app.Click(IDC_STARTUP);
        ASSERT_TRUE(app.Flush());
        EXPECT_EQ(app.Ask(IDC_STARTUP, BM_GETCHECK), c.shown) << c.what;
        EXPECT_EQ(has(HKEY_LOCAL_MACHINE), c.machine) << c.what;
        EXPECT_EQ(has(HKEY_CURRENT_USER), c.user) << c.what;
    }
    app.Click(IDC_AUTO_UPDATE);
    ASSERT_TRUE(app.Flush());
    EXPECT_EQ(FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini"))), L"[AUTO UPDATE]\r\n0\r\n");
}

TEST_F(Road, CloseHidesExitAsksAndWmCloseEnds) {
    ASSERT_TRUE(Launch());
    ASSERT_TRUE(app.TrayDoubleClick());
    ASSERT_TRUE(app.Visible());
    app.Click(IDC_CLOSE);
    ASSERT_TRUE(PumpUntil([&] { return !app.Visible(); }));
    app.TrayCommand(IDM_TRAY_EXIT);
    EXPECT_TRUE(AnswerBox(IDS_CONFIRM_EXIT, IDS_CAPTION_WARNING, IDCANCEL));
    ASSERT_TRUE(app.Flush());
    EXPECT_TRUE(app.Running());
    app.TrayCommand(IDM_TRAY_EXIT);
    EXPECT_TRUE(AnswerBox(IDS_CONFIRM_EXIT, IDS_CAPTION_WARNING, IDOK));
    DWORD code = 1;
    EXPECT_TRUE(app.WaitForExit(10000, &code));
    EXPECT_EQ(code, 0u);

    ASSERT_TRUE(app.Start() && app.WaitForDialog());
    EXPECT_TRUE(app.Shutdown()) << "WM_CLOSE did not end the program";
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
    EXPECT_TRUE(SetSimulatedDevice(L'E', nullptr) && (app.Shutdown() || !app.Running()));
    // As Windows starts a Run value: a command line, no application name.
    EXPECT_TRUE(app.Start(stored) && app.WaitForDialog()) << "the Run value did not start the program";
    for (const auto& file : planted) EXPECT_FALSE(FileExists(path(file) + L".ran")) << Show(file.first) << " ran";
}

}  // namespace
