#pragma once
// The record of the device's drive letters: word 0 the count, words 1 to 25
// the letters in ascending order, zero after the last.
//
// The scan builds a new record off to the side and publishes it whole, so a
// worker that reads it always sees count and letters of one and the same scan.
#include <array>
#include <cstdint>
#include <mutex>

#include "base/srw_lock.h"

inline constexpr size_t kMaxDeviceDrives = 25;

struct DeviceDrives {
    std::array<uint16_t, 26> words{};

    uint16_t Count() const { return words[0]; }
    wchar_t Letter(size_t index) const {
        return index < words[0] && index < kMaxDeviceDrives ? static_cast<wchar_t>(words[1 + index]) : L'\0';
    }
    // Appends a letter; false (and nothing changed) once all 25 slots are used.
    bool Add(wchar_t letter) {
        if (words[0] >= kMaxDeviceDrives) return false;
        words[1 + words[0]] = static_cast<uint16_t>(letter);
        ++words[0];
        return true;
    }
};

class DeviceDriveRecord {
public:
    DeviceDrives Snapshot() const {
        std::lock_guard<SrwLock> hold(lock_);
        return drives_;
    }
    // Returns the record that was replaced.
    DeviceDrives Publish(const DeviceDrives& next) {
        std::lock_guard<SrwLock> hold(lock_);
        DeviceDrives previous = drives_;
        drives_ = next;
        return previous;
    }

private:
    mutable SrwLock lock_;
    DeviceDrives drives_;
};
