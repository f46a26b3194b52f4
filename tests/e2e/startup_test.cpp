// Start-up of the program as a user meets it: the splash, the hidden main
// dialog with its first contents, the single-instance hand-over, and a start
// without the string module.
#include <gtest/gtest.h>

#include "app_driver.h"
#include "resources/resource.h"
#include "shell/string_ids.h"
#include "win_test_util.h"

class StartUp : public AppTest {
protected:
    StartUp() : AppTest(FENNIK_DIST_DIR) {}
};

TEST_F(StartUp, SplashComesFirstThenTheMainDialogIsCreatedHidden) {
    ASSERT_TRUE(PrepareOnly());
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(app.WaitForMainWindow()) << "no main window";
    EXPECT_FALSE(IsWindowVisible(app.MainWindow())) << "the main window is never shown";

    // The splash: a dialog of the main window without the Update button.
    bool sawSplashAlone = false;
    AppDriver::WaitFor([&] {
        bool splash = false, mainDialog = false;
        for (HWND d : app.OwnedDialogs(app.MainWindow())) {
            if (GetDlgItem(d, IDC_UPDATE)) mainDialog = true;
            else if (IsWindowVisible(d)) splash = true;
        }
        sawSplashAlone = splash && !mainDialog;
        return splash || mainDialog;
    });
    EXPECT_TRUE(sawSplashAlone) << "the main dialog existed before the splash had gone";

    ASSERT_TRUE(app.WaitForMainDialog()) << "no main dialog after the splash";
    ASSERT_TRUE(app.Flush());
    EXPECT_FALSE(app.DialogVisible()) << "the main dialog shows itself at start-up";
    EXPECT_TRUE(NoBox());
    EXPECT_EQ(server.RequestCount(), 0) << "an update started on its own";
}

TEST_F(StartUp, FirstStartWithoutSettingsShowsEmptyTimesAndDefaults) {
    ASSERT_TRUE(Launch());
    ASSERT_TRUE(app.Flush());
    EXPECT_FALSE(app.DialogVisible());

    EXPECT_EQ(AppDriver::WindowText(app.MainDialog()), Str(IDS_APP_TITLE));
    EXPECT_EQ(Str(IDS_BTN_UPDATE), L"Update") << "the English string module is expected";
    EXPECT_EQ(app.ControlText(IDC_UPDATE), Str(IDS_BTN_UPDATE));
    EXPECT_TRUE(app.ControlEnabled(IDC_UPDATE));
    EXPECT_EQ(app.ControlText(IDC_CLOSE), Str(IDS_BTN_CLOSE));
    EXPECT_EQ(app.ControlText(IDC_DOWNLOAD_LABEL), Str(IDS_LABEL_DOWNLOADED));
    EXPECT_EQ(app.ControlText(IDC_UPDATE_LABEL), Str(IDS_LABEL_UPDATED));
    EXPECT_EQ(app.ControlText(IDC_EXPIRE_LABEL), Str(IDS_LABEL_EXPIRES));
    EXPECT_EQ(app.ControlText(IDC_AUTO_UPDATE), Str(IDS_CHK_AUTO_UPDATE));
    EXPECT_EQ(app.ControlText(IDC_STARTUP), Str(IDS_CHK_STARTUP));

    EXPECT_EQ(app.ControlText(IDC_DOWNLOAD_TIME), L"") << Show(app.ControlText(IDC_DOWNLOAD_TIME));
    EXPECT_EQ(app.ControlText(IDC_UPDATE_TIME), L"") << Show(app.ControlText(IDC_UPDATE_TIME));
    EXPECT_EQ(app.ControlText(IDC_EXPIRE_TIME), L"") << Show(app.ControlText(IDC_EXPIRE_TIME));
    EXPECT_EQ(app.ControlText(IDC_STATUS), L"") << Show(app.ControlText(IDC_STATUS));
    EXPECT_EQ(app.ProgressPosition(), 0);
    EXPECT_EQ(app.CheckState(IDC_AUTO_UPDATE), BST_CHECKED) << "a missing setting means auto-update on";
    EXPECT_EQ(app.CheckState(IDC_STARTUP), BST_UNCHECKED) << "no Run value";

    EXPECT_FALSE(FileExists(app.RunFile(L"Kelva_config.ini"))) << "reading the settings created the file";
    EXPECT_FALSE(FileExists(app.RunFile(L"Kelva_log.txt")));
}

