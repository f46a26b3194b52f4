#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "persistence/settings_file.h"
#include "base/scoped_win.h"
#include "named_test_lock.h"
#include "win_test_util.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string Show(const SYSTEMTIME& t) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%u/%u/%u %u:%u:%u.%u dow %u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond, t.wMilliseconds, t.wDayOfWeek);
    return buf;
}

// The file after a download on 2007/11/05 13:07, a copy at 13:08 and the user
// switching auto-update off, in that order.
const std::wstring kWorkedExample =
    L"[DOWNLOAD TIME]\r\n2007/11/05\t13:07\r\n"
    L"[EXPIRE TIME]\r\n2007/11/08\t13:07\r\n"
    L"[UPDATE TIME]\r\n2007/11/05\t13:08\r\n"
    L"[AUTO UPDATE]\r\n0\r\n";

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Wine maps the read-only attribute to the Unix write bits, which root
// ignores: then no file can be made read-only for this test.
bool ReadOnlyIsEnforced(const std::wstring& path) {
    ScopedFile probe(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return !probe;
}

class SettingsFileFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lock_.Acquire(kSettingsFileTestLock));
        path_ = ExeDirectory() + kSettingsFileName;
        ASSERT_TRUE(RemoveFile(path_)) << Narrow(path_);
    }
    void TearDown() override {
        if (!path_.empty()) RemoveFile(path_);
    }

    void Put(const std::wstring& text) { ASSERT_TRUE(WriteFileBytes(path_, Utf16Bytes(text))); }
    void PutBytes(const Bytes& bytes) { ASSERT_TRUE(WriteFileBytes(path_, bytes)); }
    Bytes Contents() const { return ReadFileBytes(path_); }

    NamedTestLock lock_;
    std::wstring path_;
};

using SettingsFileFormat = SettingsFileFixture;
using SettingsFileSearch = SettingsFileFixture;
using SettingsFileParsing = SettingsFileFixture;
using SettingsFileAccess = SettingsFileFixture;
using SettingsFileConcurrency = SettingsFileFixture;

}  // namespace

// ---- format: what the writers put into the file, and what readers take ----

TEST_F(SettingsFileFormat, WritersProduceTheDocumentedFileByteForByte) {
    ASSERT_EQ(WriteTimestamp(kDownloadTimeHeader, At(2007, 11, 5, 13, 7)), 1);
    ASSERT_EQ(WriteTimestamp(kExpireTimeHeader, At(2007, 11, 8, 13, 7)), 1);
    ASSERT_EQ(WriteTimestamp(kUpdateTimeHeader, At(2007, 11, 5, 13, 8)), 1);
    ASSERT_EQ(WriteAutoUpdateFlag(0), 1);

    const Bytes file = Contents();
    ASSERT_EQ(file.size(), 238u);
    EXPECT_EQ(file, Utf16Bytes(kWorkedExample));
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), (Bytes{0x5B, 0, 0x44, 0})) << "UTF-16LE, no byte order mark";
}

TEST_F(SettingsFileFormat, ReadersTakeTheValuesOfTheDocumentedFile) {
    Put(kWorkedExample);
    EXPECT_EQ(ReadAutoUpdateFlag(), 0);

    for (auto [header, expected] : {std::pair{kExpireTimeHeader, At(2007, 11, 8, 13, 7)},
                                    std::pair{kDownloadTimeHeader, At(2007, 11, 5, 13, 7)},
                                    std::pair{kUpdateTimeHeader, At(2007, 11, 5, 13, 8)}}) {
        SYSTEMTIME t;
        std::memset(&t, 0xAB, sizeof t);
        EXPECT_EQ(ReadTimestamp(header, &t), 1) << Narrow(header);
        EXPECT_EQ(Show(t), Show(expected)) << Narrow(header);
    }

    EXPECT_EQ(Contents(), Utf16Bytes(kWorkedExample));
}

