// The device side: which USB identities are the device, how the scan records
// the prefix's removable drives E:, F: and G: and reports the count.
#include <gtest/gtest.h>

#include "device/drive_scan.h"
#include "shell/app_state.h"
#include "app_driver.h"

namespace {

TEST(DeviceId, TellsTheTwoModelsFromEverythingElse) {
    const struct {
        std::wstring id;
        int kind;
    } rows[] = {
        {L"USB\\VID_7F3E&PID_2A61\\0001", kDeviceAccepted}, {L"USB\\VID_7F3E&PID_2A63\\5&2C3A&0&1", kDeviceRefused},
        {L"USB\\VID_7F3E&PID_2A61", kDeviceAccepted},
        {L"  USB  VID_7F3E \n#PID_2A61", kDeviceAccepted}, {L"#USB##VID_7F3E&&PID_2A63#", kDeviceRefused},  // every delimiter
        {L"USB\\VID_7F3E&PID_0001\\0001", kDeviceOther}, {L"USB\\VID_1234&PID_2A61\\0001", kDeviceOther},
        {L"USBSTOR\\DISK&VEN_X&PROD_Y\\0001", kDeviceOther}, {L"usb\\VID_7F3E&PID_2A61\\0001", kDeviceOther},  // case
        {L"USB\\VID_7F3E&PID_2A611\\0001", kDeviceOther}, {L"USB\\VID_7F3E_PID_2A61", kDeviceOther},  // tokens, '_'
        {L"USB\tVID_7F3E&PID_2A61", kDeviceOther}, {L"USB\\PID_2A61&VID_7F3E", kDeviceOther},  // a tab, the order
        {L"USB\\VID_7F3E&\\", kDeviceOther}, {L"", kDeviceOther},
        {std::wstring(L"USB\\VID_7F3E\0PID_2A61", 21), kDeviceOther},  // ends at the terminator
    };
    for (const auto& r : rows) EXPECT_EQ(ClassifyDeviceId(r.id), r.kind) << Show(r.id.substr(0, 60));
}

class DriveScan : public ::testing::Test {
protected:
    void SetUp() override {
        dialog_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(dialog_, nullptr);
        for (const wchar_t* root : {L"E:\\", L"F:\\", L"G:\\"})
            ASSERT_EQ(GetDriveTypeW(root), static_cast<UINT>(DRIVE_REMOVABLE)) << "scripts/wine-run.sh maps it";
    }
    void TearDown() override {
        ResetMachine();
        DestroyWindow(dialog_);
    }
    HWND dialog_ = nullptr;
};

// Each step plugs an arrangement ("E=A F=R": Accepted, Refused, Other maker),
// scans, and checks the recorded letters and the messages posted, in order.
TEST_F(DriveScan, ArrangementsAreRecordedAndCountChangesReported) {
    const struct {
        const wchar_t* drives;
        const char* letters;
        const char* posted;
    } steps[] = {
        {L"", "", ""},
        {L"E=O", "", ""},
        {L"E=A", "E", "added "},
        {L"E=A", "E", ""},  // reported once
        {L"G=A E=A", "EG", "added "},  // letter order
        {L"F=A E=A", "EF", ""},  // the same count: nothing to tell
        {L"E=A", "E", "removed "},
        {L"E=R F=A", "F", "refused "},
        {L"E=R G=R", "", "refused refused removed "},
        {L"C=A H=A Z=A", "", ""},  // fixed, missing: never examined
    };
    for (const auto& step : steps) {
        RegDeleteTreeW(HKEY_CURRENT_USER, kSimulationKey);
        for (const wchar_t* d = step.drives; *d; d += d[3] ? 4 : 3)
            ASSERT_TRUE(SetSimulatedDevice(d[0], d[2] == L'A'   ? L"USB\\VID_7F3E&PID_2A61\\1"
                                                 : d[2] == L'R' ? L"USB\\VID_7F3E&PID_2A63\\2"
                                                                : L"USB\\VID_1234&PID_2A61\\3"));
        ScanDeviceDrives(dialog_);
        std::string posted, letters;
        MSG msg;
        while (PeekMessageW(&msg, dialog_, 0, 0, PM_REMOVE))
            posted += msg.message == MSG_DRIVE_ADDED     ? "added "
                      : msg.message == MSG_DRIVE_REMOVED ? "removed "
                      : msg.message == MSG_DEVICE_REFUSED ? "refused "
                                                          : "other ";
        const DeviceDrives drives = app.deviceDrives.Snapshot();
        for (size_t i = 0; i < drives.Count(); ++i) letters += static_cast<char>(drives.Letter(i));
        EXPECT_EQ(letters, step.letters) << Show(step.drives);
        EXPECT_EQ(posted, step.posted) << Show(step.drives);
    }
}

}  // namespace
