// The tray record: its layout by shell version and the tooltip bound.
#include <gtest/gtest.h>

#include <string>

#include "shell/app_state.h"
#include "shell/tray_icon.h"

namespace {

TEST(TrayRecord, LayoutFollowsTheShellVersion) {
    EXPECT_EQ(TrayRecordSize(0x60000), NOTIFYICONDATAW_V3_SIZE);
    EXPECT_EQ(TrayRecordSize(0x60001), NOTIFYICONDATAW_V3_SIZE);
    EXPECT_EQ(TrayRecordSize(0x50050), NOTIFYICONDATAW_V2_SIZE) << "5.80 lies between 5.0 and 6.0";
    EXPECT_EQ(TrayRecordSize(0x40048), NOTIFYICONDATAW_V1_SIZE);
    EXPECT_EQ(TrayRecordSize(0), NOTIFYICONDATAW_V1_SIZE);
#ifndef _WIN64
    EXPECT_EQ(NOTIFYICONDATAW_V3_SIZE, 952u);
    EXPECT_EQ(NOTIFYICONDATAW_V2_SIZE, 936u);
    EXPECT_EQ(NOTIFYICONDATAW_V1_SIZE, 152u);
#endif
}

TEST(TrayRecord, ShellVersionIsReadAndTheModuleReleased) {
    HMODULE shell = LoadLibraryW(L"Shell32.dll");
    ASSERT_NE(shell, nullptr);
    const uint32_t version = GetShellVersion(shell);
    EXPECT_GE(version, 0x50000u) << std::hex << version;
    HMODULE kernel = LoadLibraryW(L"kernel32.dll");
    EXPECT_EQ(GetShellVersion(kernel), 0u) << "no DllGetVersion";
}

TEST(TrayRecord, TooltipIsCutTo127Characters) {
    app.trayIconData = NOTIFYICONDATAW{};
    const std::wstring longTip(200, L'x');
    TrayUpdateTip(longTip.c_str());
    EXPECT_EQ(std::wstring(app.trayIconData.szTip), std::wstring(127, L'x'));
    EXPECT_EQ(app.trayIconData.hIcon, nullptr) << "the icon is released after each call";
}

}  // namespace
