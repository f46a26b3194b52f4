#include "shell/string_table.h"

#include <algorithm>

#include "base/module_path.h"
#include "shell/app_state.h"
#include "shell/tray_shell.h"

namespace {
// Readers (any thread) share it; the release at shutdown takes it alone, so
// the module never goes away under a LoadStringW. An SRW lock needs no
// destructor, so a worker still running at process end cannot meet a dead one.
SRWLOCK stringModuleLock = SRWLOCK_INIT;
}  // namespace

HMODULE LoadStringModule() {
    wchar_t fileName[kPathChars] = {};
    wsprintfW(fileName, L"%s.dll", L"String_Table_");
    wchar_t path[kPathChars] = {};
    if (!MakeModulePath(path, fileName)) return nullptr;
    return LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
}

void LoadUiText(UINT id, std::span<wchar_t> buf) {
    std::fill(buf.begin(), buf.end(), L'\0');
    if (buf.empty()) return;
    AcquireSRWLockShared(&stringModuleLock);
    // Never ask the executable itself: it holds none of these texts.
    if (app.stringModule != nullptr) LoadStringW(app.stringModule, id, buf.data(), static_cast<int>(buf.size()));
    ReleaseSRWLockShared(&stringModuleLock);
}

int ShowUiMessage(HWND owner, UINT textId, UINT captionId, UINT flags) {
    wchar_t text[kTextChars] = {};
    wchar_t caption[kTextChars] = {};
    LoadUiText(textId, text);
    LoadUiText(captionId, caption);
    return ShowMessageBox(owner, text, caption, flags);
}

void ReleaseStringModule() {
    AcquireSRWLockExclusive(&stringModuleLock);
    if (app.stringModule != nullptr) {
        FreeLibrary(app.stringModule);
        app.stringModule = nullptr;
    }
    ReleaseSRWLockExclusive(&stringModuleLock);
}
