#include "workflow/update_state.h"

#include <mutex>

#include "acquisition/download_worker.h"
#include "base/scoped_win.h"
#include "base/text.h"
#include "device/copy_worker.h"
#include "shell/app_state.h"
#include "shell/string_ids.h"
#include "shell/string_table.h"
#include "workflow/update_view.h"

namespace {

enum class Tip { AppTitle, StatusText, OwnText };
enum class Button { Unchanged, Enable, Disable };
enum class Worker { None, Download, Copy };

// How each state is presented. A status of 0 means the empty text.
struct StateRow {
    uint32_t ready;
    UINT statusId;
    const wchar_t* statusSuffix;
    Button button;
    UINT captionId;
    int progress;
    Tip tip;
    UINT tipId;
    UINT messageId;  // 0: no result box
    UINT messageCaptionId;
    UINT messageIcon;
    Worker worker;
};

constexpr StateRow kRows[] = {
    // Idle: where a cancelled download ends.
    {1, 0, L"", Button::Enable, IDS_BTN_UPDATE, 0, Tip::AppTitle, 0, IDS_MSG_CANCELLED, IDS_CAPTION_WARNING,
     MB_ICONWARNING, Worker::None},
    // CancelRequested
    {0, IDS_STATUS_CANCELLING, L"...", Button::Disable, IDS_BTN_CANCEL, 0, Tip::StatusText, 0, 0, 0, 0, Worker::None},
    // Connecting
    {0, IDS_STATUS_STARTING, L"...", Button::Unchanged, IDS_BTN_CANCEL, 0, Tip::OwnText, IDS_STATUS_DOWNLOADING, 0, 0,
     0, Worker::Download},
    // Downloading: presented exactly like Connecting.
    {0, IDS_STATUS_STARTING, L"...", Button::Unchanged, IDS_BTN_CANCEL, 0, Tip::OwnText, IDS_STATUS_DOWNLOADING, 0, 0,
     0, Worker::Download},
    // Downloaded
    {1, IDS_DOWNLOAD_DONE, L"...\t100%", Button::Unchanged, IDS_BTN_UPDATE, 100, Tip::AppTitle, 0,
     IDS_MSG_DOWNLOAD_DONE, IDS_DOWNLOAD_DONE, MB_ICONINFORMATION, Worker::None},
    // DownloadFailed
    {1, IDS_DOWNLOAD_FAILED, L"...", Button::Unchanged, IDS_BTN_UPDATE, 0, Tip::AppTitle, 0, IDS_MSG_DOWNLOAD_FAILED,
     IDS_DOWNLOAD_FAILED, MB_ICONWARNING, Worker::None},
    // Copying: a copy cannot be cancelled, so the button is disabled.
    {0, IDS_STATUS_COPYING, L"...", Button::Disable, IDS_BTN_CANCEL, 0, Tip::OwnText, IDS_TIP_COPYING, 0, 0, 0,
     Worker::Copy},
    // Copied
    {1, IDS_COPY_DONE, L"...", Button::Enable, IDS_BTN_UPDATE, 100, Tip::AppTitle, 0, IDS_MSG_COPY_DONE,
     IDS_COPY_DONE, MB_ICONINFORMATION, Worker::None},
    // CopyFailed
    {1, IDS_COPY_FAILED, L"...", Button::Enable, IDS_BTN_UPDATE, 0, Tip::AppTitle, 0, IDS_MSG_COPY_FAILED,
     IDS_COPY_FAILED, MB_ICONWARNING, Worker::None},
};
static_assert(std::size(kRows) == kLastUpdateState + 1);

enum class StartResult { Started, AlreadyRunning, Failed };

StartResult StartWorkerOnce(const UpdateView& view, Worker worker) {
    std::atomic<HANDLE>& slot = worker == Worker::Download ? app.downloadThread : app.copyThread;
    LPTHREAD_START_ROUTINE routine = worker == Worker::Download ? DownloadWorker : CopyWorker;
    // Test and store under the lock: two presentations of the same state
    // (a worker's and the Update command's) never start two workers.
    std::lock_guard<SrwLock> hold(app.workflowLock);
    if (slot.load() != INVALID_HANDLE_VALUE) return StartResult::AlreadyRunning;
    if (app.shuttingDown.load()) return StartResult::AlreadyRunning;
    if (view.startWorker(routine, slot)) return StartResult::Started;
    // The worker could not start: the operation ends as failed rather than
    // wait for a worker that does not exist.
    StoreStateLocked(worker == Worker::Download ? DownloadFailed : CopyFailed);
    return StartResult::Failed;
}

// readyForUpdate for a state that was not stored by the Update command or a
// worker's end (a direct presentation): written only while that state still
// holds, never over a newer one.
void StoreReadyIfCurrent(uint32_t state) {
    std::lock_guard<SrwLock> hold(app.workflowLock);
    if (app.updateState.load() == state) app.readyForUpdate.store(ReadyForUpdateIn(state));
}

// `startWorker` false: a repeated presentation that must neither start a
// worker nor change readyForUpdate (the state may be moving on meanwhile).
void PresentState(uint32_t state, bool startWorker) {
    if (state > kLastUpdateState) return;
    const StateRow& row = kRows[state];
    const UpdateView& view = ActiveUpdateView();

    wchar_t status[kTextChars] = {};
    wchar_t tip[kTextChars] = {};
    if (row.statusId != 0) {
        LoadUiText(row.statusId, status);
        AppendText(status, row.statusSuffix);
    }
    switch (row.tip) {
    case Tip::AppTitle: CopyText(tip, app.appTitle); break;
    case Tip::StatusText: CopyText(tip, status); break;
    case Tip::OwnText:
        LoadUiText(row.tipId, tip);
        AppendText(tip, L"...");
        break;
    }

    if (startWorker) StoreReadyIfCurrent(state);
    view.setStatus(status);
    if (row.button != Button::Unchanged) view.enableUpdateButton(row.button == Button::Enable);
    view.setUpdateCaption(row.captionId);
    view.setProgress(row.progress);
    view.setTrayTip(tip);

    if (row.messageId != 0) {
        // The program's own refresh keeps quiet: the dialog, the tooltip and the log tell.
        if (app.updateOrigin.load() == UserUpdate) view.showMessage(row.messageId, row.messageCaptionId, row.messageIcon);
        return;
    }
    if (row.worker == Worker::None || !startWorker) return;
    if (StartWorkerOnce(view, row.worker) != StartResult::Failed) return;
    PresentState(row.worker == Worker::Download ? DownloadFailed : CopyFailed, true);
}

}  // namespace

