#pragma once
// CTest runs suites in parallel, each in its own process of the same Wine
// prefix. Tests that use one shared thing (a file beside the test exe, a
// registry value) hold a named mutex for it while they run.
#include <windows.h>

inline constexpr wchar_t kSettingsFileTestLock[] = L"Local\\FennikTest.Kelva_config.ini";
inline constexpr wchar_t kLogFileTestLock[] = L"Local\\FennikTest.Kelva_log.txt";
inline constexpr wchar_t kRunValueTestLock[] = L"Local\\FennikTest.RunValue";
// The simulated USB identities under HKCU\Software\GpsFennikSimulation\Drives.
inline constexpr wchar_t kSimulatedDrivesTestLock[] = L"Local\\FennikTest.SimulatedDrives";

class NamedTestLock {
public:
    NamedTestLock() = default;
    NamedTestLock(const NamedTestLock&) = delete;
    NamedTestLock& operator=(const NamedTestLock&) = delete;
    ~NamedTestLock() { Release(); }

    // Waits at most `timeoutMs`; true when held (also when a crashed holder
    // left it abandoned).
    bool Acquire(const wchar_t* name, DWORD timeoutMs = 120000) {
        Release();
        mutex_ = CreateMutexW(nullptr, FALSE, name);
        if (!mutex_) return false;
        const DWORD r = WaitForSingleObject(mutex_, timeoutMs);
        held_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
        return held_;
    }
    void Release() {
        if (held_) ReleaseMutex(mutex_);
        held_ = false;
        if (mutex_) CloseHandle(mutex_);
        mutex_ = nullptr;
    }

private:
    HANDLE mutex_ = nullptr;
    bool held_ = false;
};
