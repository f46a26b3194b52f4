// The device goes away between the download and the copy: the copy fails,
// the attempt is logged, the update time stays, and the next Update starts a
// new download.
#include <gtest/gtest.h>

#include <regex>

#include "app_driver.h"
#include "resources/resource.h"
#include "shell/string_ids.h"
#include "win_test_util.h"

class CopyFailure : public AppTest {
protected:
    CopyFailure() : AppTest(FENNIK_DIST_DIR) {}
    void TearDown() override {
        RestoreDeviceFolder(L'E');
        AppTest::TearDown();
    }
};

TEST_F(CopyFailure, DeviceGoneBeforeTheCopyFailsAndUpdateTriesAgain) {
    const std::string body = MakeTestBody(64 * 1024, 8);
    server.SetResponse(ServerResponse::SlowBody(body, 16 * 1024, 60000));
    ASSERT_TRUE(Launch());
    ASSERT_TRUE(app.PlugDevice(L'E'));
    ASSERT_TRUE(AppDriver::WaitFor([&] { return server.LastBodyBytesSent() == 16 * 1024u; }))
        << "the automatic update did not start; status " << Show(app.ControlText(IDC_STATUS));

    // The drive stays recorded (no volume event), but leads nowhere now.
    ASSERT_TRUE(RemoveDeviceFolder(L'E'));
    server.Release();
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_FAILED, IDS_COPY_FAILED));

    EXPECT_EQ(app.ControlText(IDC_STATUS), Str(IDS_COPY_FAILED) + L"...") << Show(app.ControlText(IDC_STATUS));
    EXPECT_EQ(app.ProgressPosition(), 0);
    EXPECT_EQ(app.ControlText(IDC_UPDATE), Str(IDS_BTN_UPDATE));
    EXPECT_TRUE(app.ControlEnabled(IDC_UPDATE));
    EXPECT_EQ(app.ControlText(IDC_UPDATE_TIME), L"") << "a failed copy set the update time";
    const std::wstring settings = FromUtf16Bytes(app.ReadRunFile(L"Kelva_config.ini"));
    EXPECT_EQ(settings.find(L"[UPDATE TIME]"), std::wstring::npos) << Show(settings);
    EXPECT_NE(settings.find(L"[DOWNLOAD TIME]\r\n"), std::wstring::npos) << "the download itself succeeded";
    EXPECT_TRUE(FileContent(app.RunFile(L"Ephemeris.ee")) == body);
    const std::wstring log = FromUtf16Bytes(app.ReadRunFile(L"Kelva_log.txt"));
    EXPECT_TRUE(std::regex_match(log, std::wregex(L"[^\r\n]*\tDownload to:\tE:\\\\Ephemeris\\.ee\r\n")))
        << "the failed attempt is logged once: " << Show(log);

    // The device is back: Update after CopyFailed downloads again and copies.
    ASSERT_TRUE(RestoreDeviceFolder(L'E'));
    const std::string second = MakeTestBody(20000, 9);
    server.SetResponse(ServerResponse::File(second));
    ASSERT_TRUE(PressUpdateUntilTaken());
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_EQ(server.RequestCount(), 2);
    EXPECT_TRUE(FileContent(DeviceRoot(L'E') + L"Ephemeris.ee") == second);
    EXPECT_NE(app.ControlText(IDC_UPDATE_TIME), L"");
}
