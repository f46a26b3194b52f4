#include <gtest/gtest.h>

#include <windows.h>
#include <dbt.h>

#include <atomic>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "device/drive_scan.h"
#include "named_test_lock.h"
#include "shell/app_state.h"

// The scan runs against the real drives of the test prefix (E:, F: and G:
// mapped as removable, C: fixed) and the simulated USB identities written
// under the key below: a value named by a drive letter holds the device ID of
// the parent USB device of the disk behind that drive.
namespace {

constexpr wchar_t kDrivesKey[] = L"Software\\GpsFennikSimulation\\Drives";
constexpr wchar_t kAccepted[] = L"USB\\VID_7F3E&PID_2A61\\0001";
constexpr wchar_t kRefused[] = L"USB\\VID_7F3E&PID_2A63\\0002";
constexpr wchar_t kOtherMaker[] = L"USB\\VID_1234&PID_2A61\\0003";

// Every simulated identity forgotten; the tests own the key while they hold
// the simulated drives lock.
void DeleteAllValues() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kDrivesKey);
}

void PlugIn(wchar_t letter, const std::wstring& deviceId) {
    const wchar_t name[] = {letter, L'\0'};
    const LONG status = RegSetKeyValueW(HKEY_CURRENT_USER, kDrivesKey, name, REG_SZ, deviceId.c_str(),
                                        static_cast<DWORD>((deviceId.size() + 1) * sizeof(wchar_t)));
    ASSERT_EQ(status, ERROR_SUCCESS) << "writing the simulated identity of drive " << static_cast<char>(letter);
}

void Unplug(wchar_t letter) {
    const wchar_t name[] = {letter, L'\0'};
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_CURRENT_USER, kDrivesKey, name), ERROR_SUCCESS)
        << "removing the simulated identity of drive " << static_cast<char>(letter);
}

std::string MessageName(UINT message) {
    switch (message) {
        case MSG_DRIVE_ADDED: return "MSG_DRIVE_ADDED";
        case MSG_DRIVE_REMOVED: return "MSG_DRIVE_REMOVED";
        case MSG_DEVICE_REFUSED: return "MSG_DEVICE_REFUSED";
        default: return "message " + std::to_string(message);
    }
}

std::string Names(const std::vector<UINT>& messages) {
    std::string text = "{";
    for (UINT m : messages) text += (text.size() > 1 ? ", " : "") + MessageName(m);
    return text + "}";
}

std::string Letters(const DeviceDrives& drives) {
    std::string text;
    for (size_t i = 0; i < drives.Count(); ++i) text += static_cast<char>(drives.Letter(i));
    return text;
}

std::string RecordedLetters() {
    return Letters(app.deviceDrives.Snapshot());
}

// The record's invariant: the count matches the letters, every word after the
// last letter is zero, and every letter is a drive letter.
bool IsWellFormed(const DeviceDrives& drives) {
    const uint16_t count = drives.words[0];
    if (count > kMaxDeviceDrives) return false;
    for (size_t i = 1; i < drives.words.size(); ++i) {
        const uint16_t w = drives.words[i];
        if (i <= count ? (w < L'A' || w > L'Z') : w != 0) return false;
    }
    return true;
}

class DriveScan : public ::testing::Test {
protected:
    void SetUp() override {
        // Other suites (the end-to-end ones) plug simulated devices too.
        ASSERT_TRUE(lock_.Acquire(kSimulatedDrivesTestLock)) << "the simulated drives stayed busy";
        for (wchar_t letter : {L'E', L'F', L'G'}) {
            const wchar_t root[] = {letter, L':', L'\\', L'\0'};
            ASSERT_EQ(GetDriveTypeW(root), static_cast<UINT>(DRIVE_REMOVABLE))
                << "drive " << static_cast<char>(letter)
                << ": is not a removable drive; tests/support/wine-run.sh maps E:, F: and G: when it creates the prefix";
        }
        ASSERT_EQ(GetDriveTypeW(L"C:\\"), static_cast<UINT>(DRIVE_FIXED));

        DeleteAllValues();
        app.deviceDrives.Publish(DeviceDrives{});
        app.previousDriveCount = 0;

        dialog_ = CreateWindowExW(0, L"STATIC", L"drive scan test", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
        ASSERT_NE(dialog_, nullptr) << "CreateWindowExW failed, error " << GetLastError();
    }

    void TearDown() override {
        if (dialog_ != nullptr) DestroyWindow(dialog_);
        DeleteAllValues();
        app.deviceDrives.Publish(DeviceDrives{});
        app.previousDriveCount = 0;
    }

    // The scan's messages to the dialog, in the order they were posted, by
    // name. Posted messages are queued by the time the scan returns, so
    // draining the queue is enough; nothing is waited for.
    std::string TakePosted() {
        std::vector<UINT> messages;
        MSG msg;
        while (PeekMessageW(&msg, dialog_, MSG_DRIVE_ADDED, MSG_DEVICE_REFUSED, PM_REMOVE)) {
            messages.push_back(msg.message);
        }
        return Names(messages);
    }

    std::string Scan() {
        ScanDeviceDrives(dialog_);
        return TakePosted();
    }

    HWND dialog_ = nullptr;

private:
    NamedTestLock lock_;  // released after TearDown has cleared the key
};

constexpr char kNothing[] = "{}";
constexpr char kAdded[] = "{MSG_DRIVE_ADDED}";
constexpr char kRemoved[] = "{MSG_DRIVE_REMOVED}";

}  // namespace

