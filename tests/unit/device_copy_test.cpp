// Delivering the file to the device: the device's Ephemeris.ee is replaced
// whole or left as it was, never torn.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/copy_worker.h"
#include "win_test_util.h"

namespace {

class DeviceCopy : public testing::Test {
protected:
    void SetUp() override {
        dir_ = ExeDirectory() + L"device-copy-test\\";
        CreateDirectoryW(dir_.c_str(), nullptr);
        source_ = dir_ + L"source.ee";
        temporary_ = dir_ + kDeviceTempFileName;
        destination_ = dir_ + kDeviceFileName;
        newBytes_.assign(200000, 0);
        for (size_t i = 0; i < newBytes_.size(); ++i) newBytes_[i] = static_cast<unsigned char>(i * 7);
        ASSERT_TRUE(WriteFileBytes(source_, newBytes_));
        ASSERT_TRUE(WriteFileBytes(destination_, oldBytes_));
    }
    void TearDown() override {
        for (const auto& f : {source_, temporary_, destination_}) RemoveFile(f);
        RemoveDirectoryW(temporary_.c_str());
        RemoveDirectoryW(dir_.c_str());
    }
    std::wstring dir_, source_, temporary_, destination_;
    std::vector<unsigned char> newBytes_;
    const std::vector<unsigned char> oldBytes_ = std::vector<unsigned char>(5000, 0x5A);
};

TEST_F(DeviceCopy, ReplacesAnExistingFileWhole) {
    EXPECT_TRUE(ReplaceFileOnDevice(source_.c_str(), temporary_.c_str(), destination_.c_str()));
    EXPECT_EQ(ReadFileBytes(destination_), newBytes_);
    EXPECT_FALSE(FileExists(temporary_)) << "the temporary file stays behind";
}

TEST_F(DeviceCopy, AFailedCopyLeavesTheOldFileAndNoTemporary) {
    RemoveFile(source_);  // the source vanished: the copy fails
    EXPECT_FALSE(ReplaceFileOnDevice(source_.c_str(), temporary_.c_str(), destination_.c_str()));
    EXPECT_EQ(ReadFileBytes(destination_), oldBytes_);
    EXPECT_FALSE(FileExists(temporary_));
}

TEST_F(DeviceCopy, AFailedRenameLeavesTheOldFileAndNoTemporary) {
    // The destination cannot be replaced (held open without sharing, as by a
    // device that is being removed): the old file stays whole.
    HANDLE held = CreateFileW(destination_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const bool replaced = ReplaceFileOnDevice(source_.c_str(), temporary_.c_str(), destination_.c_str());
    CloseHandle(held);
    EXPECT_FALSE(replaced);
    EXPECT_EQ(ReadFileBytes(destination_), oldBytes_);
    EXPECT_FALSE(FileExists(temporary_));
}

}  // namespace