TEST_F(SettingsFileFormat, OverwriteInPlaceChangesOnlyTheValue) {
    Put(kWorkedExample);
    const Bytes before = Contents();

    ASSERT_EQ(WriteAutoUpdateFlag(1), 1);
    Bytes expected = before;
    expected[232] = 0x31;
    EXPECT_EQ(Contents(), expected);
    EXPECT_EQ(ReadAutoUpdateFlag(), 1);

    ASSERT_EQ(WriteTimestamp(kDownloadTimeHeader, At(2007, 11, 6, 9, 30)), 1);
    const Bytes value = Utf16Bytes(L"2007/11/06\t09:30");
    std::copy(value.begin(), value.end(), expected.begin() + 34);
    EXPECT_EQ(Contents(), expected);
    EXPECT_EQ(Contents().size(), 238u);
}

TEST_F(SettingsFileFormat, NoFileOrAnEmptyOneReadsAsDefaultsAndGetsItsFirstSectionAtByteZero) {
    for (bool empty : {false, true}) {
        SCOPED_TRACE(empty ? "empty file" : "no file");
        RemoveFile(path_);
        if (empty) PutBytes({});
        EXPECT_EQ(ReadAutoUpdateFlag(), 1);
        SYSTEMTIME t;
        std::memset(&t, 0xAB, sizeof t);
        EXPECT_EQ(ReadTimestamp(kExpireTimeHeader, &t), 0);
        EXPECT_EQ(Show(t), Show(SYSTEMTIME{}));
        EXPECT_EQ(FileExists(path_), empty) << "readers must not create the file";
        ASSERT_EQ(WriteTimestamp(kExpireTimeHeader, At(2007, 11, 8, 13, 7)), 1);
        EXPECT_EQ(Contents(), Utf16Bytes(L"[EXPIRE TIME]\r\n2007/11/08\t13:07\r\n"));
    }
}

TEST_F(SettingsFileFormat, FlagOtherThanDigitReadsAsOnAndIsReplaced) {
    Put(L"[AUTO UPDATE]\r\nx\r\n");
    EXPECT_EQ(ReadAutoUpdateFlag(), 1);
    ASSERT_EQ(WriteAutoUpdateFlag(0), 1);
    EXPECT_EQ(Contents(), Utf16Bytes(L"[AUTO UPDATE]\r\n0\r\n"));
    EXPECT_EQ(ReadAutoUpdateFlag(), 0);
    ASSERT_EQ(WriteAutoUpdateFlag(7), 1);  // any nonzero flag means on
    EXPECT_EQ(Contents(), Utf16Bytes(L"[AUTO UPDATE]\r\n1\r\n"));
}

TEST_F(SettingsFileFormat, HandEditedShortValueIsReplacedWithoutTouchingTheNextHeader) {
    Put(L"[UPDATE TIME]\r\n7/1/5 1:2\r\n[AUTO UPDATE]\r\n0\r\n");
    ASSERT_EQ(WriteTimestamp(kUpdateTimeHeader, At(2007, 11, 5, 13, 8)), 1);
    // Writing 16 characters in place would eat the line end and the start of
    // the next header, and with it the user's auto-update choice.
    EXPECT_EQ(Contents(), Utf16Bytes(L"[UPDATE TIME]\r\n2007/11/05\t13:08\r\n[AUTO UPDATE]\r\n0\r\n"));
    EXPECT_EQ(ReadAutoUpdateFlag(), 0);

    // A header with no value before the next header, or at the very end.
    Put(L"[AUTO UPDATE]\r\n[EXPIRE TIME]\r\n2007/11/08\t13:07\r\n");
    ASSERT_EQ(WriteAutoUpdateFlag(0), 1);
    EXPECT_EQ(Contents(), Utf16Bytes(L"[AUTO UPDATE]\r\n0[EXPIRE TIME]\r\n2007/11/08\t13:07\r\n"));
    Put(L"[EXPIRE TIME]\r\n[AUTO UPDATE]\r\n");
    EXPECT_EQ(ReadAutoUpdateFlag(), 1);
    ASSERT_EQ(WriteAutoUpdateFlag(0), 1);
    EXPECT_EQ(Contents(), Utf16Bytes(L"[EXPIRE TIME]\r\n[AUTO UPDATE]\r\n0"));
    EXPECT_EQ(ReadAutoUpdateFlag(), 0);

    // A longer old value keeps its surplus: the new value is still read whole.
    Put(L"[UPDATE TIME]\r\n2001/01/01\t01:01:59\r\n");
    ASSERT_EQ(WriteTimestamp(kUpdateTimeHeader, At(2007, 11, 5, 13, 8)), 1);
    EXPECT_EQ(Contents(), Utf16Bytes(L"[UPDATE TIME]\r\n2007/11/05\t13:08:59\r\n"));
}