// Each step plugs a whole arrangement of drives ("E=A F=R": drive letter and
// the kind of device behind it), scans, and checks the record and the messages.
TEST_F(DriveScan, ArrangementsAreRecordedAndReported) {
    const auto identity = [](wchar_t kind) -> std::wstring {
        switch (kind) {
            case L'A': return kAccepted;
            case L'R': return kRefused;
            case L'O': return kOtherMaker;
            case L'P': return L"USB\\VID_7F3E&PID_0001\\0004";  // the maker's other product
            case L'L': return std::wstring(kAccepted) + std::wstring(300, L'1');  // judged by the first tokens
            default: return std::wstring(kRefused) + std::wstring(10000, L'2');
        }
    };
    const struct Step {
        const wchar_t* drives;
        const char* letters;
        const char* posted;
    } none[] = {{L"", "", kNothing}, {L"E=O F=P", "", kNothing}},
      one[] = {{L"E=A", "E", kAdded}, {L"E=A", "E", kNothing}},  // reported once
      two[] = {{L"F=A E=A", "EF", kAdded}},                      // letter order, not the order plugged
      removed[] = {{L"E=A G=A", "EG", kAdded}, {L"E=A", "E", kRemoved}, {L"", "", kRemoved}},
      swapped[] = {{L"E=A", "E", kAdded}, {L"F=A", "F", kNothing}},  // same count: nothing to tell
      // A refused model is reported first, on every scan, once per drive, and never recorded.
      refused[] = {{L"E=R F=A", "F", "{MSG_DEVICE_REFUSED, MSG_DRIVE_ADDED}"},
                   {L"E=R F=A G=R", "F", "{MSG_DEVICE_REFUSED, MSG_DEVICE_REFUSED}"},
                   {L"E=R G=R", "", "{MSG_DEVICE_REFUSED, MSG_DEVICE_REFUSED, MSG_DRIVE_REMOVED}"}},
      // C: and Z: are fixed disks, H: does not exist: never examined.
      notRemovable[] = {{L"C=A H=A Z=R", "", kNothing}},
      overlong[] = {{L"E=L F=M", "E", "{MSG_DEVICE_REFUSED, MSG_DRIVE_ADDED}"}};
    const struct {
        const char* name;
        std::span<const Step> steps;
    } scenarios[] = {{"nothing attached", none},  {"one device", one},    {"two devices", two},
                     {"unplugged", removed},      {"swapped", swapped},  {"refused model", refused},
                     {"not removable", notRemovable}, {"overlong identity", overlong}};
    for (const auto& scenario : scenarios) {
        app.deviceDrives.Publish(DeviceDrives{});
        app.previousDriveCount = 0;
        for (size_t i = 0; i < scenario.steps.size(); ++i) {
            const Step& step = scenario.steps[i];
            SCOPED_TRACE(std::string(scenario.name) + ", step " + std::to_string(i + 1));
            DeleteAllValues();
            for (const wchar_t* d = step.drives; d[0] && d[1] == L'=' && d[2]; d += d[3] ? 4 : 3)
                PlugIn(d[0], identity(d[2]));
            EXPECT_EQ(Scan(), step.posted);
            const DeviceDrives drives = app.deviceDrives.Snapshot();
            EXPECT_EQ(Letters(drives), step.letters);
            EXPECT_TRUE(IsWellFormed(drives));
        }
    }
}

TEST_F(DriveScan, MatchDecidesByTheDrivesDeviceNumber) {
    // The simulated disk behind drive X has storage device number X - 'A'.
    PlugIn(L'E', kAccepted);
    PlugIn(L'F', kRefused);
    PlugIn(L'G', kOtherMaker);
    EXPECT_EQ(MatchDriveToDevice(dialog_, 4, L"\\Device\\Harddisk1"), 1);
    EXPECT_EQ(MatchDriveToDevice(dialog_, 4, L"\\Device\\Floppy0"), 1);
    EXPECT_EQ(MatchDriveToDevice(dialog_, 7, L"\\Device\\Harddisk1"), 0);
    EXPECT_EQ(MatchDriveToDevice(dialog_, 6, L"\\Device\\Harddisk1"), 0);
    EXPECT_EQ(TakePosted(), kNothing);
    EXPECT_EQ(MatchDriveToDevice(dialog_, 5, L"\\Device\\Harddisk2"), 0);
    EXPECT_EQ(TakePosted(), "{MSG_DEVICE_REFUSED}");
    EXPECT_EQ(RecordedLetters(), "") << "matching alone never records a drive";
}

