// The tray icon's double-click and the four tray menu commands, as the main
// window receives them.
#include <gtest/gtest.h>

#include "app_driver.h"
#include "resources/resource.h"
#include "shell/string_ids.h"
#include "win_test_util.h"

class TrayMenu : public AppTest {
protected:
    TrayMenu() : AppTest(FENNIK_DIST_DIR) {}
};

TEST_F(TrayMenu, ShowHideAndDoubleClick) {
    ASSERT_TRUE(Launch());
    app.TrayCommand(IDM_TRAY_SHOW);
    EXPECT_TRUE(AppDriver::WaitFor([&] { return app.DialogVisible(); })) << "Show did not show the dialog";
    app.TrayCommand(IDM_TRAY_HIDE);
    EXPECT_TRUE(AppDriver::WaitFor([&] { return !app.DialogVisible(); })) << "Hide did not hide the dialog";
    ASSERT_TRUE(app.TrayDoubleClick());
    EXPECT_TRUE(AppDriver::WaitFor([&] { return app.DialogVisible(); })) << "a double-click did not show the dialog";
    ASSERT_TRUE(app.Flush());
    EXPECT_TRUE(NoBox());
    EXPECT_EQ(server.RequestCount(), 0);
}

TEST_F(TrayMenu, UpdateShowsTheDialogAndStartsAnUpdate) {
    ASSERT_TRUE(Launch());
    ASSERT_FALSE(app.DialogVisible());
    app.TrayCommand(IDM_TRAY_UPDATE);
    EXPECT_TRUE(AppDriver::WaitFor([&] { return app.DialogVisible(); })) << "the dialog was not shown";
    EXPECT_TRUE(AnswerBox(IDS_MSG_DOWNLOAD_DONE, IDS_DOWNLOAD_DONE));
    EXPECT_EQ(server.RequestCount(), 1);
    EXPECT_TRUE(FileContent(app.RunFile(L"Ephemeris.ee")) == defaultBody);
}

TEST_F(TrayMenu, ExitAsksFirst) {
    ASSERT_TRUE(Launch());
    app.TrayCommand(IDM_TRAY_EXIT);
    HWND box = app.WaitForMessageBox();
    ASSERT_TRUE(box) << "Exit ended the program without asking, or did nothing";
    EXPECT_EQ(AppDriver::MessageBoxText(box), Str(IDS_CONFIRM_EXIT));
    ASSERT_TRUE(AppDriver::AnswerMessageBox(box, IDCANCEL));
    ASSERT_TRUE(app.Flush());
    EXPECT_TRUE(app.Running());

    app.TrayCommand(IDM_TRAY_EXIT);
    box = app.WaitForMessageBox();
    ASSERT_TRUE(box);
    AppDriver::AnswerMessageBox(box, IDOK);
    DWORD exitCode = 0xFFFF;
    ASSERT_TRUE(app.WaitForExit(kWaitMs, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}