TEST_F(SettingsFileFormat, TimeThatWouldNotBeSixteenCharactersIsRefused) {
    Put(kWorkedExample);
    const SYSTEMTIME tooWide[] = {At(10000, 11, 5, 13, 7), At(2007, 100, 5, 13, 7), At(2007, 11, 100, 13, 7),
                                  At(2007, 11, 5, 100, 7), At(2007, 11, 5, 13, 100), At(65535, 65535, 65535, 65535, 65535)};
    for (const SYSTEMTIME& t : tooWide) {
        EXPECT_EQ(WriteTimestamp(kDownloadTimeHeader, t), 0) << Show(t);
        EXPECT_EQ(WriteTimestamp(kUpdateTimeHeader, t), 0) << Show(t);
        EXPECT_EQ(Contents(), Utf16Bytes(kWorkedExample)) << Show(t);
    }
    RemoveFile(path_);
    EXPECT_EQ(WriteTimestamp(kExpireTimeHeader, At(10000, 1, 1, 0, 0)), 0);
    EXPECT_FALSE(FileExists(path_));

    // The widest values that still fit.
    Put(kWorkedExample);
    ASSERT_EQ(WriteTimestamp(kUpdateTimeHeader, At(9999, 99, 99, 99, 99)), 1);
    EXPECT_EQ(Contents().size(), 238u);
    SYSTEMTIME t;
    ASSERT_EQ(ReadTimestamp(kUpdateTimeHeader, &t), 1);
    EXPECT_EQ(Show(t), Show(At(9999, 99, 99, 99, 99)));
    ASSERT_EQ(WriteTimestamp(kUpdateTimeHeader, At(0, 0, 0, 0, 0)), 1);
    ASSERT_EQ(ReadTimestamp(kUpdateTimeHeader, &t), 1);
    EXPECT_EQ(Show(t), Show(SYSTEMTIME{}));
    EXPECT_EQ(Contents().size(), 238u);
}

// ---- search: finding the header in the raw file ---------------------------

TEST_F(SettingsFileSearch, HeaderIsFoundAtEveryOffsetAcrossChunkBoundaries) {
    // Chunks are 298 bytes (149 characters) and step back by one character
    // less than the header; walk the header across the first few boundaries.
    struct Case {
        const wchar_t* header;
        std::wstring value;
    };
    const Case cases[] = {{kExpireTimeHeader, L"2007/11/08\t13:07"}, {kDownloadTimeHeader, L"2007/11/05\t13:07"}};
    for (const Case& c : cases) {
        for (size_t offset = 0; offset < 460; ++offset) {
            SCOPED_TRACE(Narrow(c.header) + " at character " + std::to_string(offset));
            const std::wstring prefix(offset, L'x');
            const std::wstring text = prefix + c.header + c.value + L"\r\n";
            Put(text);
            SYSTEMTIME t;
            ASSERT_EQ(ReadTimestamp(c.header, &t), 1);
            ASSERT_EQ(t.wYear, 2007);
            ASSERT_EQ(t.wMonth, 11);
            ASSERT_EQ(t.wMinute, 7);
            ASSERT_EQ(WriteTimestamp(c.header, At(2009, 1, 2, 3, 4)), 1);
            ASSERT_EQ(Contents(), Utf16Bytes(prefix + c.header + L"2009/01/02\t03:04\r\n"));
        }
    }
}

