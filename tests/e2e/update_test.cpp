// The typical update from start to end: download, local file, times in the
// dialog and in the settings file, copy to the device, log line, result box;
// and which Update commands start a new download afterwards.
#include <gtest/gtest.h>

#include <regex>

#include "app_driver.h"
#include "resources/resource.h"
#include "shell/string_ids.h"
#include "win_test_util.h"

class UpdateRoad : public AppTest {
protected:
    UpdateRoad() : AppTest(FENNIK_DIST_DIR) {}

    static SYSTEMTIME Now() {
        SYSTEMTIME t{};
        GetLocalTime(&t);
        return t;
    }
    // The text is a timestamp that lies between `before` and `after`.
    static ::testing::AssertionResult StampBetween(const std::wstring& text, const SYSTEMTIME& before,
                                                   const SYSTEMTIME& after) {
        SYSTEMTIME t{};
        if (!ParseStamp(text, &t)) return ::testing::AssertionFailure() << Show(text) << " is no timestamp";
        if (MinutesBetween(before, t) < 0 || MinutesBetween(t, after) < 0)
            return ::testing::AssertionFailure() << Show(text) << " is outside " << Show(StampText(before)) << " .. "
                                                 << Show(StampText(after));
        return ::testing::AssertionSuccess();
    }
};

TEST_F(UpdateRoad, DevicePluggedInGetsTheDownloadedFile) {
    ASSERT_TRUE(Launch());
    const SYSTEMTIME before = Now();
    ASSERT_TRUE(app.PlugDevice(L'E'));
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    const SYSTEMTIME after = Now();

    EXPECT_EQ(server.RequestCount(), 1);
    EXPECT_EQ(server.LastRequestLine(), "GET /check.asp?f=packedEphemeris.ee HTTP/1.1");
    EXPECT_TRUE(FileContent(DeviceRoot(L'E') + L"Ephemeris.ee") == defaultBody)
        << "E:\\Ephemeris.ee: " << FileContent(DeviceRoot(L'E') + L"Ephemeris.ee").size() << " bytes";
    EXPECT_TRUE(FileContent(app.RunFile(L"Ephemeris.ee")) == defaultBody)
        << "local Ephemeris.ee: " << FileContent(app.RunFile(L"Ephemeris.ee")).size() << " bytes";
    EXPECT_FALSE(FileExists(app.RunFile(L"packedEphemeris.ee"))) << "the download was not moved into place";

    // Exactly one log line, UTF-16LE without byte order mark.
    const std::vector<unsigned char> logBytes = app.ReadRunFile(L"Kelva_log.txt");
    ASSERT_GE(logBytes.size(), 2u) << "no log";
    EXPECT_FALSE(logBytes[0] == 0xFF && logBytes[1] == 0xFE) << "the log starts with a byte order mark";
    const std::wstring log = FromUtf16Bytes(logBytes);
    EXPECT_TRUE(std::regex_match(log, std::wregex(L"\\d\\d/\\d\\d  \\d\\d:\\d\\d\\.\\d\\d::\\d\\d\\d\tDownload to:\tE:\\\\Ephemeris\\.ee\r\n")))
        << Show(log);
    wchar_t today[8];
    swprintf(today, 8, L"%02d/%02d", before.wMonth, before.wDay);
    wchar_t todayAfter[8];
    swprintf(todayAfter, 8, L"%02d/%02d", after.wMonth, after.wDay);
    EXPECT_TRUE(log.compare(0, 5, today) == 0 || log.compare(0, 5, todayAfter) == 0) << Show(log);

    // The three times in the dialog, and the same in the settings file.
    const std::wstring downloaded = app.ControlText(IDC_DOWNLOAD_TIME);
    const std::wstring expires = app.ControlText(IDC_EXPIRE_TIME);
    const std::wstring updated = app.ControlText(IDC_UPDATE_TIME);
    EXPECT_TRUE(StampBetween(downloaded, before, after));
    EXPECT_TRUE(StampBetween(updated, before, after));
    SYSTEMTIME d{};
    if (ParseStamp(downloaded, &d)) {
        EXPECT_EQ(expires, StampText(AddMinutes(d, 3 * 24 * 60))) << "expiry is not three days on";
    }
    const std::wstring settings = FromUtf16Bytes(app.ReadRunFile(L"Kelva_config.ini"));
    EXPECT_EQ(SettingsValue(settings, L"[DOWNLOAD TIME]\r\n", 18), downloaded + L"\r\n") << Show(settings);
    EXPECT_EQ(SettingsValue(settings, L"[EXPIRE TIME]\r\n", 18), expires + L"\r\n") << Show(settings);
    EXPECT_EQ(SettingsValue(settings, L"[UPDATE TIME]\r\n", 18), updated + L"\r\n") << Show(settings);

    EXPECT_EQ(app.ControlText(IDC_STATUS), Str(IDS_COPY_DONE) + L"...");
    EXPECT_EQ(app.ProgressPosition(), 100);
    EXPECT_EQ(app.ControlText(IDC_UPDATE), Str(IDS_BTN_UPDATE));
    EXPECT_TRUE(app.ControlEnabled(IDC_UPDATE));
}

