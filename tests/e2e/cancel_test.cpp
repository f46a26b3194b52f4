// Cancelling a download with the Update button: while the program still waits
// for the server, and while data arrives. A cancelled update never reaches
// the device and ends in the resting state with the cancellation notice.
#include <gtest/gtest.h>

#include "app_driver.h"
#include "resources/resource.h"
#include "shell/string_ids.h"
#include "win_test_util.h"

class CancelDownload : public AppTest {
protected:
    CancelDownload() : AppTest(FENNIK_DIST_DIR) {}

    // A good, unexpired local file and a known device, but auto-update off:
    // without the cancellation the download would end in a copy.
    void LaunchWithEarlierDownloadAndDevice() {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        expiresText = StampText(AddMinutes(now, 2 * 24 * 60));
        downloadedText = StampText(AddMinutes(now, -24 * 60));
        RunFolderOptions options;
        options.settings = SettingsFileBytes({{L"[DOWNLOAD TIME]\r\n", downloadedText},
                                              {L"[EXPIRE TIME]\r\n", expiresText},
                                              {L"[AUTO UPDATE]\r\n", L"0"}});
        options.ephemeris = std::vector<unsigned char>(goodLocal.begin(), goodLocal.end());
        seededSettings = *options.settings;
        ASSERT_TRUE(Launch(options));
        ASSERT_TRUE(app.PlugDevice(L'E'));
        ASSERT_TRUE(app.TrayDoubleClick());
        ASSERT_TRUE(app.Flush());
        ASSERT_TRUE(NoBox());
        ASSERT_EQ(server.RequestCount(), 0);
    }
    std::wstring Status() { return app.ControlText(IDC_STATUS); }
    void ExpectRestingAfterCancel() {
        EXPECT_EQ(Status(), L"") << Show(Status());
        EXPECT_EQ(app.ControlText(IDC_UPDATE), Str(IDS_BTN_UPDATE));
        EXPECT_TRUE(app.ControlEnabled(IDC_UPDATE));
        EXPECT_EQ(app.ProgressPosition(), 0);
        EXPECT_FALSE(FileExists(DeviceRoot(L'E') + L"Ephemeris.ee")) << "a cancelled update reached the device";
        EXPECT_FALSE(FileExists(app.RunFile(L"Kelva_log.txt"))) << "a copy was attempted";
    }

    const std::string goodLocal = MakeTestBody(11111, 3);
    std::wstring downloadedText;
    std::wstring expiresText;
    std::vector<unsigned char> seededSettings;
};

TEST_F(CancelDownload, CancelWhileConnectingLeavesEverythingAsItWas) {
    server.SetResponse(ServerResponse::SlowHeaders(defaultBody, 60000));
    LaunchWithEarlierDownloadAndDevice();
    app.Click(IDC_UPDATE);
    const std::wstring connecting = Str(IDS_STATUS_STARTING) + L"...";
    ASSERT_TRUE(AppDriver::WaitFor([&] { return Status() == connecting && server.Serving(); }))
        << "status " << Show(Status()) << ", server serving " << server.Serving();
    EXPECT_EQ(app.ControlText(IDC_UPDATE), Str(IDS_BTN_CANCEL));
    EXPECT_TRUE(app.ControlEnabled(IDC_UPDATE)) << "the button must stay usable to cancel";
    EXPECT_EQ(app.ProgressPosition(), 0);

    app.Click(IDC_UPDATE);
    const std::wstring cancelling = Str(IDS_STATUS_CANCELLING) + L"...";
    EXPECT_TRUE(AppDriver::WaitFor([&] { return Status() == cancelling; })) << Show(Status());
    EXPECT_FALSE(app.ControlEnabled(IDC_UPDATE)) << "the button stays enabled while cancelling";
    EXPECT_TRUE(NoBox()) << "the notice came before the download ended";

    server.Release();  // the next report from the download lets the cancellation act
    EXPECT_TRUE(AnswerBox(IDS_MSG_CANCELLED, IDS_CAPTION_WARNING));
    ExpectRestingAfterCancel();
    EXPECT_TRUE(FileContent(app.RunFile(L"Ephemeris.ee")) == goodLocal) << "the local file changed";
    EXPECT_EQ(app.ReadRunFile(L"Kelva_config.ini"), seededSettings)
        << Show(FromUtf16Bytes(app.ReadRunFile(L"Kelva_config.ini")));
    EXPECT_EQ(app.ControlText(IDC_DOWNLOAD_TIME), downloadedText);
    EXPECT_EQ(app.ControlText(IDC_EXPIRE_TIME), expiresText);

    // From the resting state the next Update starts a fresh download.
    server.SetResponse(ServerResponse::File(defaultBody));
    ASSERT_TRUE(PressUpdateUntilTaken());
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_EQ(server.RequestCount(), 2);
}

TEST_F(CancelDownload, CancelWhileReceivingEndsWithTheNotice) {
    const std::string body = MakeTestBody(64 * 1024, 4);
    server.SetResponse(ServerResponse::SlowBody(body, 16 * 1024, 60000));
    LaunchWithEarlierDownloadAndDevice();
    app.Click(IDC_UPDATE);
    const std::wstring downloading = Str(IDS_STATUS_DOWNLOADING);
    ASSERT_TRUE(AppDriver::WaitFor([&] { return Status().compare(0, downloading.size(), downloading) == 0; }))
        << "no download animation; status " << Show(Status());
    EXPECT_EQ(server.LastBodyBytesSent(), 16 * 1024u);

    app.Click(IDC_UPDATE);
    EXPECT_TRUE(AppDriver::WaitFor([&] { return !app.ControlEnabled(IDC_UPDATE); })) << "no cancelling state";
    EXPECT_TRUE(NoBox());

    server.Release();
    EXPECT_TRUE(AnswerBox(IDS_MSG_CANCELLED, IDS_CAPTION_WARNING));
    ExpectRestingAfterCancel();
    // The platform may already have all data when the refusal reaches it;
    // either way the local file is whole: the old one or the new one.
    const std::string local = FileContent(app.RunFile(L"Ephemeris.ee"));
    EXPECT_TRUE(local == goodLocal || local == body) << "the local file is damaged: " << local.size() << " bytes";
    if (local == goodLocal) {
        EXPECT_EQ(app.ReadRunFile(L"Kelva_config.ini"), seededSettings) << "times changed, file did not";
        EXPECT_EQ(app.ControlText(IDC_DOWNLOAD_TIME), downloadedText);
    }
}
