// The main dialog's pure helpers: the status animation and window centring.
#include <gtest/gtest.h>

#include <string>

#include "shell/app_state.h"
#include "shell/string_table.h"
#include "base/text.h"
#include "workflow/main_dialog.h"

namespace {

std::wstring Status(int32_t frame, int percent) {
    wchar_t buf[kTextChars] = {};
    FormatAnimationStatus(frame, percent, buf);
    return std::wstring(TextOf(buf));
}

class StatusAnimation : public testing::Test {
protected:
    void SetUp() override {
        app.stringModule = LoadLibraryExW(L"" FENNIK_STRING_MODULE_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(app.stringModule, nullptr);
    }
    void TearDown() override { ReleaseStringModule(); }
};

TEST_F(StatusAnimation, FramesCycleEveryEightSteps) {
    const wchar_t* frames[] = {L"         |", L" .       /", L" ..      -", L" ...     \\",
                               L" ....    |", L" .....   /", L" ......  -", L" ....... \\"};
    for (int32_t frame = 0; frame < 10; ++frame)
        EXPECT_EQ(Status(frame, 0), std::wstring(L"Downloading") + frames[frame % 8]) << "frame " << frame;
    // A counter that wrapped into negative numbers: remainders below 0 show the last frame.
    EXPECT_EQ(Status(-1, 0), std::wstring(L"Downloading") + frames[7]);
    EXPECT_EQ(Status(INT32_MIN, 0), std::wstring(L"Downloading") + frames[0]);
}

TEST_F(StatusAnimation, PercentageFollowsATab) {
    EXPECT_EQ(Status(3, 42), L"Downloading ...     \\\t42%");
    EXPECT_EQ(Status(0, 150), L"Downloading         |\t150%");
}

TEST_F(StatusAnimation, WithoutStringModuleOnlyTheSpinnerShows) {
    ReleaseStringModule();
    EXPECT_EQ(Status(1, 0), L" .       /");
}

TEST(WindowCentring, TruncatesTowardZero) {
    EXPECT_EQ(CenteredPosition(1024, 768, 405, 300).x, 309);
    EXPECT_EQ(CenteredPosition(300, 768, 405, 300).x, -52);
    const POINT splash1280 = CenteredPosition(1280, 1024, 489, 281);
    EXPECT_EQ(splash1280.x, 395);
    EXPECT_EQ(splash1280.y, 371);
    const POINT splash1920 = CenteredPosition(1920, 1080, 489, 281);
    EXPECT_EQ(splash1920.x, 715);
    EXPECT_EQ(splash1920.y, 399);
}

}  // namespace
