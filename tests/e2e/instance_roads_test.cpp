// Ending the program, a second start, a shell that loses the icon, planted files.
#include "roads.h"

namespace {

class InstanceRoad : public Road {};

TEST_F(InstanceRoad, CloseHidesExitAsksAndWmCloseEndsEvenDuringTheSplash) {
    ASSERT_TRUE(Launch());
    // By keyboard (key 0: shown from the tray): focus starts on Update, Tab goes
    // round what takes it, Space ticks and presses, Esc hides without asking.
    const struct { WORD key; int focus; LRESULT tick; } keys[] = {{0, IDC_UPDATE, BST_CHECKED},
        {VK_TAB, IDC_AUTO_UPDATE, BST_CHECKED}, {VK_SPACE, IDC_AUTO_UPDATE, BST_UNCHECKED}, {VK_TAB, IDC_STARTUP, 0},
        {VK_TAB, IDC_CLOSE, 0}, {VK_TAB, IDC_UPDATE, 0}, {VK_ESCAPE, 0 /* hidden */, 0}, {0, IDC_UPDATE, 0},
        {VK_TAB, IDC_AUTO_UPDATE, 0}, {VK_TAB, IDC_STARTUP, 0}, {VK_TAB, IDC_CLOSE, 0}, {VK_SPACE, 0, 0}};
    for (const auto& k : keys) {
        for (UINT m : {WM_KEYDOWN, WM_KEYUP}) k.key && PostMessageW(GetDlgItem(app.Dialog(), app.Focus()), m, k.key, m - WM_KEYDOWN ? 0xC0000001 : 1);
        ASSERT_TRUE(app.Flush() && (k.key || (app.TrayDoubleClick() && app.Flush())));
        EXPECT_TRUE(app.Focus() == k.focus && app.Visible() == (k.focus != 0) && app.Ask(IDC_AUTO_UPDATE, BM_GETCHECK) == k.tick)
            << "after key " << k.key << ": focus " << app.Focus() << ", visible " << app.Visible();
    }
    // About, from Alt+/ and Alt+? (Shift and the / key) as typed, and from the system menu: Alt+Space, its last item.
    ASSERT_TRUE(app.TrayDoubleClick());
    for (auto keys : {std::initializer_list<WORD>{VK_MENU, VK_OEM_2}, {VK_MENU, VK_SHIFT, VK_OEM_2}, {VK_MENU, VK_SPACE}}) {
        EXPECT_TRUE(app.Type(keys) && (keys.begin()[1] != VK_SPACE || (app.Type({VK_UP}) && app.Type({VK_RETURN}))));
        EXPECT_NE(app.About().find(L"Version 1.0"), std::wstring::npos) << keys.size() << " keys";
    }
    // Cancel on the exit question, from the close box, Alt+F4 or the tray's Exit: the dialog stays, in front.
    for (int way : {1, 2, 3}) {
        EXPECT_TRUE(way == 1 ? PostMessageW(app.Dialog(), WM_SYSCOMMAND, SC_CLOSE, 0) : way == 2 ? app.Type({VK_MENU, VK_F4})
                                                                                   : (app.TrayCommand(IDM_TRAY_EXIT), true));
        EXPECT_TRUE(AnswerBox(IDS_CONFIRM_EXIT, IDS_CAPTION_WARNING, IDCANCEL)) << "way " << way;
        EXPECT_TRUE(app.Flush() && app.Visible() && GetForegroundWindow() == app.Dialog() && app.Running()) << "way " << way;
    }
    // A second Exit while the question is open opens no second one.
    app.TrayCommand(IDM_TRAY_EXIT);
    ASSERT_TRUE(PumpUntil([&] { return app.Boxes() == 1; }));
    app.TrayCommand(IDM_TRAY_EXIT);
    EXPECT_TRUE(MenuIs(true, false)) << "the second Exit brings the dialog forward";
    EXPECT_EQ(app.Boxes(), 1);
    EXPECT_TRUE(AnswerBox(IDS_CONFIRM_EXIT, IDS_CAPTION_WARNING, IDCANCEL));
    app.TrayCommand(IDM_TRAY_EXIT);
    EXPECT_TRUE(AnswerBox(IDS_CONFIRM_EXIT, IDS_CAPTION_WARNING, IDOK));
    DWORD code = 1;
    EXPECT_TRUE(app.WaitForExit(10000, &code));
    EXPECT_EQ(code, 0u);

    // WM_CLOSE during the splash ends it as cleanly, before any tray icon.
    ASSERT_TRUE(DeleteFileW(app.File(L"TrayJournal.txt").c_str()) && app.Start());
    ASSERT_TRUE(PumpUntil([&] { return CountMainWindows() == 1; }));  // its first messages go to the splash's loop
    PostMessageW(FindWindowW(kMainWindowClass, nullptr), WM_CLOSE, 0, 0);
    EXPECT_TRUE(app.WaitForExit(10000, &code) && code == 0) << "exit code " << code;
    EXPECT_TRUE(app.TrayJournal().empty()) << "the shell was called " << app.TrayJournal().size() << " times";
}

// Starts made at the same moment, with or without an instance already
// running: one process stays, with one main window; the others hand over and
// end with 0.
TEST_F(InstanceRoad, OnlyOneInstanceEverRuns) {
    ASSERT_TRUE(Launch());
    for (int round = 0; round < 6; ++round) {
        const bool oneRunning = round < 3;  // then none: the four race to be first
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(oneRunning || app.Shutdown());
        PROCESS_INFORMATION started[4];
        for (auto& pi : started) ASSERT_TRUE(StartProgram(app.Folder(), &pi));
        // Settled: each start has ended or runs with a main window of its own.
        EXPECT_TRUE(PumpUntil([&] {
            for (auto& pi : started)
                if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT && !CountMainWindows(pi.dwProcessId)) return false;
            return true;
        }));
        int staying = 0;
        for (auto& pi : started) {
            DWORD code = STILL_ACTIVE;
            GetExitCodeProcess(pi.hProcess, &code);
            staying += code == STILL_ACTIVE;
            EXPECT_TRUE(code == STILL_ACTIVE || code == 0) << "exit code " << code;
            CloseHandle(pi.hProcess);
        }
        EXPECT_EQ(staying, oneRunning ? 0 : 1);
        EXPECT_EQ(CountMainWindows(), 1);
        EXPECT_TRUE(!oneRunning || app.Visible()) << "the hand-over did not show the dialog";
        ASSERT_TRUE(oneRunning || ResetMachine());  // ends the one that stayed
    }
    // A start while the last instance is still ending (held up, as by a failing device's I/O) says so once it
    // has waited for it, and ends when answered.
    ASSERT_TRUE(app.Start() && app.WaitForDialog());
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"ExitHoldMs", REG_DWORD, "\x20\x4E\0\0", 4), 0);  // 20 s
    PostMessageW(FindWindowW(kMainWindowClass, nullptr), WM_CLOSE, 0, 0);
    PROCESS_INFORMATION second{};
    ASSERT_TRUE(PumpUntil([&] { return CountMainWindows() == 0; }) && app.Running() && StartProgram(app.Folder(), &second));
    EXPECT_TRUE(AnswerBox(Str(IDS_MSG_STILL_CLOSING), Str(IDS_APP_TITLE), MB_ICONINFORMATION, IDOK, second.dwProcessId));
    DWORD code = 1;
    EXPECT_TRUE(WaitForSingleObject(second.hProcess, 10000) == WAIT_OBJECT_0 && GetExitCodeProcess(second.hProcess, &code) && code == 0);
    CloseHandle(second.hProcess);
    EXPECT_TRUE(app.WaitForExit(25000));
}