TEST_F(SettingsFileSearch, HeaderStraddlingTheFirstChunkEndIsFoundThroughTheOverlap) {
    // "[AUTO UPDATE]\r\n" from character 140 to 154: bytes 280 to 309.
    const std::wstring prefix(140, L'.');
    Put(prefix + L"[AUTO UPDATE]\r\n0\r\n");
    EXPECT_EQ(ReadAutoUpdateFlag(), 0);
    ASSERT_EQ(WriteAutoUpdateFlag(1), 1);
    const Bytes file = Contents();
    ASSERT_EQ(file.size(), 2u * (140 + 15 + 3));
    EXPECT_EQ(file[310], 0x31);
    EXPECT_EQ(file, Utf16Bytes(prefix + L"[AUTO UPDATE]\r\n1\r\n"));
}

TEST_F(SettingsFileSearch, FirstOfTwoOccurrencesIsReadAndUpdated) {
    const std::wstring second = L"[UPDATE TIME]\r\n2008/02/02\t02:02\r\n";
    Put(L"[UPDATE TIME]\r\n2007/01/01\t01:01\r\n" + second);
    SYSTEMTIME t;
    ASSERT_EQ(ReadTimestamp(kUpdateTimeHeader, &t), 1);
    EXPECT_EQ(Show(t), Show(At(2007, 1, 1, 1, 1)));
    ASSERT_EQ(WriteTimestamp(kUpdateTimeHeader, At(2009, 3, 3, 3, 3)), 1);
    EXPECT_EQ(Contents(), Utf16Bytes(L"[UPDATE TIME]\r\n2009/03/03\t03:03\r\n" + second));

    // The same when the second copy lies in a later chunk.
    const std::wstring filler(400, L'-');
    Put(L"[AUTO UPDATE]\r\n0\r\n" + filler + L"[AUTO UPDATE]\r\n1\r\n");
    EXPECT_EQ(ReadAutoUpdateFlag(), 0);
}

TEST_F(SettingsFileSearch, OnlyAnExactHeaderMatches) {
    const std::wstring lookalikes = L"[auto update]\r\n0\r\n[AUTO UPDATE]\n0\r\n[AUTO UPDATE] \r\n0\r\n[AUTO UPDATE\r\n0\r\n";
    Put(lookalikes);
    EXPECT_EQ(ReadAutoUpdateFlag(), 1);
    ASSERT_EQ(WriteAutoUpdateFlag(0), 1);
    EXPECT_EQ(Contents(), Utf16Bytes(lookalikes + L"[AUTO UPDATE]\r\n0\r\n"));
    EXPECT_EQ(ReadAutoUpdateFlag(), 0);
}

TEST_F(SettingsFileSearch, ZeroCharacterDoesNotHideAFollowingHeader) {
    std::wstring text = L"junk";
    text.push_back(L'\0');
    text += L"[AUTO UPDATE]\r\n0\r\n";
    Put(text);
    EXPECT_EQ(ReadAutoUpdateFlag(), 0);
    ASSERT_EQ(WriteAutoUpdateFlag(1), 1);
    text[text.size() - 3] = L'1';
    EXPECT_EQ(Contents(), Utf16Bytes(text));
}

