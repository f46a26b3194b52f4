#pragma once
// Drives the real GpsFennik.exe as a user and the system would: a run folder
// per test, the process started on a desktop of the tests' own, its dialog
// read and pressed, its message boxes answered, devices plugged in through the
// registry simulation and the volume message, the ephemeris server's answer
// chosen. Every wait is bounded.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "shell/string_ids.h"
#include "test_util.h"

inline constexpr wchar_t kMainWindowClass[] = L"KIVAR M415 GPS Fennik";
inline constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kRunValue[] = L"KIVAR M415 GPS Fennik";
inline constexpr wchar_t kSimulationKey[] = L"Software\\GpsFennikSimulation";
inline constexpr wchar_t kStartupApproved[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
inline constexpr wchar_t kAccepted[] = L"USB\\VID_7F3E&PID_2A61\\0001";
inline constexpr wchar_t kRefused[] = L"USB\\VID_7F3E&PID_2A63\\0001";

// A path of the build tree as the programs under Wine see it (drive Z:).
std::wstring WindowsPath(const char* unixPath);

// The ephemeris server's answer from now on (see ephemeris_server.py), once
// the server has taken it up; the requests it has seen so far, and their log
// (a line each: request line | Cache-Control Pragma).
bool SetServerMode(const std::string& mode);
int ServerRequests();
std::string ServerLog();

// Writes (or with null deletes) the simulated USB identity of a drive.
bool SetSimulatedDevice(wchar_t letter, const wchar_t* deviceId);
std::wstring DeviceFile(wchar_t letter);
// Both Run values deleted, no simulated device, the device drives empty, no
// program instance left over.
bool ResetMachine();
// Starts GpsFennik.exe of `folder` on the tests' desktop; or, given a command
// line, what Windows finds in it without an application name (as for a Run value).
bool StartProgram(const std::wstring& folder, PROCESS_INFORMATION* pi, const wchar_t* commandLine = nullptr);
// Main windows of the program, of one process or (0) of all.
int CountMainWindows(DWORD pid = 0);

struct RunFiles {
    std::optional<std::wstring> settings;  // the text of Kelva_config.ini
    std::optional<Bytes> ephemeris;        // Ephemeris.ee
    std::optional<std::wstring> log;       // Kelva_log.txt
};

class App {
public:
    App() = default;
    App(const App&) = delete;
    App& operator=(const App&) = delete;
    ~App() { Shutdown(); }

    // `name`: a folder of the tests' run folders, or a full path.
    bool Prepare(const std::wstring& name, const RunFiles& files);
    bool Start(const wchar_t* commandLine = nullptr);
    // Takes over the one instance running now, which another program started, once its dialog is there.
    bool Adopt();
    DWORD Process() const { return pi_.dwProcessId; }
    // The main window, then the main dialog once its initialisation returned.
    bool WaitForDialog();
    bool Running() const;
    bool WaitForExit(DWORD timeoutMs, DWORD* exitCode = nullptr);
    // WM_CLOSE to the main window, a bounded wait, then TerminateProcess.
    // True when it ended without force.
    bool Shutdown();

    std::wstring File(const wchar_t* name) const { return folder_ + name; }
    const std::wstring& Folder() const { return folder_; }
    std::wstring Text(int id) const;
    std::wstring Caption() const;
    bool Visible() const { return IsWindowVisible(dialog_) != 0; }
    bool Enabled(int id) const { return IsWindowEnabled(GetDlgItem(dialog_, id)) != 0; }
    // The answer of a control of the dialog to `message` (BM_GETCHECK, PBM_GETPOS).
    LRESULT Ask(int id, UINT message) const;
    void Click(int id) const { PostMessageW(GetDlgItem(dialog_, id), BM_CLICK, 0, 0); }
    int Focus() const;  // the control with the keyboard focus, 0 for none
    HWND Dialog() const { return dialog_; }
    // Waits until everything posted to the program so far has been handled.
    bool Flush() const;

    // A visible message box of the main dialog, or null.
    HWND Box() const;
    // The About box's texts (" | " after each) once it shows, then OK pressed; empty when none came.
    std::wstring About() const;
    // Presses the keys in order and lets them go in reverse, with the dialog in front.
    bool Type(std::initializer_list<WORD> keys) const;
    bool TrayDoubleClick() const;
    void TrayCommand(int id) const { PostMessageW(window_, WM_COMMAND, id, 0); }
    enum Hearers { kDialog = 1, kMainWindow = 2 };  // which windows hear the volume event
    bool Plug(wchar_t letter, const wchar_t* deviceId = kAccepted, int hearers = kDialog) const;
    bool Unplug(wchar_t letter, int hearers = kDialog) const;

    // The test build's journal of notification-area calls (TrayJournal.txt),
    // a line a call, its fields between tabs.
    std::vector<std::wstring> TrayJournal() const;
    // The tooltips the shell was given since the icon was added, " | " between.
    std::wstring Tips() const;
    // Opens the tray menu as a right click or the menu key does, reads its items (" | " between,
    // greyed and default ones marked) and closes it again.
    std::wstring Menu() const;
    // Visible message boxes of the main dialog.
    int Boxes() const;

private:
    bool VolumeEvent(WPARAM event, wchar_t letter, int hearers = kDialog) const;

    std::wstring folder_;
    PROCESS_INFORMATION pi_{};
    HWND window_ = nullptr;
    HWND dialog_ = nullptr;
};

// Base of the end-to-end suites: a clean machine and server, the string
// module's texts, and the program ended whatever the test did.
class AppTest : public ::testing::Test {
public:
    // Text `id` of the string module.
    std::wstring Str(UINT id) const;

protected:
    void SetUp() override;
    void TearDown() override;
    // Prepares a run folder named after the test and starts the program.
    ::testing::AssertionResult Launch(const RunFiles& files = {});
    // Waits for a message box of the main dialog (or one without owner of process `ofProcess`), checks text,
    // caption and icon, presses `button`. A success shows the information icon, everything else a warning.
    ::testing::AssertionResult AnswerBox(UINT textId, UINT captionId, int button = IDOK) {
        const bool success = textId == IDS_MSG_COPY_DONE || textId == IDS_MSG_DOWNLOAD_DONE;
        return AnswerBox(Str(textId), Str(captionId), success ? MB_ICONINFORMATION : MB_ICONWARNING, button);
    }
    ::testing::AssertionResult AnswerBox(const std::wstring& text, const std::wstring& caption, UINT icon, int button = IDOK,
                                         DWORD ofProcess = 0);

    App app;
    HMODULE strings_ = nullptr;
};
