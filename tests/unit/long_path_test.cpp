// An executable whose directory leaves no room for the file names: the
// settings and log operations must fail cleanly and never use a cut path.
// The test copies this exe into such a directory and runs one test there.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "persistence/activity_log.h"
#include "base/module_path.h"
#include "persistence/settings_file.h"
#include "base/scoped_win.h"
#include "win_test_util.h"

namespace {

constexpr wchar_t kChildExe[] = L"t.exe";
// With the final backslash: + "t.exe" fits in 260, + "Kelva_log.txt" and
// + "Kelva_config.ini" do not.
constexpr size_t kDeepDirChars = 250;

std::wstring Long(const std::wstring& path) {
    return L"\\\\?\\" + path;
}

std::vector<std::wstring> ListDirectory(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(Long(dir + L"*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = fd.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

}  // namespace

TEST(LongModulePath, SettingsAndLogFailCleanlyBesideADeepExe) {
    const std::wstring base = ExeDirectory() + L"deep\\";
    std::wstring dir = base;
    std::vector<std::wstring> created = {base};
    CreateDirectoryW(Long(base).c_str(), nullptr);
    while (dir.size() < kDeepDirChars) {
        const size_t component = std::min<size_t>(100, kDeepDirChars - dir.size() - 1);
        dir += std::wstring(component, L'd') + L"\\";
        created.push_back(dir);
        CreateDirectoryW(Long(dir).c_str(), nullptr);
    }
    ASSERT_EQ(dir.size(), kDeepDirChars) << Narrow(dir);
    const std::wstring exe = dir + kChildExe;
    wchar_t selfPath[MAX_PATH] = {};
    ASSERT_LT(GetModuleFileNameW(nullptr, selfPath, MAX_PATH), static_cast<DWORD>(MAX_PATH));
    ASSERT_TRUE(CopyFileW(Long(selfPath).c_str(), Long(exe).c_str(), FALSE)) << GetLastError();

    const std::wstring report = ExeDirectory() + L"long_path_child.xml";
    RemoveFile(report);
    std::wstring cmd = L"\"" + exe + L"\" --gtest_filter=LongModulePath.DISABLED_ChildSide" +
                       L" --gtest_also_run_disabled_tests --gtest_output=xml:" + report;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    const BOOL started =
        CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    DWORD exitCode = 0xFFFFFFFF;
    if (started) {
        ScopedKernelHandle process(pi.hProcess);
        ScopedKernelHandle thread(pi.hThread);
        EXPECT_EQ(WaitForSingleObject(process.Get(), 120000), WAIT_OBJECT_0);
        GetExitCodeProcess(process.Get(), &exitCode);
    }
    const std::vector<std::wstring> left = ListDirectory(dir);

    DeleteFileW(Long(exe).c_str());
    for (auto it = created.rbegin(); it != created.rend(); ++it) RemoveDirectoryW(Long(*it).c_str());
    const std::vector<unsigned char> xml = ReadFileBytes(report);
    RemoveFile(report);

    ASSERT_TRUE(started) << GetLastError();
    EXPECT_EQ(exitCode, 0u);
    const std::string xmlText(xml.begin(), xml.end());
    EXPECT_NE(xmlText.find("name=\"DISABLED_ChildSide\""), std::string::npos) << xmlText;
    EXPECT_NE(xmlText.find("tests=\"1\" failures=\"0\""), std::string::npos) << xmlText;
    // Nothing was created under a cut name beside the exe.
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(Narrow(left[0]), Narrow(kChildExe));
}

// Runs only inside the copy made above.
TEST(LongModulePath, DISABLED_ChildSide) {
    wchar_t path[MAX_PATH];
    std::fill(std::begin(path), std::end(path), L'x');
    ASSERT_EQ(MakeModulePath(path, L"a.txt"), 1);  // the directory itself is found
    EXPECT_EQ(MakeModulePath(path, kSettingsFileName), 0);
    EXPECT_EQ(path[0], L'\0');
    EXPECT_EQ(MakeModulePath(path, kLogFileName), 0);

    EXPECT_EQ(WriteAutoUpdateFlag(0), 0);
    EXPECT_EQ(ReadAutoUpdateFlag(), 1);
    SYSTEMTIME t = {};
    t.wYear = 2007;
    t.wMonth = 11;
    t.wDay = 5;
    EXPECT_EQ(WriteTimestamp(kUpdateTimeHeader, t), 0);
    std::memset(&t, 0xAB, sizeof t);
    EXPECT_EQ(ReadTimestamp(kUpdateTimeHeader, &t), 0);
    EXPECT_EQ(t.wYear, 0);
    EXPECT_EQ(t.wMonth, 0);
    EXPECT_EQ(t.wMinute, 0);
    EXPECT_EQ(AppendLog(L"Download to:", L"E:\\Ephemeris.ee"), 0);
}