// The shell refuses the icon at first (busy at logon), later loses it, then restarts; the icon answers the keyboard.
TEST_F(InstanceRoad, TrayIconComesBack) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"TrayFailures", REG_DWORD, "\2\0\0\0", 4), 0);
    ASSERT_TRUE(Launch(Fresh()));
    const auto calls = [&](size_t from, std::wstring seen = L"") {  // "add failed, modify ok, ..." from call `from`
        for (const auto& call : app.TrayJournal())
            if (!call.starts_with(L"seticon")) seen += from > 0 && from-- ? L"" : call.substr(0, call.find(L'\t')) + L" " + call.substr(call.rfind(L'\t') + 1) + L", ";
        return seen;
    };
    // Before each new add, a modify asks whether the shell has the icon after all.
    EXPECT_TRUE(PumpUntil([&] { return calls(0) == L"add failed, add failed, modify failed, add ok, setversion ok, "; })) << Show(calls(0));
    NOTIFYICONDATAW icon{};  // the shell loses the icon
    icon.cbSize = sizeof icon, icon.hWnd = FindWindowW(kMainWindowClass, nullptr), icon.uID = 1;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &icon));
    app.TrayCommand(IDM_TRAY_UPDATE);  // changes the tooltip
    EXPECT_TRUE(AnswerBox(IDS_MSG_DOWNLOAD_DONE, IDS_DOWNLOAD_DONE));
    EXPECT_TRUE(PumpUntil([&] { return std::regex_match(calls(5), std::wregex(L"modify failed, .*add ok, setversion ok, .*")); }))
        << Show(calls(5));
    // The shell restarts without the icon and tells with TaskbarCreated.
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &icon));
    const std::wstring earlier = calls(0);
    PostMessageW(icon.hWnd, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return calls(0) == earlier + L"add ok, setversion ok, "; })) << Show(calls(0));
    // Version 4's events: the balloon's click, Enter or Space on the icon open the dialog; a single click does not.
    for (WORD event : {NIN_BALLOONUSERCLICK, NIN_KEYSELECT, NIN_SELECT}) {
        app.TrayCommand(IDM_TRAY_HIDE);
        ASSERT_TRUE(app.Flush() && !app.Visible());
        PostMessageW(icon.hWnd, 0x8000, MAKEWPARAM(300, 700), MAKELPARAM(event, 1));
        EXPECT_TRUE(app.Flush() && app.Visible() == (event != NIN_SELECT)) << "event " << event;
    }
    // A right click brings the button's messages, then WM_CONTEXTMENU: one menu.
    for (UINT button : {WM_RBUTTONDOWN, WM_RBUTTONUP}) PostMessageW(icon.hWnd, 0x8000, MAKEWPARAM(300, 700), MAKELPARAM(button, 1));
    EXPECT_TRUE(MenuIs(false, true));
    EXPECT_EQ(calls(0), earlier + L"add ok, setversion ok, menu " + Str(IDS_MENU_EXIT) + L", ");
}

