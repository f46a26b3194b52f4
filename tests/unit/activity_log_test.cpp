#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "persistence/activity_log.h"
#include "base/scoped_win.h"
#include "named_test_lock.h"
#include "win_test_util.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct LogLine {
    SYSTEMTIME stamp = {};  // month, day and time of day only
    std::wstring label;
    std::wstring message;
};

std::wstring FromUtf16Bytes(const Bytes& bytes) {
    std::wstring text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) text.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
    return text;
}

// Splits the text into lines of "MM/DD  hh:mm.ss::mmm<TAB>label<TAB>message<CR><LF>".
// Adds a failure and stops at the first piece that does not fit the layout.
std::vector<LogLine> ParseLog(const std::wstring& text) {
    std::vector<LogLine> lines;
    for (size_t pos = 0, end; pos < text.size(); pos = end + 2) {
        end = text.find(L"\r\n", pos);
        if (end == std::wstring::npos) {
            ADD_FAILURE() << "line without CR LF: " << Narrow(text.substr(pos));
            break;
        }
        const std::wstring line = text.substr(pos, end - pos);
        int f[6] = {};
        const bool digits = swscanf(line.c_str(), L"%2d/%2d  %2d:%2d.%2d::%3d", &f[0], &f[1], &f[2], &f[3], &f[4],
                                    &f[5]) == 6;
        // Printed back with zeros, the fields must give the line's own stamp.
        wchar_t stamp[32] = {};
        swprintf(stamp, 32, L"%02d/%02d  %02d:%02d.%02d::%03d\t", f[0], f[1], f[2], f[3], f[4], f[5]);
        const size_t tab = line.find(L'\t', 21);
        if (!digits || line.compare(0, 21, stamp) != 0 || tab == std::wstring::npos) {
            ADD_FAILURE() << "line does not fit the layout: " << Narrow(line);
            break;
        }
        LogLine l;
        l.stamp = {0, static_cast<WORD>(f[0]), 0, static_cast<WORD>(f[1]), static_cast<WORD>(f[2]),
                   static_cast<WORD>(f[3]), static_cast<WORD>(f[4]), static_cast<WORD>(f[5])};
        l.label = line.substr(21, tab - 21);
        l.message = line.substr(tab + 1);
        lines.push_back(l);
    }
    return lines;
}

auto Key(const SYSTEMTIME& t) {
    return std::make_tuple(t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

// Wine maps the read-only attribute to the Unix write bits, which root
// ignores: then no file can be made read-only for this test.
bool ReadOnlyIsEnforced(const std::wstring& path) {
    ScopedFile probe(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return !probe;
}

class ActivityLogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lock_.Acquire(kLogFileTestLock));
        path_ = ExeDirectory() + kLogFileName;
        ASSERT_TRUE(RemoveFile(path_)) << Narrow(path_);
    }
    void TearDown() override {
        if (!path_.empty()) RemoveFile(path_);
    }

    Bytes Contents() const { return ReadFileBytes(path_); }
    std::vector<LogLine> Lines() const { return ParseLog(FromUtf16Bytes(Contents())); }

    NamedTestLock lock_;
    std::wstring path_;
};

using ActivityLogFormat = ActivityLogFixture;
using ActivityLogMessage = ActivityLogFixture;
using ActivityLogAccess = ActivityLogFixture;

}  // namespace

TEST_F(ActivityLogFormat, LineHasTheDocumentedLayoutAndNoByteOrderMark) {
    SYSTEMTIME before, after;
    GetLocalTime(&before);
    ASSERT_EQ(AppendLog(L"Download to:", L"E:\\Ephemeris.ee"), 1);
    GetLocalTime(&after);

    const Bytes bytes = Contents();
    ASSERT_GE(bytes.size(), 4u);
    EXPECT_EQ(bytes.size() % 2, 0u);
    // The file starts with the first digit of the month.
    EXPECT_TRUE(bytes[0] == '0' || bytes[0] == '1') << int(bytes[0]);
    EXPECT_EQ(bytes[1], 0);
    EXPECT_EQ(Bytes(bytes.end() - 4, bytes.end()), (Bytes{0x0D, 0, 0x0A, 0}));

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    const LogLine& l = lines[0];
    EXPECT_EQ(Narrow(l.label), "Download to:");
    EXPECT_EQ(Narrow(l.message), "E:\\Ephemeris.ee");
    // 21 stamp characters, label, tab, message, CR LF.
    EXPECT_EQ(bytes.size(), 2u * (21 + 12 + 1 + 15 + 2));
    if (Key(before) <= Key(after)) {  // no change of year between the two readings
        EXPECT_TRUE(Key(before) <= Key(l.stamp) && Key(l.stamp) <= Key(after))
            << "line stamped " << Narrow(FromUtf16Bytes(bytes).substr(0, 20));
    }
}

