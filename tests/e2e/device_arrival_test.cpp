// What the program does when a device drive comes or goes: the automatic
// update (or nothing, with auto-update off), the refused model, two drives of
// one device, and a device that is already there when the program starts.
#include <gtest/gtest.h>

#include "app_driver.h"

#include <dbt.h>

#include "resources/resource.h"
#include "shell/string_ids.h"
#include "win_test_util.h"

class DeviceArrival : public AppTest {
protected:
    DeviceArrival() : AppTest(FENNIK_DIST_DIR) {}

    static RunFolderOptions AutoUpdateOff() {
        RunFolderOptions options;
        options.settings = SettingsFileBytes({{L"[AUTO UPDATE]\r\n", L"0"}});
        return options;
    }
    std::string OnDevice(wchar_t letter) { return FileContent(DeviceRoot(letter) + L"Ephemeris.ee"); }
};

TEST_F(DeviceArrival, PluggedDeviceShowsTheDialogAndUpdatesIt) {
    ASSERT_TRUE(Launch());
    ASSERT_FALSE(app.DialogVisible());
    ASSERT_TRUE(app.PlugDevice(L'E'));
    EXPECT_TRUE(AppDriver::WaitFor([&] { return app.DialogVisible(); })) << "the dialog was not shown";
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_EQ(server.RequestCount(), 1);
    EXPECT_TRUE(OnDevice(L'E') == defaultBody) << "E:\\Ephemeris.ee holds " << OnDevice(L'E').size() << " bytes";
}

TEST_F(DeviceArrival, WithAutoUpdateOffAPluggedDeviceChangesNothing) {
    ASSERT_TRUE(Launch(AutoUpdateOff()));
    ASSERT_TRUE(app.PlugDevice(L'E'));
    ASSERT_TRUE(app.Flush());
    EXPECT_FALSE(app.DialogVisible());
    EXPECT_TRUE(NoBox());
    EXPECT_EQ(server.RequestCount(), 0);
    EXPECT_EQ(app.ControlText(IDC_STATUS), L"") << Show(app.ControlText(IDC_STATUS));
    EXPECT_FALSE(FileExists(DeviceRoot(L'E') + L"Ephemeris.ee"));

    // The device is known all the same: a manual update copies to it.
    app.Click(IDC_UPDATE);
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_TRUE(OnDevice(L'E') == defaultBody);
}

TEST_F(DeviceArrival, RefusedModelWarnsAndUpdateRefusesUntilTheNextDeviceEvent) {
    ASSERT_TRUE(Launch());
    ASSERT_TRUE(app.PlugDevice(L'E', kRefusedDeviceId));
    EXPECT_TRUE(AnswerBox(IDS_MSG_DEVICE_REFUSED, IDS_CAPTION_WARNING));
    EXPECT_TRUE(app.DialogVisible()) << "the refusal did not show the dialog";
    EXPECT_EQ(server.RequestCount(), 0);

    app.Click(IDC_UPDATE);
    EXPECT_TRUE(AnswerBox(IDS_MSG_DEVICE_REFUSED, IDS_CAPTION_WARNING)) << "Update did not repeat the refusal";
    app.TrayCommand(IDM_TRAY_UPDATE);
    EXPECT_TRUE(AnswerBox(IDS_MSG_DEVICE_REFUSED, IDS_CAPTION_WARNING)) << "the tray's Update did not repeat the refusal";
    ASSERT_TRUE(app.Flush());
    EXPECT_EQ(server.RequestCount(), 0) << "a refused device let an update start";
    EXPECT_EQ(app.ControlText(IDC_STATUS), L"");
    EXPECT_EQ(app.ControlText(IDC_UPDATE), Str(IDS_BTN_UPDATE));

    // Unplugging it allows updates again.
    ASSERT_TRUE(app.UnplugDevice(L'E'));
    ASSERT_TRUE(app.Flush());
    EXPECT_TRUE(NoBox());
    app.Click(IDC_UPDATE);
    EXPECT_TRUE(AnswerBox(IDS_MSG_DOWNLOAD_DONE, IDS_DOWNLOAD_DONE));
    EXPECT_EQ(server.RequestCount(), 1);
    EXPECT_FALSE(FileExists(DeviceRoot(L'E') + L"Ephemeris.ee")) << "the refused device got the file";
}

TEST_F(DeviceArrival, TwoDriveDeviceGetsTheFileOnTheFirstDriveOnly) {
    ASSERT_TRUE(Launch());
    ASSERT_TRUE(SetSimulatedDevice(L'F', kAcceptedDeviceId));
    ASSERT_TRUE(SetSimulatedDevice(L'E', kAcceptedDeviceId));
    ASSERT_TRUE(app.SendVolumeEvent(DBT_DEVICEARRIVAL, L'F'));
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_TRUE(OnDevice(L'E') == defaultBody);
    EXPECT_FALSE(FileExists(DeviceRoot(L'F') + L"Ephemeris.ee")) << "the second drive got a copy too";
    const std::wstring log = FromUtf16Bytes(app.ReadRunFile(L"Kelva_log.txt"));
    EXPECT_NE(log.find(L"\tDownload to:\tE:\\Ephemeris.ee\r\n"), std::wstring::npos) << Show(log);
    EXPECT_EQ(log.find(L"F:\\"), std::wstring::npos) << Show(log);
    ASSERT_TRUE(app.Flush());
    EXPECT_EQ(server.RequestCount(), 1) << "one arrival, one update";
}

TEST_F(DeviceArrival, DeviceAttachedAtStartUpIsUpdatedWithoutAnyUserAction) {
    ASSERT_TRUE(PrepareOnly());
    ASSERT_TRUE(SetSimulatedDevice(L'E', kAcceptedDeviceId));
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(app.WaitForMainDialog());
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_TRUE(app.DialogVisible());
    EXPECT_EQ(server.RequestCount(), 1);
    EXPECT_TRUE(OnDevice(L'E') == defaultBody);
}

TEST_F(DeviceArrival, DeviceAttachedAtStartUpWithAutoUpdateOffIsLeftAlone) {
    ASSERT_TRUE(PrepareOnly(AutoUpdateOff()));
    ASSERT_TRUE(SetSimulatedDevice(L'E', kAcceptedDeviceId));
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(app.WaitForMainDialog());
    ASSERT_TRUE(app.Flush());
    EXPECT_FALSE(app.DialogVisible());
    EXPECT_TRUE(NoBox());
    EXPECT_EQ(server.RequestCount(), 0);
    EXPECT_FALSE(FileExists(DeviceRoot(L'E') + L"Ephemeris.ee"));
}