// A copy unpacked into "GPS Tools" of a folder others write to, DLLs of its names beside it, a GPS.exe at the
// first space of its path: none runs, at start or from the Run value, and the system's urlmon downloads.
TEST_F(InstanceRoad, PlantedFilesNeverRunInItsName) {
    // Windows' order for these names, the program's folder first. Set per program: Wine passes no WINE
    // variable of this process on to the program.
    static constexpr wchar_t kWineApp[] = L"Software\\Wine\\AppDefaults\\GpsFennik.exe";
    struct Restore { ~Restore() { RegDeleteTreeW(HKEY_CURRENT_USER, kWineApp); } } restore;
    const std::wstring overrides = kWineApp + std::wstring(L"\\DllOverrides");
    for (const wchar_t* dll : {L"urlmon", L"wininet", L"comctl32"})
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, overrides.c_str(), dll, REG_SZ, L"native,builtin", 30), 0);
    ASSERT_TRUE(app.Prepare(L"GPS Tools", {}));
    const std::pair<const wchar_t*, std::wstring> planted[] = {
        {L"urlmon.dll", L""}, {L"wininet.dll", L""}, {L"comctl32.dll", L""}, {L"GPS.exe", L"..\\"}};
    const auto path = [&](const auto& file) { return app.File((file.second + file.first).c_str()); };
    for (const auto& file : planted) {
        ASSERT_TRUE(CopyFileW((WindowsPath(FENNIK_PLANTED_DIR "/") + file.first).c_str(), path(file).c_str(), FALSE));
        DeleteFileW((path(file) + L".ran").c_str());
    }
    ASSERT_TRUE(SetSimulatedDevice(L'E', kAccepted));
    EXPECT_TRUE(app.Start() && app.WaitForDialog());  // and on to the check of what ran
    EXPECT_TRUE(AnswerBox(IDS_MSG_COPY_DONE, IDS_COPY_DONE));
    EXPECT_TRUE(ReadFileBytes(DeviceFile(L'E')) == kServed) << "device file of " << ReadFileBytes(DeviceFile(L'E')).size();
    app.Click(IDC_STARTUP);
    EXPECT_TRUE(app.Flush());
    wchar_t stored[MAX_PATH + 4] = {};
    DWORD bytes = sizeof stored;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kRunKey, kRunValue, RRF_RT_REG_SZ, nullptr, stored, &bytes), 0);
    EXPECT_EQ(std::wstring(stored, bytes / 2), L"\"" + app.File(L"GpsFennik.exe") + L"\"" + L'\0') << Show(stored);
    EXPECT_NE(RegGetValueW(HKEY_CURRENT_USER, kRunKey, kRunValue, RRF_RT_ANY, nullptr, nullptr, nullptr), 0) << "a second start entry";
    EXPECT_TRUE(SetSimulatedDevice(L'E', nullptr) && (app.Shutdown() || !app.Running()));
    // As Windows starts a Run value: a command line, no application name.
    EXPECT_TRUE(app.Start(stored) && app.WaitForDialog()) << "the Run value did not start the program";
    for (const auto& file : planted) EXPECT_FALSE(FileExists(path(file) + L".ran")) << Show(file.first) << " ran";
}

}  // namespace