TEST_F(StartUp, StoredTimesAndSettingsAreShown) {
    SYSTEMTIME downloaded{};
    downloaded.wYear = 2031;
    downloaded.wMonth = 2;
    downloaded.wDay = 27;
    downloaded.wHour = 23;
    downloaded.wMinute = 5;
    const SYSTEMTIME expires = AddMinutes(downloaded, 3 * 24 * 60);
    SYSTEMTIME updated = downloaded;
    updated.wMinute = 6;
    RunFolderOptions options;
    options.settings = SettingsFileBytes({{L"[DOWNLOAD TIME]\r\n", StampText(downloaded)},
                                          {L"[EXPIRE TIME]\r\n", StampText(expires)},
                                          {L"[UPDATE TIME]\r\n", StampText(updated)},
                                          {L"[AUTO UPDATE]\r\n", L"0"}});
    ASSERT_TRUE(Launch(options));
    EXPECT_EQ(app.ControlText(IDC_DOWNLOAD_TIME), L"2031/02/27\t23:05") << Show(app.ControlText(IDC_DOWNLOAD_TIME));
    EXPECT_EQ(app.ControlText(IDC_EXPIRE_TIME), L"2031/03/02\t23:05") << Show(app.ControlText(IDC_EXPIRE_TIME));
    EXPECT_EQ(app.ControlText(IDC_UPDATE_TIME), L"2031/02/27\t23:06") << Show(app.ControlText(IDC_UPDATE_TIME));
    EXPECT_EQ(app.CheckState(IDC_AUTO_UPDATE), BST_UNCHECKED);
    EXPECT_EQ(app.ReadRunFile(L"Kelva_config.ini"), *options.settings) << "reading changed the settings file";
}

TEST_F(StartUp, SecondInstanceHandsOverToTheRunningOne) {
    ASSERT_TRUE(Launch());
    ASSERT_FALSE(app.DialogVisible());
    DWORD exitCode = 0xFFFF;
    ASSERT_TRUE(app.RunSecondInstance(&exitCode)) << "the second instance did not end";
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(AppDriver::WaitFor([&] { return app.DialogVisible(); })) << "the running dialog was not shown";
    EXPECT_TRUE(app.Running());
    EXPECT_EQ(AppDriver::CountMainWindows(), 1) << "a second main window exists";
    EXPECT_EQ(app.OwnedDialogs(app.MainWindow()).size(), 1u) << "a second splash or dialog came up";
}

TEST_F(StartUp, WithoutTheStringModuleTheProgramRunsWithEmptyTexts) {
    RunFolderOptions options;
    options.withStringModule = false;
    ASSERT_TRUE(Launch(options));
    EXPECT_EQ(AppDriver::WindowText(app.MainDialog()), L"");
    EXPECT_EQ(AppDriver::WindowText(app.MainWindow()), L"");
    EXPECT_EQ(app.ControlText(IDC_UPDATE), L"");
    EXPECT_EQ(app.ControlText(IDC_CLOSE), L"");
    EXPECT_EQ(app.ControlText(IDC_AUTO_UPDATE), L"");
    EXPECT_EQ(app.ControlText(IDC_DOWNLOAD_LABEL), L"");

    // It still works: shown from the tray, an update still runs.
    ASSERT_TRUE(app.TrayDoubleClick());
    EXPECT_TRUE(AppDriver::WaitFor([&] { return app.DialogVisible(); }));
    app.Click(IDC_UPDATE);
    HWND box = app.WaitForMessageBox();
    ASSERT_TRUE(box) << "no result of the update";
    EXPECT_EQ(AppDriver::MessageBoxText(box), L"");
    EXPECT_TRUE(AppDriver::AnswerMessageBox(box, IDOK));
    EXPECT_EQ(server.RequestCount(), 1);
    EXPECT_TRUE(FileContent(app.RunFile(L"Ephemeris.ee")) == defaultBody);
}
