// Closing the main dialog and ending the program: the Close button only hides,
// the caption's close asks first, a WM_CLOSE to the main window ends at once.
#include <gtest/gtest.h>

#include "app_driver.h"
#include "resources/resource.h"
#include "shell/string_ids.h"
#include "win_test_util.h"

class ExitAndClose : public AppTest {
protected:
    ExitAndClose() : AppTest(FENNIK_DIST_DIR) {}

    void ShowDialog() {
        ASSERT_TRUE(app.TrayDoubleClick());
        ASSERT_TRUE(AppDriver::WaitFor([&] { return app.DialogVisible(); })) << "the dialog did not show";
    }
    // The platform turns the caption's close into IDCANCEL for a dialog.
    void CloseFromCaption() { PostMessageW(app.MainDialog(), WM_CLOSE, 0, 0); }
};

TEST_F(ExitAndClose, CloseButtonOnlyHidesTheDialog) {
    ASSERT_TRUE(Launch());
    ShowDialog();
    app.Click(IDC_CLOSE);
    EXPECT_TRUE(AppDriver::WaitFor([&] { return !app.DialogVisible(); })) << "the dialog stayed visible";
    ASSERT_TRUE(app.Flush());
    EXPECT_TRUE(NoBox());
    EXPECT_TRUE(app.Running());
    EXPECT_TRUE(IsWindow(app.MainDialog()));
}

TEST_F(ExitAndClose, CaptionCloseAsksAndCancelKeepsTheProgramRunning) {
    ASSERT_TRUE(Launch());
    ShowDialog();
    CloseFromCaption();
    HWND box = app.WaitForMessageBox();
    ASSERT_TRUE(box) << "no confirmation";
    EXPECT_EQ(AppDriver::MessageBoxText(box), Str(IDS_CONFIRM_EXIT));
    EXPECT_EQ(AppDriver::MessageBoxCaption(box), Str(IDS_CAPTION_WARNING));
    EXPECT_TRUE(GetDlgItem(box, IDOK) && GetDlgItem(box, IDCANCEL)) << "the question needs OK and Cancel";
    ASSERT_TRUE(AppDriver::AnswerMessageBox(box, IDCANCEL));
    ASSERT_TRUE(app.Flush());
    EXPECT_TRUE(app.Running());
    EXPECT_TRUE(IsWindow(app.MainWindow()));
    EXPECT_TRUE(app.DialogVisible()) << "Cancel changed the dialog";

    // Asked again after a Cancel, and a second request while asking opens no second box.
    CloseFromCaption();
    box = app.WaitForMessageBox();
    ASSERT_TRUE(box) << "no confirmation the second time";
    CloseFromCaption();
    ASSERT_TRUE(app.Flush());
    int boxes = 0;
    for (HWND d : app.OwnedDialogs(app.MainDialog()))
        if (IsWindowVisible(d)) ++boxes;
    EXPECT_EQ(boxes, 1) << "a second confirmation opened";
    ASSERT_TRUE(AppDriver::AnswerMessageBox(box, IDCANCEL));
    ASSERT_TRUE(app.Flush());
    EXPECT_TRUE(NoBox());
    EXPECT_TRUE(app.Running());
}

TEST_F(ExitAndClose, OkInTheConfirmationEndsTheProgram) {
    ASSERT_TRUE(Launch());
    CloseFromCaption();  // also while the dialog is hidden
    HWND box = app.WaitForMessageBox();
    ASSERT_TRUE(box) << "no confirmation";
    EXPECT_EQ(AppDriver::MessageBoxText(box), Str(IDS_CONFIRM_EXIT));
    AppDriver::AnswerMessageBox(box, IDOK);
    DWORD exitCode = 0xFFFF;
    ASSERT_TRUE(app.WaitForExit(kWaitMs, &exitCode)) << "the program kept running after OK";
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(IsWindow(app.MainWindow()));
    EXPECT_EQ(AppDriver::CountMainWindows(), 0);
}

TEST_F(ExitAndClose, WmCloseToTheMainWindowEndsWithoutAsking) {
    ASSERT_TRUE(Launch());
    ShowDialog();
    HWND dialog = app.MainDialog();
    PostMessageW(app.MainWindow(), WM_CLOSE, 0, 0);
    DWORD exitCode = 0xFFFF;
    bool asked = false;
    const bool ended = AppDriver::WaitFor([&] {
        if (app.FindMessageBox()) asked = true;
        return !app.Running();
    });
    ASSERT_TRUE(ended) << (asked ? "the program asked for confirmation" : "the program kept running");
    EXPECT_FALSE(asked);
    ASSERT_TRUE(app.WaitForExit(0, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_FALSE(IsWindow(dialog));
}