TEST_F(SettingsFileSearch, MegabyteOfRandomBytesReadsAsDefaultsAndKeepsItsPrefix) {
    std::mt19937 rng(20071105);
    Bytes noise(1 << 20);
    for (auto& b : noise) b = static_cast<unsigned char>(rng() & 0xFF);
    PutBytes(noise);

    EXPECT_EQ(ReadAutoUpdateFlag(), 1);
    SYSTEMTIME t;
    EXPECT_EQ(ReadTimestamp(kDownloadTimeHeader, &t), 0);
    EXPECT_EQ(Show(t), Show(SYSTEMTIME{}));
    ASSERT_EQ(Contents(), noise);

    ASSERT_EQ(WriteTimestamp(kDownloadTimeHeader, At(2007, 11, 5, 13, 7)), 1);
    ASSERT_EQ(WriteAutoUpdateFlag(0), 1);
    const Bytes sections = Utf16Bytes(L"[DOWNLOAD TIME]\r\n2007/11/05\t13:07\r\n[AUTO UPDATE]\r\n0\r\n");
    EXPECT_TRUE(Contents() == Concat(noise, sections)) << "file is now " << Contents().size() << " bytes";

    ASSERT_EQ(ReadTimestamp(kDownloadTimeHeader, &t), 1);
    EXPECT_EQ(Show(t), Show(At(2007, 11, 5, 13, 7)));
    EXPECT_EQ(ReadAutoUpdateFlag(), 0);
    // A second write finds the appended section instead of appending again.
    ASSERT_EQ(WriteAutoUpdateFlag(1), 1);
    EXPECT_EQ(Contents().size(), noise.size() + sections.size());
    EXPECT_EQ(ReadAutoUpdateFlag(), 1);
}

// ---- parsing: the value characters are taken without checks ---------------

TEST_F(SettingsFileParsing, ValueCharactersEnterTheSumsByTheirCodes) {
    const struct {
        const char* what;
        Bytes file;
        SYSTEMTIME expected;
    } cases[] = {
        // 'A' = 65 counts 17, 'B' = 66 counts 18, 'Z' = 90 counts 42.
        {"non-digits", Utf16Bytes(L"[EXPIRE TIME]\r\n20A7/1B/05\t13:0Z\r\n"), At(2177, 28, 5, 13, 42)},
        // Spaces count -16: 1000 * -16 + 100 * -16 + 7 = -17593, kept as 47943.
        // The separators are not looked at.
        {"spaces", Utf16Bytes(L"[EXPIRE TIME]\r\n  07x11y08z13w07\r\n"), At(47943, 11, 8, 13, 7)},
        // Cut short: missing characters count -48. Month 10 - 48 = -38 -> 65498;
        // day, hour, minute 10 * -48 - 48 = -528 -> 65008.
        {"cut short", Utf16Bytes(L"[EXPIRE TIME]\r\n2007/1"), At(2007, 65498, 65008, 65008, 65008)},
        // One odd byte after the header: the character 0x0032, then nothing.
        // 2000 - 4800 - 480 - 48 = -3328 -> 62208.
        {"odd byte", Concat(Utf16Bytes(L"[EXPIRE TIME]\r\n"), Bytes{0x32}), At(62208, 65008, 65008, 65008, 65008)},
    };
    for (const auto& c : cases) {
        PutBytes(c.file);
        SYSTEMTIME t;
        ASSERT_EQ(ReadTimestamp(kExpireTimeHeader, &t), 1) << c.what;
        EXPECT_EQ(Show(t), Show(c.expected)) << c.what;
    }
    // Nothing at all after the header: no value.
    Put(L"[EXPIRE TIME]\r\n");
    SYSTEMTIME t;
    std::memset(&t, 0xAB, sizeof t);
    EXPECT_EQ(ReadTimestamp(kExpireTimeHeader, &t), 0);
    EXPECT_EQ(Show(t), Show(SYSTEMTIME{}));
}

// ---- access: the file cannot be opened ------------------------------------