TEST_F(ActivityLogFormat, LinesAreAppendedAfterWhatIsThere) {
    const Bytes earlier = Utf16Bytes(L"01/02  03:04.05::006\tDownload to:\tF:\\Ephemeris.ee\r\n");
    ASSERT_TRUE(WriteFileBytes(path_, earlier));
    ASSERT_EQ(AppendLog(L"Download to:", L"E:\\Ephemeris.ee"), 1);
    ASSERT_EQ(AppendLog(L"Download to:", L"G:\\Ephemeris.ee"), 1);

    const Bytes bytes = Contents();
    ASSERT_GT(bytes.size(), earlier.size());
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + static_cast<long>(earlier.size())), earlier);
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Key(lines[0].stamp), Key(SYSTEMTIME{0, 1, 0, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Narrow(lines[1].message), "E:\\Ephemeris.ee");
    EXPECT_EQ(Narrow(lines[2].message), "G:\\Ephemeris.ee");
    EXPECT_LE(Key(lines[1].stamp), Key(lines[2].stamp));
}

TEST_F(ActivityLogFormat, EmptyLabelGivesTwoTabsInARow) {
    ASSERT_EQ(AppendLog(L"", L"msg"), 1);
    ASSERT_EQ(AppendLog(nullptr, L"msg2"), 1);
    const std::wstring text = FromUtf16Bytes(Contents());
    const auto lines = ParseLog(text);
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& l : lines) EXPECT_EQ(l.label.size(), 0u) << Narrow(l.label);
    EXPECT_EQ(Narrow(text.substr(20, 5)), "\t\tmsg");
}

TEST_F(ActivityLogMessage, MessageIsCutTo254Characters) {
    std::wstring longText;
    for (int i = 0; i < 300; ++i) longText.push_back(static_cast<wchar_t>(L'a' + i % 26));
    ASSERT_EQ(AppendLog(L"L", L"%s", longText.c_str()), 1);
    ASSERT_EQ(AppendLog(L"L", longText.substr(0, 254).c_str()), 1);
    ASSERT_EQ(AppendLog(L"L", longText.substr(0, 253).c_str()), 1);
    ASSERT_EQ(AppendLog(L"L", L""), 1);

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(Narrow(lines[0].message), Narrow(longText.substr(0, 254)));
    EXPECT_EQ(Narrow(lines[1].message), Narrow(longText.substr(0, 254)));
    EXPECT_EQ(Narrow(lines[2].message), Narrow(longText.substr(0, 253)));
    EXPECT_EQ(Narrow(lines[3].message), "");
}

TEST_F(ActivityLogMessage, ArgumentsAreFormattedAndTheirPercentSignsKept) {
    ASSERT_EQ(AppendLog(L"Download to:", L"%s", L"100%d %s %n%%"), 1);
    ASSERT_EQ(AppendLog(L"Download to:", L"%s\\%s (%d)", L"E:", L"Ephemeris.ee", 42), 1);
    ASSERT_EQ(AppendLog(L"50%", L"x"), 1);  // the label is written unchanged
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Narrow(lines[0].message), "100%d %s %n%%");
    EXPECT_EQ(Narrow(lines[1].message), "E:\\Ephemeris.ee (42)");
    EXPECT_EQ(Narrow(lines[2].label), "50%");
}

TEST_F(ActivityLogAccess, FileHeldOpenOrReadOnlyIsLeftUnchanged) {
    const Bytes earlier = Utf16Bytes(L"01/02  03:04.05::006\tDownload to:\tF:\\Ephemeris.ee\r\n");
    for (bool readOnly : {false, true}) {
        SCOPED_TRACE(readOnly ? "read-only" : "held by another handle");
        SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
        ASSERT_TRUE(WriteFileBytes(path_, earlier));
        ScopedFile holder;
        if (readOnly) {
            ASSERT_TRUE(SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_READONLY));
            if (!ReadOnlyIsEnforced(path_)) continue;  // root under Wine: read-only files stay writable
        } else {
            holder.Reset(CreateFileW(path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(holder) << GetLastError();
        }
        EXPECT_EQ(AppendLog(L"Download to:", L"E:\\Ephemeris.ee"), 0);
        holder.Reset();
        EXPECT_EQ(Contents(), earlier);
    }
    SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(AppendLog(L"Download to:", L"E:\\Ephemeris.ee"), 1);
    EXPECT_EQ(Lines().size(), 2u);
}