TEST_F(UpdateRoad, UpdateWithoutDeviceReportsTheDownload) {
    ASSERT_TRUE(Launch());
    ASSERT_TRUE(app.TrayDoubleClick());
    const SYSTEMTIME before = Now();
    app.Click(IDC_UPDATE);
    EXPECT_TRUE(AnswerBox(IDS_MSG_DOWNLOAD_DONE, IDS_DOWNLOAD_DONE));
    const SYSTEMTIME after = Now();

    EXPECT_EQ(app.ControlText(IDC_STATUS), Str(IDS_DOWNLOAD_DONE) + L"...\t100%") << Show(app.ControlText(IDC_STATUS));
    EXPECT_EQ(app.ProgressPosition(), 100);
    EXPECT_EQ(app.ControlText(IDC_UPDATE), Str(IDS_BTN_UPDATE));
    EXPECT_TRUE(app.ControlEnabled(IDC_UPDATE));
    EXPECT_TRUE(FileContent(app.RunFile(L"Ephemeris.ee")) == defaultBody);
    EXPECT_TRUE(StampBetween(app.ControlText(IDC_DOWNLOAD_TIME), before, after));
    EXPECT_NE(app.ControlText(IDC_EXPIRE_TIME), L"");
    EXPECT_EQ(app.ControlText(IDC_UPDATE_TIME), L"") << "no copy, no update time";
    EXPECT_FALSE(FileExists(app.RunFile(L"Kelva_log.txt"))) << "a log line without a copy";
    EXPECT_EQ(server.RequestCount(), 1);
}

TEST_F(UpdateRoad, TenMegabyteFileArrivesWhole) {
    const std::string big = MakeTestBody(10 * 1024 * 1024, 77);
    server.SetResponse(ServerResponse::File(big));
    ASSERT_TRUE(Launch());
    ASSERT_TRUE(app.PlugDevice(L'E'));
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_TRUE(FileContent(app.RunFile(L"Ephemeris.ee")) == big);
    EXPECT_TRUE(FileContent(DeviceRoot(L'E') + L"Ephemeris.ee") == big);
}

TEST_F(UpdateRoad, UpdateDuringTheResultNoticeStartsNothingAndAfterItStartsANewDownload) {
    ASSERT_TRUE(Launch());
    ASSERT_TRUE(app.PlugDevice(L'E'));
    HWND box = app.WaitForMessageBox();
    ASSERT_TRUE(box) << "no result of the first update";
    EXPECT_EQ(AppDriver::MessageBoxText(box), Str(IDS_MSG_COPY_DONE));

    // The copy worker still waits in its notice: neither the button's command
    // nor the tray's Update item may start a second worker.
    app.Command(IDC_UPDATE);
    app.TrayCommand(IDM_TRAY_UPDATE);
    ASSERT_TRUE(app.Flush());
    EXPECT_EQ(server.RequestCount(), 1) << "a second download started while the notice was open";
    EXPECT_EQ(app.ControlText(IDC_STATUS), Str(IDS_COPY_DONE) + L"...") << Show(app.ControlText(IDC_STATUS));
    ASSERT_TRUE(AppDriver::AnswerMessageBox(box, IDOK));
    ASSERT_TRUE(app.Flush());
    EXPECT_TRUE(NoBox());
    EXPECT_EQ(server.RequestCount(), 1);

    // Update after Copied: a new download, copied again.
    const std::string second = MakeTestBody(30000, 2);
    server.SetResponse(ServerResponse::File(second));
    ASSERT_TRUE(PressUpdateUntilTaken());
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_EQ(server.RequestCount(), 2);
    EXPECT_TRUE(FileContent(DeviceRoot(L'E') + L"Ephemeris.ee") == second) << "the device kept the old file";
    const std::wstring log = FromUtf16Bytes(app.ReadRunFile(L"Kelva_log.txt"));
    EXPECT_TRUE(std::regex_match(log, std::wregex(L"([^\r\n]*\tDownload to:\tE:\\\\Ephemeris\\.ee\r\n){2}"))) << Show(log);
}
