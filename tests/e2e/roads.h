#pragma once
// What the roads of the real program share: the server's answers, settings files of an earlier download, and what
// the user reads off the tray.
#include <regex>
#include <set>

#include "app_driver.h"
#include <shellapi.h>
#include <wininet.h>
#include "acquisition/dl_callback.h"
#include "acquisition/download_worker.h"
#include "base/scoped_win.h"
#include "resources/resource.h"
#include "shell/string_ids.h"

inline const Bytes kServed = ServedBody(20000, 42);  // the server's default answer
inline const Bytes kEarlier = ServedBody(12345, 99);  // a local file from an earlier download

inline SYSTEMTIME Now() { SYSTEMTIME t{}; return GetLocalTime(&t), t; }

// A download an hour ago, too young for a refresh of the program's own.
inline std::wstring FreshDownload() { return L"[DOWNLOAD TIME]\r\n" + Stamp(Now(), -60) + L"\r\n"; }
inline RunFiles Fresh() { return {FreshDownload(), {}, {}}; }

// An earlier download (too young for a refresh) expiring `minutes` from now; auto-update as given.
inline RunFiles Earlier(long long minutes, bool autoUpdate = true) {
    return {FreshDownload() + L"[EXPIRE TIME]\r\n" + Stamp(Now(), minutes) + L"\r\n" + (autoUpdate ? L"" : L"[AUTO UPDATE]\r\n0\r\n"), kEarlier, {}};
}

// The program's callback drops the network library's byte counts from the next transfer on, as Windows gives them.
inline bool IgnoreLibraryCounts() { return RegSetKeyValueW(HKEY_CURRENT_USER, kSimulationKey, L"IgnoreLibraryCounts", REG_DWORD, "\1\0\0\0", 4) == 0; }

// The balloons the shell was given (title, text, warning or information), " | " between.
inline std::wstring Balloons(const App& app) {
    std::wstring texts;
    for (const auto& call : app.TrayJournal()) {
        std::wsmatch m;
        if (std::regex_match(call, m, std::wregex(L"modify\t[^\t]*\tGPS Fennik\t([^\t]+)\t[19]0\t[12]\t.*\tok")))
            texts += (texts.empty() ? L"" : L" | ") + m[1].str();
    }
    return texts;
}

// The tray menu as the journal shows it.
inline std::wstring Menu(const AppTest& t, bool visible, bool updateAllowed) {
    return t.Str(visible ? IDS_MENU_HIDE : IDS_MENU_SHOW) + L" (default) | - | " + t.Str(IDS_MENU_UPDATE) +
           (updateAllowed ? L"" : L" (grayed)") + L" | - | " + t.Str(IDS_MENU_EXIT);
}

// `text` is the stamp of a minute from `before` to `after`, moved by `shift`.
inline bool StampWithin(const std::wstring& text, const SYSTEMTIME& before, const SYSTEMTIME& after, long long shift = 0) {
    for (long long m = -1; m <= 2; ++m)
        if (text == Stamp(before, shift + m) && Stamp(before, shift + m) <= Stamp(after, shift)) return true;
    return false;
}

class Road : public AppTest {
protected:
    // The tray menu, once it shows the dialog's visibility and the Update
    // item's state (a worker may still be letting go of its handle).
    ::testing::AssertionResult MenuIs(bool visible, bool updateAllowed) {
        const std::wstring expected = Menu(*this, visible, updateAllowed);
        std::wstring shown;
        if (PumpUntil([&] { return (shown = app.Menu()) == expected; }, 3000)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "menu " << Show(shown) << ", expected " << Show(expected);
    }
};

