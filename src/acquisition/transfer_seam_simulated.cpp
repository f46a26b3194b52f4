// Test builds only. While the DWORD value "IgnoreLibraryCounts" under
// HKEY_CURRENT_USER\Software\GpsFennikSimulation is not 0, each transfer that
// begins takes none of the library's byte counts.
//
// Each transfer's watchdog adds one line to WatchdogJournal.txt beside the
// executable, for the benchmark:
//   cpu_ms <its thread's CPU time> looks <count> look_ms <time in its looks>
#include "acquisition/transfer_seam.h"

#include <cstdio>

#include "base/module_path.h"
#include "base/scoped_win.h"
#include "base/simulated_fault.h"

bool LibraryCountsTaken() {
    DWORD ignored = 0, bytes = sizeof ignored;
    return RegGetValueW(HKEY_CURRENT_USER, kSimulationKey, L"IgnoreLibraryCounts", RRF_RT_REG_DWORD, nullptr,
                        &ignored, &bytes) != ERROR_SUCCESS ||
           ignored == 0;
}

void JournalWatchdog(HANDLE thread, ULONG looks, ULONGLONG lookTicks) {
    FILETIME created{}, ended{}, kernel{}, user{};
    LARGE_INTEGER frequency{};
    wchar_t path[MAX_PATH] = {};
    if (!GetThreadTimes(thread, &created, &ended, &kernel, &user) || !QueryPerformanceFrequency(&frequency) ||
        !MakeModulePath(path, L"WatchdogJournal.txt"))
        return;
    const auto ticks = [](const FILETIME& t) { return ULONGLONG{t.dwHighDateTime} << 32 | t.dwLowDateTime; };
    char line[96] = {};
    const int length = snprintf(line, sizeof line, "cpu_ms %.3f looks %lu look_ms %.3f\r\n",
                                (ticks(kernel) + ticks(user)) / 1e4, looks, lookTicks * 1e3 / frequency.QuadPart);
    ScopedFile file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file && length > 0) WriteFile(file.Get(), line, static_cast<DWORD>(length), &written, nullptr);
}