TEST_F(SettingsFileAccess, ReadOnlyFileIsReadButNeverWritten) {
    Put(kWorkedExample);
    ASSERT_TRUE(SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_READONLY));
    if (!ReadOnlyIsEnforced(path_)) GTEST_SKIP() << "read-only files stay writable for this user";
    EXPECT_EQ(WriteAutoUpdateFlag(1), 0);
    EXPECT_EQ(WriteTimestamp(kUpdateTimeHeader, At(2008, 1, 1, 0, 0)), 0);
    EXPECT_EQ(Contents(), Utf16Bytes(kWorkedExample));
    EXPECT_EQ(ReadAutoUpdateFlag(), 0);
    SYSTEMTIME t;
    EXPECT_EQ(ReadTimestamp(kUpdateTimeHeader, &t), 1);
    EXPECT_EQ(Show(t), Show(At(2007, 11, 5, 13, 8)));
}

TEST_F(SettingsFileAccess, FileHeldByAnotherHandleFailsCleanlyUntilReleased) {
    Put(kWorkedExample);
    {
        ScopedFile holder(
            CreateFileW(path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder) << GetLastError();
        EXPECT_EQ(WriteAutoUpdateFlag(1), 0);
        EXPECT_EQ(WriteTimestamp(kExpireTimeHeader, At(2008, 1, 1, 0, 0)), 0);
        EXPECT_EQ(ReadAutoUpdateFlag(), 1);  // the default, though the file says 0
        SYSTEMTIME t;
        std::memset(&t, 0xAB, sizeof t);
        EXPECT_EQ(ReadTimestamp(kExpireTimeHeader, &t), 0);
        EXPECT_EQ(Show(t), Show(SYSTEMTIME{}));
    }
    EXPECT_EQ(Contents(), Utf16Bytes(kWorkedExample));

    ASSERT_EQ(WriteAutoUpdateFlag(1), 1);
    EXPECT_EQ(ReadAutoUpdateFlag(), 1);
    ASSERT_EQ(WriteAutoUpdateFlag(0), 1);
    EXPECT_EQ(ReadAutoUpdateFlag(), 0);
}

// ---- concurrency: the program's own threads never lose a write -------------

TEST_F(SettingsFileConcurrency, ThreadsWritingDifferentSectionsAllLand) {
    constexpr int kRounds = 150;
    const wchar_t* const headers[] = {kDownloadTimeHeader, kExpireTimeHeader, kUpdateTimeHeader};
    std::atomic<int> failedWrites{0};
    std::atomic<int> wrongReads{0};

    std::vector<std::thread> threads;
    for (int h = 0; h < 3; ++h) {
        threads.emplace_back([&, h] {
            for (int i = 0; i < kRounds; ++i) {
                const SYSTEMTIME value = At(static_cast<WORD>(2000 + h), static_cast<WORD>(1 + i % 12),
                                            static_cast<WORD>(1 + i % 28), static_cast<WORD>(i % 24),
                                            static_cast<WORD>(i % 60));
                if (WriteTimestamp(headers[h], value) != 1) ++failedWrites;
                SYSTEMTIME back;
                if (ReadTimestamp(headers[h], &back) != 1 || Show(back) != Show(value)) ++wrongReads;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (WriteAutoUpdateFlag(i % 2) != 1) ++failedWrites;
            if (ReadAutoUpdateFlag() != i % 2) ++wrongReads;
        }
    });
    for (auto& t : threads) t.join();

    EXPECT_EQ(failedWrites.load(), 0);
    EXPECT_EQ(wrongReads.load(), 0);
    // Each section appended exactly once: four sections, 238 bytes.
    EXPECT_EQ(Contents().size(), 238u);
    SYSTEMTIME t;
    ASSERT_EQ(ReadTimestamp(kUpdateTimeHeader, &t), 1);
    const int last = kRounds - 1;
    EXPECT_EQ(Show(t), Show(At(2002, 1 + last % 12, 1 + last % 28, last % 24, last % 60)));
    EXPECT_EQ(ReadAutoUpdateFlag(), last % 2);
}
