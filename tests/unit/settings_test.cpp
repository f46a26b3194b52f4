// Kelva_config.ini beside the test executable: the chunked search across its
// boundaries, the in-place write, odd files, and the program's three threads
// writing at once. (The file the program makes is checked end to end.)
#include <gtest/gtest.h>

#include <atomic>

#include "persistence/settings_file.h"
#include "test_util.h"

namespace {

class Settings : public ::testing::Test {
protected:
    void SetUp() override { DeleteFileW(path_.c_str()); }
    void TearDown() override { DeleteFileW(path_.c_str()); }
    void Put(const std::wstring& text) { ASSERT_TRUE(WriteFileBytes(path_, Utf16Bytes(text))); }
    std::wstring Text() const { return FromUtf16(ReadFileBytes(path_)); }
    static std::wstring Read(const wchar_t* header) {
        SYSTEMTIME t;
        return ReadTimestamp(header, &t) ? Stamp(t) : L"none";
    }
    const std::wstring path_ = ExeDirectory() + kSettingsFileName;
};

// Chunks of 149 characters step back by one character less than the header:
// walk each header across the first boundaries, reading and writing it.
TEST_F(Settings, HeaderIsFoundAtEveryOffsetAcrossChunkBoundaries) {
    for (const wchar_t* header : {kExpireTimeHeader, kDownloadTimeHeader}) {
        for (size_t offset = 0; offset < 460; ++offset) {
            const std::wstring prefix(offset, L'x');
            Put(prefix + header + L"2007/11/08\t13:07\r\n");
            ASSERT_EQ(Read(header), L"2007/11/08\t13:07") << Show(header) << " at " << offset;
            ASSERT_EQ(WriteTimestamp(header, At(2009, 1, 2, 3, 4)), 1);
            ASSERT_EQ(Text(), prefix + header + L"2009/01/02\t03:04\r\n") << Show(header) << " at " << offset;
        }
    }
}

// Files made by hand or damaged: what is read, and what a write makes of them.
TEST_F(Settings, OddFilesAreReadSafelyAndWrittenWithoutHarm) {
    const std::wstring junk = std::wstring(L"junk") + L'\0';
    const struct {
        std::wstring file;
        int flagRead;
        int write;  // -1: write no flag
        std::wstring after;
    } rows[] = {
        {L"", 1, 0, L"[AUTO UPDATE]\r\n0\r\n"},
        {L"[AUTO UPDATE]\r\nx\r\n", 1, 1, L"[AUTO UPDATE]\r\n1\r\n"},
        {L"[auto update]\r\n0\r\n", 1, 0, L"[auto update]\r\n0\r\n[AUTO UPDATE]\r\n0\r\n"},  // exact headers only
        {L"[AUTO UPDATE]\r\n0\r\n" + std::wstring(400, L'-') + L"[AUTO UPDATE]\r\n1\r\n", 0, -1, L""},  // first wins
        {junk + L"[AUTO UPDATE]\r\n0\r\n", 0, 1, junk + L"[AUTO UPDATE]\r\n1\r\n"},  // a zero hides nothing
        {L"[UPDATE TIME]\r\n2007\r\n[AUTO UPDATE]\r\n0\r\n", 0, -1, L""},
    };
    for (const auto& r : rows) {
        Put(r.file);
        EXPECT_EQ(ReadAutoUpdateFlag(), r.flagRead) << Show(r.file);
        if (r.write >= 0) {
            ASSERT_EQ(WriteAutoUpdateFlag(r.write), 1);
            EXPECT_EQ(Text(), r.after) << Show(r.file);
        }
    }
    // A short hand-made time is replaced without eating the next header.
    ASSERT_EQ(WriteTimestamp(kUpdateTimeHeader, At(2009, 3, 3, 3, 3)), 1);
    EXPECT_EQ(Text(), L"[UPDATE TIME]\r\n2009/03/03\t03:03\r\n[AUTO UPDATE]\r\n0\r\n");
    EXPECT_EQ(ReadAutoUpdateFlag(), 0);
    // Torn by a power cut (zeros or junk where the digits were) or out of range: no time at all.
    const std::wstring good = L"2008/02/29\t23:59";
    for (const std::wstring& value : {good, std::wstring(16, L'\0'), std::wstring(L"0000/00/00\t00:00"), std::wstring(L"12208/0/00\t00:0"),
                                     std::wstring(L"2007/13/08\t13:07"), std::wstring(L"2007/02/29\t13:07"), std::wstring(L"2007/11/00\t13:07"),
                                     std::wstring(L"2007/11/08\t24:00"), std::wstring(L"2007/11/08\t13:60"), std::wstring(L"2o07/11/08\t13:07")}) {
        Put(kExpireTimeHeader + value + L"\r\n");
        EXPECT_EQ(Read(kExpireTimeHeader), value == good ? good : L"none") << Show(value);
    }
}

// The device's expiry, in UTC, goes after the four sections (older versions find theirs where they were), never
// where a time is missing; a torn or hand-made record reads as unknown; an older local one (Kolkata, as CTest sets it)
// as that instant, and the longer form replaces it without eating its line end.
TEST_F(Settings, DeviceExpiryFollowsTheFourSectionsAndTornReadsAsUnknown) {
    const std::wstring times = L"[DOWNLOAD TIME]\r\n2007/11/05\t13:07\r\n[EXPIRE TIME]\r\n2007/11/08\t13:07\r\n"
                               L"[UPDATE TIME]\r\n2007/11/05\t13:08\r\n", device = times + kDeviceExpiryHeader;
    const struct {
        std::wstring file, read;
        bool written;
        std::wstring after;  // the file after the write
    } rows[] = {
        {times, L"none", true, times + L"[AUTO UPDATE]\r\n1\r\n[DEVICE EXPIRY]\r\n2007/11/08\t13:07Z 1\r\n"},
        {L"[AUTO UPDATE]\r\n0\r\n" + times, L"none", true, L"[AUTO UPDATE]\r\n0\r\n" + times + L"[DEVICE EXPIRY]\r\n2007/11/08\t13:07Z 1\r\n"},
        {device + L"2007/11/0", L"none", true, device + L"2007/11/08\t13:07Z 1"},  // torn: mended
        {times.substr(35), L"none", false, times.substr(35)},  // no download time: unknown
        {device + L"2007/11/08\t13:07 2\r\n[X]", L"2007/11/08\t07:37 2", true, device + L"2007/11/08\t13:07Z 1\r\n[X]"},
        {device + L"2007/11/08\t13:07Z 2\r\n", L"2007/11/08\t13:07 2", true, device + L"2007/11/08\t13:07Z 1\r\n"},
    };
    const auto read = [] {
        SYSTEMTIME expiry;
        DeviceReminder shown = ExpiredShown;
        const bool found = ReadDeviceExpiry(&expiry, &shown);
        EXPECT_TRUE(found || (expiry.wYear == 0 && shown == NoReminderShown));
        return found ? Stamp(expiry) + L" " + std::to_wstring(shown) : L"none";
    };
    for (const auto& r : rows) {
        Put(r.file);
        EXPECT_EQ(read(), r.read) << Show(r.file);
        EXPECT_EQ(WriteDeviceExpiry(At(2007, 11, 8, 13, 7), ExpiringShown), r.written) << Show(r.file);
        EXPECT_EQ(Text(), r.after);
        EXPECT_EQ(read(), r.written ? L"2007/11/08\t13:07 1" : L"none");
    }
    for (const wchar_t* value : {L"2007/11/08\t13:07 3", L"2007/11/08\t13:07x1", L"2007/11/08\t13:07Z3", L"2007/11/08\t13:07Z 3",
                                 L"0000/00/00\t00:00Z 0"}) {
        Put(device + value);
        EXPECT_EQ(read(), L"none") << Show(value);
    }
}

// The main thread and both workers write at once: no write is lost and no
// section is appended twice.
TEST_F(Settings, ThreadsWritingAtOnceLoseNothing) {
    constexpr int kRounds = 100;
    std::atomic<int> failures{0};
    std::vector<std::function<void()>> writers;
    for (const wchar_t* header : {kDownloadTimeHeader, kExpireTimeHeader, kUpdateTimeHeader}) {
        writers.push_back([&, header] {
            for (int i = 0; i < kRounds; ++i) {
                const SYSTEMTIME value = At(2000 + i, 1 + i % 12, 1 + i % 28, i % 24, i % 60);
                SYSTEMTIME back;
                if (!WriteTimestamp(header, value) || !ReadTimestamp(header, &back) || back.wYear != value.wYear ||
                    back.wMinute != value.wMinute)
                    ++failures;
            }
        });
    }
    writers.push_back([&] {
        for (int i = 0; i < kRounds; ++i)
            if (!WriteAutoUpdateFlag(i % 2) || ReadAutoUpdateFlag() != i % 2) ++failures;
    });
    RunTogether(writers);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(ReadFileBytes(path_).size(), 238u) << Show(Text());
}

}  // namespace
