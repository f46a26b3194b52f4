#include "workflow/update_view.h"

#include <commctrl.h>

#include "resources/resource.h"
#include "shell/app_state.h"
#include "shell/string_table.h"
#include "shell/tray_icon.h"

namespace {

HWND DialogItem(int id) {
    return GetDlgItem(app.mainDialog.load(), id);
}

void SetStatusLine(const wchar_t* text) {
    SetWindowTextW(DialogItem(IDC_STATUS), text);
}

void EnableUpdateButton(bool enable) {
    EnableWindow(DialogItem(IDC_UPDATE), enable ? TRUE : FALSE);
}

void SetUpdateCaption(UINT textId) {
    wchar_t caption[kTextChars] = {};
    LoadUiText(textId, caption);
    SetWindowTextW(DialogItem(IDC_UPDATE), caption);
}

void SetProgress(int position) {
    SendMessageW(DialogItem(IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void ShowMessage(UINT textId, UINT captionId, UINT iconFlags) {
    // The program is ending and waits for this worker: nobody is there to
    // answer a box.
    if (app.shuttingDown.load()) return;
    ShowUiMessage(app.mainDialog.load(), textId, captionId, MB_OK | iconFlags | kResultBoxInSight);
}

constexpr UpdateView kDialogView = {
    SetStatusLine, EnableUpdateButton, SetUpdateCaption, SetProgress, TrayUpdateTip, ShowMessage, StartWorkerThread,
};

std::atomic<const UpdateView*> activeView{&kDialogView};

}  // namespace

bool StartSuspendedWorker(LPTHREAD_START_ROUTINE routine, std::atomic<HANDLE>& slot, ResumeFunction resume) {
    // Suspended, so the handle is in its slot before the worker can reach the
    // end where it releases it.
    HANDLE thread = CreateThread(nullptr, 0, routine, nullptr, CREATE_SUSPENDED, nullptr);
    if (thread == nullptr) return false;
    slot.store(thread);
    if (resume(thread) != static_cast<DWORD>(-1)) return true;
    // Never resumed, the worker has run no code of its own: end it, and free
    // the slot so the workflow reports the failure instead of waiting.
    TerminateThread(thread, 0);
    slot.store(INVALID_HANDLE_VALUE);
    CloseHandle(thread);
    return false;
}

bool StartWorkerThread(LPTHREAD_START_ROUTINE routine, std::atomic<HANDLE>& slot) {
    return StartSuspendedWorker(routine, slot, ResumeThread);
}

const UpdateView& ActiveUpdateView() {
    return *activeView.load();
}

void SetUpdateView(const UpdateView* view) {
    activeView.store(view != nullptr ? view : &kDialogView);
}
