// Test builds only. Every call is journaled, one UTF-16 line each, to
// TrayJournal.txt beside the executable:
//   add|modify|delete|<action> TAB tip TAB balloon title TAB balloon text TAB
//     uFlags (hex) TAB dwInfoFlags (hex) TAB icon width x height TAB ok|failed
//   setversion TAB version TAB ok|failed
//   seticon TAB big|small TAB icon width x height
//   menu TAB item TAB item ...   (a separator is "-", a greyed item ends in
//     " (grayed)", the default item in " (default)")
// Message boxes go to BoxJournal.txt beside it, as they open:
//   box TAB flags (hex) TAB caption TAB text
// The DWORD value "ExitHoldMs" there holds the next exit that long, once.
// While the DWORD value "TrayFailures" under
// HKEY_CURRENT_USER\Software\GpsFennikSimulation is above 0, each icon call
// fails without reaching the shell and counts it down.
#include "shell/tray_shell.h"

#include <mutex>
#include <string>

#include "base/module_path.h"
#include "base/scoped_win.h"
#include "base/simulated_fault.h"
#include "base/srw_lock.h"

namespace {


SrwLock& JournalLock() {
    static SrwLock* lock = new SrwLock;  // never destroyed: workers may journal at exit
    return *lock;
}

void Journal(const std::wstring& line, const wchar_t* name = L"TrayJournal.txt") {
    wchar_t path[MAX_PATH] = {};
    if (!MakeModulePath(path, name)) return;
    std::lock_guard<SrwLock> hold(JournalLock());
    ScopedFile file(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
    const std::wstring text = line + L"\r\n";
    DWORD written = 0;
    if (file) WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
}

std::wstring Hex(DWORD value) {
    wchar_t text[16] = {};
    wsprintfW(text, L"%x", value);
    return text;
}

std::wstring IconSize(HICON icon) {
    ICONINFO info = {};
    BITMAP bits = {};
    if (icon == nullptr || !GetIconInfo(icon, &info)) return L"no icon";
    GetObjectW(info.hbmMask, sizeof bits, &bits);
    const LONG height = info.hbmColor != nullptr ? bits.bmHeight : bits.bmHeight / 2;  // a mask-only icon is two high
    if (info.hbmColor != nullptr) DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return std::to_wstring(bits.bmWidth) + L"x" + std::to_wstring(height);
}

}  // namespace

BOOL NotifyTray(DWORD action, NOTIFYICONDATAW* record) {
    const BOOL ok = action != NIM_SETVERSION && TakeSimulatedFault(L"TrayFailures") > 0 ? FALSE : Shell_NotifyIconW(action, record);
    const wchar_t* result = ok ? L"ok" : L"failed";
    if (action == NIM_SETVERSION) {
        Journal(L"setversion\t" + std::to_wstring(record->uVersion) + L"\t" + result);
        return ok;
    }
    const wchar_t* name = action == NIM_ADD ? L"add" : action == NIM_MODIFY ? L"modify" : action == NIM_DELETE ? L"delete" : nullptr;
    Journal((name ? std::wstring(name) : Hex(action)) + L"\t" + record->szTip + L"\t" + record->szInfoTitle + L"\t" +
            record->szInfo + L"\t" + Hex(record->uFlags) + L"\t" + Hex(record->dwInfoFlags) + L"\t" +
            (action == NIM_DELETE ? L"-" : IconSize(record->hIcon)) + L"\t" + result);
    return ok;
}

BOOL TrackTrayMenu(HMENU menu, int x, int y, HWND owner) {
    std::wstring line = L"menu";
    for (int i = 0, n = GetMenuItemCount(menu); i < n; ++i) {
        wchar_t text[160] = {};
        MENUITEMINFOW item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_STRING;
        item.dwTypeData = text;
        item.cch = static_cast<UINT>(std::size(text));
        GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &item);
        line += L"\t";
        line += (item.fType & MFT_SEPARATOR) ? L"-" : std::wstring(text) + ((item.fState & MFS_GRAYED) ? L" (grayed)" : L"") +
                                                          ((item.fState & MFS_DEFAULT) ? L" (default)" : L"");
    }
    Journal(line);
    return TrackPopupMenu(menu, 0, x, y, 0, owner, nullptr);
}

HICON SetWindowIcon(HWND window, WPARAM which, HICON icon) {
    Journal(std::wstring(L"seticon\t") + (which == ICON_BIG ? L"big\t" : L"small\t") + IconSize(icon));
    return reinterpret_cast<HICON>(SendMessageW(window, WM_SETICON, which, reinterpret_cast<LPARAM>(icon)));
}

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT flags) {
    Journal(L"box\t" + Hex(flags) + L"\t" + caption + L"\t" + text, L"BoxJournal.txt");
    return MessageBoxW(owner, text, caption, flags);
}

void ExitMayBeHeld() {
    DWORD ms = 0, bytes = sizeof ms;
    if (RegGetValueW(HKEY_CURRENT_USER, kSimulationKey, L"ExitHoldMs", RRF_RT_REG_DWORD, nullptr, &ms, &bytes) != 0)
        return;
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"ExitHoldMs");
    Sleep(ms);
}
