#pragma once
// The process-wide state shared by every subsystem, the private window
// messages and the program's fixed constants.
//
// Three threads use this record: the main thread (both windows, the Update
// command, the drive scan), the download worker and the copy worker. What they
// share is atomic or guarded by one of the locks below; the rest belongs to
// the main thread alone.
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstdint>

#include "base/srw_lock.h"
#include "device/device_drives.h"

inline constexpr size_t kPathChars = MAX_PATH;  // 260, terminator included
inline constexpr size_t kTextChars = 150;       // UI texts, terminator included

// The update workflow's states, in the order of their stored values.
enum UpdateState : uint32_t {
    Idle = 0,
    CancelRequested = 1,
    Connecting = 2,
    Downloading = 3,
    Downloaded = 4,
    DownloadFailed = 5,
    Copying = 6,
    Copied = 7,
    CopyFailed = 8,
};
inline constexpr uint32_t kLastUpdateState = CopyFailed;

// Private window messages. The tray callback keeps its historical value; the
// drive-scan reports live in the WM_APP range because the platform never
// dispatches a message above 0xFFFF to a window procedure.
inline constexpr UINT WM_TRAYNOTIFY = 0x8000;  // == WM_APP
inline constexpr UINT MSG_DRIVE_ADDED = WM_APP + 2;
inline constexpr UINT MSG_DRIVE_REMOVED = WM_APP + 3;
inline constexpr UINT MSG_DEVICE_REFUSED = WM_APP + 4;
// Sent to the main dialog by a worker: wParam 1 starts the animation timer,
// 0 stops it. Timers belong to the window's own thread, so the worker asks.
inline constexpr UINT MSG_ANIMATION_TIMER = WM_APP + 5;
// Posted to the main window when the shell refused a tooltip change: it lost
// the icon, which is then added again.
inline constexpr UINT MSG_TRAY_LOST = WM_APP + 6;
// Posted to the main window by the dialog after its first drive scan: the
// start-up look at the data's freshness comes after the device's own update.
inline constexpr UINT MSG_FRESHNESS_LOOK = WM_APP + 7;
static_assert(MSG_DRIVE_ADDED > WM_TRAYNOTIFY && MSG_FRESHNESS_LOOK < 0xC000, "private messages stay in WM_APP");
inline constexpr LPARAM kTrayDoubleClick = WM_LBUTTONDBLCLK;  // 515, also the hand-over

inline constexpr wchar_t kShowMainDialogMessageName[] = L"KIVAR_SHOW_MAIN_DIALOG_IND";

inline constexpr UINT_PTR TIMER_ANIMATION = 100;
inline constexpr UINT kAnimationIntervalMs = 150;
inline constexpr UINT_PTR TIMER_SPLASH = 102;
inline constexpr UINT kSplashMs = 2000;
// On the main window while the shell refuses the tray icon: a new add every
// two seconds, for about two minutes (a shell still busy at logon).
inline constexpr UINT_PTR TIMER_TRAY_RETRY = 103;
inline constexpr UINT kTrayRetryMs = 2000;
inline constexpr ULONGLONG kTrayRetryForMs = 120000;
// On the main window: the periodic look at the data's freshness, and the
// quick looks after a resume while the network comes back.
inline constexpr UINT_PTR TIMER_FRESHNESS = 104;
inline constexpr UINT_PTR TIMER_RESUME_RETRY = 105;

// Whose update runs: the user's (the default, with its result box), or the
// program's own quiet refresh.
enum UpdateOrigin : uint32_t { UserUpdate = 0, QuietUpdate = 1 };

struct AppState {
    // --- shared between the main thread and the workers ----------------------
    std::atomic<uint32_t> updateState{Idle};
    std::atomic<uint32_t> readyForUpdate{1};
    std::atomic<HANDLE> downloadThread{INVALID_HANDLE_VALUE};
    std::atomic<HANDLE> copyThread{INVALID_HANDLE_VALUE};
    std::atomic<UINT_PTR> animationTimerActive{0};
    std::atomic<int> downloadPercent{0};
    std::atomic<HWND> mainDialog{nullptr};
    // Set once the main window is going away: no new worker may start.
    std::atomic<bool> shuttingDown{false};
    // An UpdateOrigin; changed under workflowLock.
    std::atomic<uint32_t> updateOrigin{UserUpdate};
    // From the start of a download to its worker's final decision, under
    // workflowLock: a device that arrives meanwhile is seen by that decision.
    std::atomic<bool> decisionPending{false};
    // A device arrived after the running update had decided without it: its
    // own update follows once the workers are done.
    std::atomic<bool> arrivalPending{false};
    // The last download that succeeded (FILETIME ticks of its local time, 0:
    // none in this run), kept also when the settings file could not take it;
    // and when the last download failed (GetTickCount64, 0: it did not).
    std::atomic<uint64_t> lastDownloadLocal{0};
    std::atomic<ULONGLONG> lastDownloadFailedTick{0};

    // Serialises the read-modify-write steps of the workflow: the Update
    // command's transition, a worker's final decision and every worker start.
    // Never held across a window call or a message box.
    SrwLock workflowLock;

    // The recorded device drives; written by the scan on the main thread,
    // read by the workers as a whole snapshot (see device_drives.h).
    DeviceDriveRecord deviceDrives;

    // The event that wakes a running download's watchdog; null when none
    // runs. Set and cleared by the download worker, signalled under
    // workflowLock when a cancel is stored, so the state machine never calls
    // into the download.
    std::atomic<HANDLE> transferWake{nullptr};

    // --- main thread only ----------------------------------------------------
    uint32_t deviceAccepted = 1;
    uint32_t previousDriveCount = 0;
    uint32_t exitConfirmOpen = 0;
    uint32_t refusedNoticeOpen = 0;
    int32_t animationFrame = 0;
    UINT showMainDialogMessage = 0;
    UINT taskbarCreatedMessage = 0;
    HWND mainWindow = nullptr;
    int screenWidth = 0;
    int screenHeight = 0;

    // --- written once at start-up, read-only afterwards ----------------------
    wchar_t localEphemerisPath[kPathChars] = {};
    wchar_t downloadPath[kPathChars] = {};
    bool pathsValid = false;
    wchar_t appTitle[kTextChars] = {};
    wchar_t windowClassName[kTextChars] = {};
    HINSTANCE instanceHandle = nullptr;
    // Released only under the string lock (see string_table.h).
    HMODULE stringModule = nullptr;

    // The one tray record; every change goes through trayLock (tray_icon.h),
    // which is never held across a call into the shell. The two counters,
    // under the same lock, order tooltips that reach the shell concurrently.
    NOTIFYICONDATAW trayIconData = {};
    uint64_t trayTipGeneration = 0;
    uint64_t trayTipShown = 0;
    SrwLock trayLock;
};

// The one instance. It is never destroyed: worker threads may still run while
// the process ends, and must not meet a destroyed lock.
extern AppState& app;

// True when no worker of either kind holds its handle.
inline bool NoWorkerRunning() {
    return app.downloadThread.load() == INVALID_HANDLE_VALUE && app.copyThread.load() == INVALID_HANDLE_VALUE;
}
