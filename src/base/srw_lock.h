#pragma once
// The platform's own lock (an SRW lock) for std::lock_guard and
// std::unique_lock: no threading runtime behind it, no kernel object made on
// first contention, and nothing to destroy while a worker may still hold it
// at process end.
#include <windows.h>

class SrwLock {
public:
    SrwLock() = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;

    void lock() { AcquireSRWLockExclusive(&lock_); }
    bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != 0; }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};