TEST_F(DriveScan, OnlyVolumeArrivalAndRemovalRescan) {
    PlugIn(L'E', kAccepted);
    DEV_BROADCAST_VOLUME volume = {};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << 4;
    const LPARAM volumeHeader = reinterpret_cast<LPARAM>(&volume);

    // Other device types, including the USB device events the dialog
    // registers for, leave the list alone.
    for (DWORD deviceType : {DWORD{DBT_DEVTYP_OEM}, DWORD{DBT_DEVTYP_DEVNODE}, DWORD{DBT_DEVTYP_PORT}, DWORD{DBT_DEVTYP_NET},
                             DWORD{DBT_DEVTYP_DEVICEINTERFACE}, DWORD{DBT_DEVTYP_HANDLE}, DWORD{7}}) {
        DEV_BROADCAST_HDR header = {};
        header.dbch_size = sizeof header;
        header.dbch_devicetype = deviceType;
        EXPECT_EQ(HandleDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&header), dialog_), 0);
        EXPECT_EQ(RecordedLetters(), "") << "device type " << deviceType << " rescanned";
    }
    // Other events, even for a volume, and an event without a header.
    for (WPARAM event : {WPARAM{DBT_DEVICEQUERYREMOVE}, WPARAM{DBT_DEVICEREMOVEPENDING}, WPARAM{DBT_DEVNODES_CHANGED},
                         WPARAM{DBT_CONFIGCHANGED}}) {
        EXPECT_EQ(HandleDeviceChange(event, volumeHeader, dialog_), 0);
        EXPECT_EQ(RecordedLetters(), "") << "event " << event << " rescanned";
    }
    EXPECT_EQ(HandleDeviceChange(DBT_DEVICEARRIVAL, 0, dialog_), 0);
    EXPECT_EQ(RecordedLetters(), "");
    EXPECT_EQ(TakePosted(), kNothing);

    EXPECT_EQ(HandleDeviceChange(DBT_DEVICEARRIVAL, volumeHeader, dialog_), 0);
    EXPECT_EQ(RecordedLetters(), "E");
    EXPECT_EQ(TakePosted(), kAdded);
    Unplug(L'E');
    EXPECT_EQ(HandleDeviceChange(DBT_DEVICEREMOVECOMPLETE, volumeHeader, dialog_), 0);
    EXPECT_EQ(RecordedLetters(), "");
    EXPECT_EQ(TakePosted(), kRemoved);
}

TEST_F(DriveScan, WorkersOnlyEverSeeACompleteList) {
    // A reader thread takes snapshots while the main thread rescans between
    // two arrangements; every snapshot must be the result of one whole scan.
    std::atomic<bool> done{false};
    std::atomic<int> snapshots{0};
    std::atomic<int> torn{0};
    std::string firstTorn;
    std::thread reader([&] {
        do {
            const DeviceDrives drives = app.deviceDrives.Snapshot();
            const std::string letters = Letters(drives);
            if (!IsWellFormed(drives) || (letters != "" && letters != "EF" && letters != "G")) {
                if (torn.fetch_add(1) == 0) {
                    firstTorn = "count " + std::to_string(drives.words[0]) + ", letters \"" + letters + "\"";
                }
            }
            snapshots.fetch_add(1);
        } while (!done.load());
    });

    for (int round = 0; round < 40; ++round) {
        DeleteAllValues();
        if (round % 2 == 0) {
            PlugIn(L'E', kAccepted);
            PlugIn(L'F', kAccepted);
        } else {
            PlugIn(L'G', kAccepted);
        }
        ScanDeviceDrives(dialog_);
        ASSERT_EQ(RecordedLetters(), round % 2 == 0 ? "EF" : "G") << "round " << round;
    }
    done = true;
    reader.join();
    TakePosted();

    EXPECT_GT(snapshots.load(), 0);
    EXPECT_EQ(torn.load(), 0) << "first torn snapshot: " << firstTorn;
}

TEST(DriveRecord, HoldsAtMostTwentyFiveLetters) {
    DeviceDrives drives;
    for (int n = 0; n < 25; ++n) ASSERT_TRUE(drives.Add(static_cast<wchar_t>(L'A' + n))) << "letter " << n;
    EXPECT_FALSE(drives.Add(L'Z'));
    EXPECT_EQ(drives.Count(), 25);
    EXPECT_EQ(drives.words[25], L'Y');
}
