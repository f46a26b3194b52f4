#pragma once
// Drives the real GpsFennik.exe from outside, as a user and the system would:
// a fresh run folder per test, a clean machine state, the process started and
// ended, its windows found and read, its buttons pressed, its message boxes
// answered, devices plugged in and out through the registry simulation and
// the volume messages. Every wait is bounded.
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http_test_server.h"
#include "named_test_lock.h"

inline constexpr wchar_t kMainWindowClass[] = L"KIVAR M415 GPS Fennik";
inline constexpr wchar_t kRunKeyPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kRunValueName[] = L"KIVAR M415 GPS Fennik";
inline constexpr wchar_t kSimulatedDrivesKey[] = L"Software\\GpsFennikSimulation\\Drives";
inline constexpr wchar_t kAcceptedDeviceId[] = L"USB\\VID_7F3E&PID_2A61\\0001";
inline constexpr wchar_t kRefusedDeviceId[] = L"USB\\VID_7F3E&PID_2A63\\0001";
inline constexpr wchar_t kDeviceLetters[] = L"EFG";

inline constexpr UINT kWmTrayNotify = 0x8000;
inline constexpr LPARAM kTrayLeftDoubleClick = 515;  // WM_LBUTTONDBLCLK, also the hand-over

// Bound of a wait for something that should come (start-up includes the
// two-second splash); hitting it means the test fails, never that it passes.
inline constexpr DWORD kWaitMs = 15000;

// A Unix path as the program under Wine sees it (through drive Z:); a
// Windows path is returned unchanged.
std::wstring WindowsPathOf(const std::string& path);
// True when the tests run under Wine (used only to skip what Wine cannot do).
bool RunningUnderWine();
// Moves the calling thread to the desktop that the program is started on, a
// desktop of the tests' own (under Wine a virtual one). Once per process;
// the thread must not own a window yet.
bool UseTestDesktop();

// --- machine state -------------------------------------------------------
// The folder behind a simulated device drive, reached without its letter.
std::wstring DeviceFolder(wchar_t letter);
// "E:\" for 'E'.
std::wstring DeviceRoot(wchar_t letter);
// Removes the folder behind a device drive (with its content) so that the
// drive no longer leads anywhere; RestoreDeviceFolder brings it back empty.
bool RemoveDeviceFolder(wchar_t letter);
bool RestoreDeviceFolder(wchar_t letter);
// Simulated devices forgotten, Run value deleted, device folders there and
// empty, no program instance left over from an earlier test.
bool ResetMachineState(std::wstring* problem = nullptr);
bool RunValueExists();
bool SetSimulatedDevice(wchar_t letter, const wchar_t* deviceId);
bool ClearSimulatedDevice(wchar_t letter);

// --- files -----------------------------------------------------------------
// The settings file's bytes for the given sections: header, value, CR LF each.
std::vector<unsigned char> SettingsFileBytes(std::initializer_list<std::pair<const wchar_t*, std::wstring>> sections);
// "YYYY/MM/DD<TAB>hh:mm".
std::wstring StampText(const SYSTEMTIME& time);
// Parses a timestamp text; false unless it has exactly that form.
bool ParseStamp(const std::wstring& text, SYSTEMTIME* time);
SYSTEMTIME AddMinutes(const SYSTEMTIME& time, long long minutes);
// Minutes from `a` to `b` (both cut to whole minutes).
long long MinutesBetween(const SYSTEMTIME& a, const SYSTEMTIME& b);
std::wstring FromUtf16Bytes(const std::vector<unsigned char>& bytes);
// A file's bytes as a string ("" when it is missing).
std::string FileContent(const std::wstring& path);
// The 16-character value after a section header of the settings file's text,
// or "" when the header is not there.
std::wstring SettingsValue(const std::wstring& settingsText, const wchar_t* header, size_t width = 16);

struct RunFolderOptions {
    bool withStringModule = true;
    std::optional<std::vector<unsigned char>> settings;   // Kelva_config.ini
    std::optional<std::vector<unsigned char>> ephemeris;  // Ephemeris.ee
};

class AppDriver {
public:
    AppDriver() = default;
    ~AppDriver();
    AppDriver(const AppDriver&) = delete;
    AppDriver& operator=(const AppDriver&) = delete;

    // <test exe dir>\e2e-run\<name>\ emptied and filled with the program from
    // `distDir` and the chosen files.
    bool PrepareRunFolder(const std::wstring& distDir, const std::wstring& name, const RunFolderOptions& options);
    const std::wstring& RunFolder() const { return runFolder_; }
    std::wstring RunFile(const wchar_t* name) const { return runFolder_ + name; }
    std::vector<unsigned char> ReadRunFile(const wchar_t* name) const;

