// The two check boxes of the main dialog and where they leave their settings:
// auto-update in the settings file, start with Windows in the Run value.
#include <gtest/gtest.h>

#include "app_driver.h"
#include "resources/resource.h"
#include "win_test_util.h"

class SettingsBoxes : public AppTest {
protected:
    SettingsBoxes() : AppTest(FENNIK_DIST_DIR) {}

    std::wstring SettingsText() { return FromUtf16Bytes(app.ReadRunFile(L"Kelva_config.ini")); }
    std::wstring RunValueData() {
        wchar_t data[1024] = {};
        DWORD size = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return L"<no key>";
        const LONG rc = RegQueryValueExW(key, kRunValueName, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) return L"<no value>";
        return type == REG_SZ ? std::wstring(data) : L"<not REG_SZ>";
    }
};

TEST_F(SettingsBoxes, AutoUpdateBoxWritesTheSettingsFile) {
    ASSERT_TRUE(Launch());
    ASSERT_EQ(app.CheckState(IDC_AUTO_UPDATE), BST_CHECKED);

    app.Click(IDC_AUTO_UPDATE);
    ASSERT_TRUE(AppDriver::WaitFor([&] { return SettingsText() == L"[AUTO UPDATE]\r\n0\r\n"; }))
        << Show(SettingsText());
    EXPECT_EQ(app.CheckState(IDC_AUTO_UPDATE), BST_UNCHECKED);
    const std::vector<unsigned char> bytes = app.ReadRunFile(L"Kelva_config.ini");
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes[0], '[') << "the file starts with a byte order mark or other bytes";

    app.Click(IDC_AUTO_UPDATE);
    ASSERT_TRUE(AppDriver::WaitFor([&] { return SettingsText() == L"[AUTO UPDATE]\r\n1\r\n"; }))
        << Show(SettingsText());
    EXPECT_EQ(app.CheckState(IDC_AUTO_UPDATE), BST_CHECKED);

    app.Click(IDC_AUTO_UPDATE);
    ASSERT_TRUE(AppDriver::WaitFor([&] { return SettingsText() == L"[AUTO UPDATE]\r\n0\r\n"; }))
        << Show(SettingsText());

    // The next start reads it back.
    ASSERT_TRUE(app.Shutdown());
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(app.WaitForMainDialog());
    EXPECT_EQ(app.CheckState(IDC_AUTO_UPDATE), BST_UNCHECKED);
}

TEST_F(SettingsBoxes, StartupBoxWritesAndDeletesTheRunValue) {
    ASSERT_TRUE(Launch());
    ASSERT_EQ(app.CheckState(IDC_STARTUP), BST_UNCHECKED);

    app.Click(IDC_STARTUP);
    ASSERT_TRUE(AppDriver::WaitFor([&] { return RunValueExists(); })) << "no Run value written";
    const std::wstring exe = app.RunFile(L"GpsFennik.exe");
    EXPECT_EQ(CompareStringOrdinal(RunValueData().c_str(), -1, exe.c_str(), -1, TRUE), CSTR_EQUAL)
        << Show(RunValueData()) << " is not the program's path " << Show(exe);
    EXPECT_EQ(app.CheckState(IDC_STARTUP), BST_CHECKED);

    // The next start shows the box ticked.
    ASSERT_TRUE(app.Shutdown());
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(app.WaitForMainDialog());
    EXPECT_EQ(app.CheckState(IDC_STARTUP), BST_CHECKED);

    app.Click(IDC_STARTUP);
    ASSERT_TRUE(AppDriver::WaitFor([&] { return !RunValueExists(); })) << "the Run value stayed";
    EXPECT_EQ(app.CheckState(IDC_STARTUP), BST_UNCHECKED);
    EXPECT_FALSE(FileExists(app.RunFile(L"Kelva_config.ini"))) << "the start-up box wrote the settings file";
}
