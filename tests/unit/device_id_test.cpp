#include <gtest/gtest.h>

#include <objbase.h>

#include <string>

#include "device/drive_scan.h"
#include "win_test_util.h"

namespace {

std::string GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return Narrow(text);
}

constexpr char kDiskClass[] = "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}";
constexpr char kFloppyClass[] = "{53F56311-B6BF-11D0-94F2-00A0C91EFB8B}";

}  // namespace

TEST(DeviceIdClassification, TellsTheTwoModelsFromEverythingElse) {
    const struct {
        const wchar_t* id;
        int expected;
    } cases[] = {
        {L"USB\\VID_7F3E&PID_2A61\\0001", kDeviceAccepted},
        {L"USB\\VID_7F3E&PID_2A63\\5&2C3A&0&1", kDeviceRefused},
        {L"USB\\VID_7F3E&PID_2A61", kDeviceAccepted},  // no serial at all
        {L"USB\\VID_7F3E&PID_0001\\0001", kDeviceOther},
        {L"USB\\VID_1234&PID_2A61\\0001", kDeviceOther},
        {L"USBSTOR\\DISK&VEN_X&PROD_Y\\0001", kDeviceOther},
        {L"HID\\VID_7F3E&PID_2A61\\0001", kDeviceOther},
        // Whole tokens, compared exactly and case-sensitively.
        {L"USB\\VID_7f3e&PID_2A61\\0001", kDeviceOther},
        {L"usb\\VID_7F3E&PID_2A61\\0001", kDeviceOther},
        {L"USB\\VID_7F3EX&PID_2A61\\0001", kDeviceOther},
        {L"USB\\VID_7F3E&PID_2A611\\0001", kDeviceOther},
        {L"USB\\VID_7F3E&PID_2A6\\0001", kDeviceOther},
        {L"USB\\VID_7F3E_PID_2A61\\0001", kDeviceOther},  // '_' is no delimiter
        // The right tokens in the wrong places.
        {L"USB\\PID_2A61&VID_7F3E\\0001", kDeviceOther},
        {L"VID_7F3E\\USB&PID_2A61\\0001", kDeviceOther},
        {L"USB\\0001\\VID_7F3E&PID_2A61", kDeviceOther},
        // Leading and repeated delimiters of every kind are skipped.
        {L"\\\\USB\\VID_7F3E&PID_2A61\\0001", kDeviceAccepted},
        {L"  USB  VID_7F3E  PID_2A61", kDeviceAccepted},
        {L"#USB##VID_7F3E&&PID_2A63#", kDeviceRefused},
        {L"USB\n VID_7F3E\n&#\\PID_2A61\n0001", kDeviceAccepted},
        {L"USB\tVID_7F3E&PID_2A61", kDeviceOther},  // a tab is no delimiter
        {L"USB\rVID_7F3E&PID_2A61", kDeviceOther},  // nor a carriage return
        // Fewer than three tokens.
        {L"", kDeviceOther},
        {L"\\&# \n", kDeviceOther},
        {L"USB\\VID_7F3E", kDeviceOther},
        {L"USB\\VID_7F3E&\\", kDeviceOther},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClassifyDeviceId(c.id), c.expected) << "device ID \"" << Narrow(c.id) << "\"";
}

TEST(DeviceIdClassification, StopsAtTheTerminatorOfABuffer) {
    const wchar_t buffer[] = L"USB\\VID_7F3E\0PID_2A61";
    EXPECT_EQ(ClassifyDeviceId(std::wstring_view(buffer, std::size(buffer) - 1)), kDeviceOther);
}

TEST(DeviceIdClassification, LongIdsAreJudgedByTheirFirstThreeTokens) {
    const std::wstring serial300 = L"USB\\VID_7F3E&PID_2A61\\" + std::wstring(278, L'7');
    ASSERT_EQ(serial300.size(), 300u);
    EXPECT_EQ(ClassifyDeviceId(serial300), kDeviceAccepted);

    const std::wstring serial10000 = L"USB\\VID_7F3E&PID_2A63\\" + std::wstring(9978, L'x');
    ASSERT_EQ(serial10000.size(), 10000u);
    EXPECT_EQ(ClassifyDeviceId(serial10000), kDeviceRefused);

    // The tokens may lie entirely beyond the first 255 characters.
    const std::wstring lateTokens = std::wstring(280, L'\\') + L"USB\\VID_7F3E&PID_2A61\\0001";
    EXPECT_EQ(ClassifyDeviceId(lateTokens), kDeviceAccepted);

    // A product token that only a cut after 255 characters would make look
    // accepted: the whole token is "PID_2A6199".
    std::wstring straddling = L"USB\\VID_7F3E&" + std::wstring(234, L' ') + L"PID_2A61";
    ASSERT_EQ(straddling.size(), 255u);
    straddling += L"99\\0001";
    EXPECT_EQ(ClassifyDeviceId(straddling), kDeviceOther);

    const std::wstring noDelimiterAtAll(10000, L'U');
    EXPECT_EQ(ClassifyDeviceId(noDelimiterAtAll), kDeviceOther);
}

TEST(DeviceInterfaceClass, FloppyOnlyForAnNtNameContainingFloppy) {
    EXPECT_EQ(GuidText(InterfaceClassOf(L"\\Device\\Floppy0")), kFloppyClass);
    EXPECT_EQ(GuidText(InterfaceClassOf(L"\\Device\\Harddisk1")), kDiskClass);
    EXPECT_EQ(GuidText(InterfaceClassOf(L"\\Device\\HarddiskVolume3")), kDiskClass);
    EXPECT_EQ(GuidText(InterfaceClassOf(L"\\device\\floppy0")), kDiskClass);  // case-sensitive
    EXPECT_EQ(GuidText(InterfaceClassOf(L"Floppy0")), kDiskClass);            // needs the backslash
    EXPECT_EQ(GuidText(InterfaceClassOf(L"")), kDiskClass);
}