uint32_t ReadyForUpdateIn(uint32_t state) {
    return state <= kLastUpdateState ? kRows[state].ready : 0;
}

void ApplyState(uint32_t state) {
    PresentState(state, true);
}

void RunUpdateCommand() {
    const UpdateView& view = ActiveUpdateView();
    if (app.deviceAccepted == 0) {
        view.setStatus(L"");
        view.setProgress(0);
        view.showMessage(IDS_MSG_DEVICE_REFUSED, IDS_CAPTION_WARNING, MB_ICONWARNING);
        return;
    }

    uint32_t next = 0;
    bool repeated = false;
    {
        std::lock_guard<SrwLock> hold(app.workflowLock);
        const uint32_t current = app.updateState.load();
        switch (current) {
        case Idle:
        case Downloaded:
        case DownloadFailed:
        case Copied:
        case CopyFailed:
            // A worker still holds its handle while its result box is open:
            // the operation has not finished, so there is nothing to start.
            if (!NoWorkerRunning()) return;
            next = Connecting;
            break;
        case Connecting:
        case Downloading:
            next = CancelRequested;
            break;
        case CancelRequested:
        case Copying:
            next = current;
            repeated = true;
            break;
        default: return;  // not a state: no effect at all
        }
        // A repeated state is stored already, and keeps readyForUpdate: a
        // worker may have just ended the operation it belongs to.
        if (!repeated) {
            StoreStateLocked(next);
            app.updateOrigin.store(UserUpdate);  // a cancelled quiet update tells of its end
            if (next == Connecting) app.decisionPending.store(true);
        }
        // A silent server sends no notification to refuse: the download's
        // watchdog sees the cancel at once.
        const HANDLE wake = app.transferWake.load();
        if (next == CancelRequested && !repeated && wake != nullptr) SetEvent(wake);
    }
    PresentState(next, !repeated);
}

bool StartQuietUpdate() {
    {
        std::lock_guard<SrwLock> hold(app.workflowLock);
        if (app.shuttingDown.load() || !NoWorkerRunning() || ReadyForUpdateIn(app.updateState.load()) != 1)
            return false;
        app.updateOrigin.store(QuietUpdate);
        app.decisionPending.store(true);
        StoreStateLocked(Connecting);
    }
    PresentState(Connecting, true);
    return true;
}

Arrival ClaimArrival() {
    std::lock_guard<SrwLock> hold(app.workflowLock);
    if (NoWorkerRunning()) return Arrival::NoWorker;
    // A cancelled download decides nothing for the device: it ends as Idle.
    if (app.decisionPending.load() && app.updateState.load() != CancelRequested) {
        app.updateOrigin.store(UserUpdate);
        return Arrival::Claimed;
    }
    app.arrivalPending.store(true);
    return Arrival::HandedToEnd;
}

void ReleaseWorkerHandle(std::atomic<HANDLE>& slot) {
    bool arrival = false;
    {
        // Under the lock, so WaitForWorkers never duplicates a closed handle.
        std::lock_guard<SrwLock> hold(app.workflowLock);
        HANDLE own = slot.exchange(INVALID_HANDLE_VALUE);
        if (own != INVALID_HANDLE_VALUE && own != nullptr) CloseHandle(own);
        if (NoWorkerRunning()) {
            app.updateOrigin.store(UserUpdate);
            app.decisionPending.store(false);
            arrival = app.arrivalPending.exchange(false);
        }
    }
    if (arrival && !app.shuttingDown.load()) PostMessageW(app.mainDialog.load(), MSG_DRIVE_ADDED, 0, 0);
}

bool WaitForWorkers(DWORD timeoutMs) {
    ScopedKernelHandle workers[2];
    {
        std::lock_guard<SrwLock> hold(app.workflowLock);
        const std::atomic<HANDLE>* slots[] = {&app.downloadThread, &app.copyThread};
        for (int i = 0; i < 2; ++i) {
            HANDLE copy = nullptr;
            const HANDLE own = slots[i]->load();
            if (own != INVALID_HANDLE_VALUE &&
                DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0))
                workers[i].Reset(copy);
        }
    }
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (const ScopedKernelHandle& worker : workers) {
        // A worker may still send to this thread's windows: serve what it
        // sends while waiting, or both would wait on each other.
        const HANDLE thread = worker.Get();
        for (DWORD woke = WAIT_OBJECT_0 + 1; worker && woke == WAIT_OBJECT_0 + 1;) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) return false;
            woke = MsgWaitForMultipleObjects(1, &thread, FALSE, static_cast<DWORD>(deadline - now), QS_SENDMESSAGE);
            if (woke == WAIT_TIMEOUT) return false;
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }
    return true;
}