    // --- the process ---------------------------------------------------------
    bool Start();
    bool Running() const;
    DWORD ProcessId() const { return pi_.dwProcessId; }
    // Waits for the end of the process; its exit code when asked.
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode = nullptr);
    // Starts another process of the same exe and waits for its end.
    bool RunSecondInstance(DWORD* exitCode, DWORD timeoutMs = kWaitMs);
    // WM_CLOSE to the main window, a bounded wait, then TerminateProcess.
    // Never leaves the process behind. True when it ended without force.
    bool Shutdown();

    // --- windows -------------------------------------------------------------
    HWND WaitForMainWindow(DWORD timeoutMs = kWaitMs);
    HWND WaitForMainDialog(DWORD timeoutMs = kWaitMs);
    HWND MainWindow() const { return mainWindow_; }
    HWND MainDialog() const { return mainDialog_; }
    // Top-level windows of the main window's class, of any process.
    static int CountMainWindows();
    // Owned top-level "#32770" windows of `owner` (this process only).
    std::vector<HWND> OwnedDialogs(HWND owner) const;

    static std::wstring WindowText(HWND window);
    std::wstring ControlText(int id) const;
    bool DialogVisible() const;
    bool ControlEnabled(int id) const;
    LRESULT CheckState(int id) const;
    int ProgressPosition() const;

    // Presses a button of the main dialog (BM_CLICK, not waited for).
    void Click(int id) const;
    // WM_COMMAND with the control's identifier, as the program's own code sends it.
    void Command(int id) const;
    // Waits until everything already posted to the program's main thread has
    // been handled (a marker message that makes the round through its queue).
    bool Flush(DWORD timeoutMs = kWaitMs) const;

    // --- message boxes -------------------------------------------------------
    // A visible message box owned by the main dialog, or null.
    HWND FindMessageBox() const;
    HWND WaitForMessageBox(DWORD timeoutMs = kWaitMs) const;
    static std::wstring MessageBoxText(HWND box);
    static std::wstring MessageBoxCaption(HWND box) { return WindowText(box); }
    // BM_CLICK on the box's IDOK or IDCANCEL button, then waits for it to go.
    static bool AnswerMessageBox(HWND box, int buttonId, DWORD timeoutMs = kWaitMs);

    // --- tray ----------------------------------------------------------------
    bool TrayDoubleClick() const;
    // A tray menu command (110 to 113) as WM_COMMAND to the main window.
    void TrayCommand(int id) const;

    // --- devices -------------------------------------------------------------
    // Records the device identity of the drive, then announces the volume.
    bool PlugDevice(wchar_t letter, const wchar_t* deviceId = kAcceptedDeviceId) const;
    bool UnplugDevice(wchar_t letter) const;
    // WM_DEVICECHANGE with a DEV_BROADCAST_VOLUME for the letter.
    bool SendVolumeEvent(WPARAM event, wchar_t letter) const;

    // True until `timeoutMs` has passed, once `done` holds.
    static bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs = kWaitMs);

private:
    bool SendTimeout(HWND window, UINT msg, WPARAM wParam, LPARAM lParam, DWORD_PTR* result = nullptr) const;

    std::wstring runFolder_;
    PROCESS_INFORMATION pi_{};
    HWND mainWindow_ = nullptr;
    HWND mainDialog_ = nullptr;
};

// Base of the end-to-end suites: a clean machine, a run folder named after the
// test, the local ephemeris server listening on the program's port, and
// everything ended and restored at the end, whatever the test did.
class AppTest : public ::testing::Test {
protected:
    explicit AppTest(const char* distDir) : distDir_(WindowsPathOf(distDir)) {}
    void SetUp() override;
    void TearDown() override;

    // Prepares the run folder and starts the program; waits for the main dialog.
    bool Launch(const RunFolderOptions& options = {});
    bool PrepareOnly(const RunFolderOptions& options = {});

    // A text of the string module that the program is given.
    std::wstring Str(UINT id) const;
    // Waits for a message box of the main dialog, checks its text and caption
    // (string module identifiers) and answers it with `button`.
    ::testing::AssertionResult AnswerBox(UINT textId, UINT captionId, int button = IDOK);
    // No message box of the main dialog is open.
    ::testing::AssertionResult NoBox() const;
    // Presses Update until the program takes the press (its status line
    // changes or the server is asked): right after a result notice closes,
    // the worker that showed it may still be ending, and a press that comes
    // in that moment is ignored, as while the notice is open.
    ::testing::AssertionResult PressUpdateUntilTaken();

    AppDriver app;
    HttpTestServer server;
    std::string defaultBody;  // what the server serves unless a test says otherwise

private:
    std::wstring distDir_;
    HMODULE strings_ = nullptr;
    // Held from SetUp until the fixture is gone, after TearDown has cleaned up.
    NamedTestLock runValueLock_;
    NamedTestLock drivesLock_;
};

// Formats a window text for a failure message.
std::string Show(const std::wstring& text);
