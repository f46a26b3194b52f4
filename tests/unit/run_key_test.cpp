#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "persistence/run_key.h"
#include "base/scoped_win.h"
#include "named_test_lock.h"
#include "win_test_util.h"

namespace {

struct RegValue {
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> data;
};

ScopedRegKey OpenRunKey() {
    HKEY raw = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, nullptr);
    return ScopedRegKey(raw);
}

RegValue QueryRunValue() {
    RegValue v;
    ScopedRegKey key = OpenRunKey();
    if (!key) return v;
    DWORD size = 0;
    if (RegQueryValueExW(key.Get(), kRunValueName, nullptr, &v.type, nullptr, &size) != ERROR_SUCCESS) return v;
    v.data.resize(size);
    if (RegQueryValueExW(key.Get(), kRunValueName, nullptr, &v.type, v.data.empty() ? nullptr : v.data.data(), &size) !=
        ERROR_SUCCESS)
        return v;
    v.data.resize(size);
    v.present = true;
    return v;
}

bool SetRunValue(DWORD type, const void* data, DWORD bytes) {
    ScopedRegKey key = OpenRunKey();
    return key && RegSetValueExW(key.Get(), kRunValueName, 0, type, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
}

void DeleteRunValue() {
    ScopedRegKey key = OpenRunKey();
    if (key) RegDeleteValueW(key.Get(), kRunValueName);
}

// Each test starts without the value and leaves the key as it found it.
class RunKeyFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(lock_.Acquire(kRunValueTestLock));
        locked_ = true;
        saved_ = QueryRunValue();
        DeleteRunValue();
        ASSERT_FALSE(QueryRunValue().present);
    }
    void TearDown() override {
        if (!locked_) return;
        DeleteRunValue();
        if (saved_.present)
            SetRunValue(saved_.type, saved_.data.data(), static_cast<DWORD>(saved_.data.size()));
    }
    NamedTestLock lock_;
    bool locked_ = false;
    RegValue saved_;
};

class RunKeyWrite : public RunKeyFixture {};
class RunKeyPresence : public RunKeyFixture {};

std::wstring ExePath() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

}  // namespace

TEST_F(RunKeyWrite, EnableStoresTheFullExePathAsTerminatedString) {
    ASSERT_EQ(SetStartWithWindows(1), 1);
    const RegValue v = QueryRunValue();
    ASSERT_TRUE(v.present);
    EXPECT_EQ(v.type, static_cast<DWORD>(REG_SZ));
    const std::wstring exe = ExePath();
    ASSERT_EQ(v.data.size(), 2 * exe.size() + 2);
    EXPECT_EQ(v.data[v.data.size() - 1], 0);
    EXPECT_EQ(v.data[v.data.size() - 2], 0);
    const std::wstring stored(reinterpret_cast<const wchar_t*>(v.data.data()), exe.size());
    EXPECT_EQ(Narrow(stored), Narrow(exe));
    EXPECT_EQ(IsStartWithWindows(), 1);

    // Enabling again writes the same value and succeeds again.
    ASSERT_EQ(SetStartWithWindows(1), 1);
    const RegValue again = QueryRunValue();
    EXPECT_EQ(again.type, v.type);
    EXPECT_EQ(again.data, v.data);
}

TEST_F(RunKeyWrite, DisableDeletesAndDeletingAMissingValueFails) {
    ASSERT_EQ(SetStartWithWindows(1), 1);
    EXPECT_EQ(SetStartWithWindows(0), 1);
    EXPECT_FALSE(QueryRunValue().present);
    EXPECT_EQ(IsStartWithWindows(), 0);
    EXPECT_EQ(SetStartWithWindows(0), 0);
    EXPECT_FALSE(QueryRunValue().present);
}

TEST_F(RunKeyPresence, ValueOfAnyTypeOrDataCountsAsPresent) {
    EXPECT_EQ(IsStartWithWindows(), 0);

    const DWORD number = 1;
    ASSERT_TRUE(SetRunValue(REG_DWORD, &number, sizeof number));
    EXPECT_EQ(IsStartWithWindows(), 1) << "REG_DWORD";

    const wchar_t other[] = L"C:\\Program Files\\Other\\other.exe";
    ASSERT_TRUE(SetRunValue(REG_SZ, other, sizeof other));
    EXPECT_EQ(IsStartWithWindows(), 1) << "another program";

    ASSERT_TRUE(SetRunValue(REG_SZ, L"", 0));
    EXPECT_EQ(IsStartWithWindows(), 1) << "no data";
}

TEST_F(RunKeyPresence, ValueLargerThanAPathBufferCountsAsPresent) {
    // 521 bytes and more do not fit a 260-character buffer.
    const std::wstring longText(600, L'x');
    ASSERT_TRUE(SetRunValue(REG_SZ, longText.c_str(), static_cast<DWORD>((longText.size() + 1) * sizeof(wchar_t))));
    EXPECT_EQ(IsStartWithWindows(), 1) << "REG_SZ of 1202 bytes";

    const std::vector<BYTE> blob(521, 0x5A);
    ASSERT_TRUE(SetRunValue(REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())));
    EXPECT_EQ(IsStartWithWindows(), 1) << "REG_BINARY of 521 bytes";

    // Replacing such a value with the program's own works as usual.
    ASSERT_EQ(SetStartWithWindows(1), 1);
    EXPECT_EQ(QueryRunValue().type, static_cast<DWORD>(REG_SZ));
}
