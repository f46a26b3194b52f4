#pragma once
// What the update workflow needs of the user interface, as seven operations.
// The product uses the main dialog, its controls, the tray and real threads;
// tests put a recording view in its place.
#include <windows.h>

#include <atomic>

struct UpdateView {
    void (*setStatus)(const wchar_t* text);
    void (*enableUpdateButton)(bool enable);
    void (*setUpdateCaption)(UINT textId);
    void (*setProgress)(int position);
    void (*setTrayTip)(const wchar_t* text);
    // A message box owned by the main dialog; returns when the user closes it.
    void (*showMessage)(UINT textId, UINT captionId, UINT iconFlags);
    // Creates a worker thread, stores its handle in `slot` before the thread
    // can run, then lets it run. False (slot untouched) when it could not start.
    bool (*startWorker)(LPTHREAD_START_ROUTINE routine, std::atomic<HANDLE>& slot);
};

// The view the workflow talks to: the main dialog unless a test replaced it.
const UpdateView& ActiveUpdateView();
// Replaces the view; null puts the main dialog's view back.
void SetUpdateView(const UpdateView* view);

// The product's worker start: CreateThread suspended, handle stored, resumed.
bool StartWorkerThread(LPTHREAD_START_ROUTINE routine, std::atomic<HANDLE>& slot);
// The same with the resume call given: when it fails, the thread is ended,
// its handle closed, the slot freed, and the result is false.
using ResumeFunction = DWORD(WINAPI*)(HANDLE thread);
bool StartSuspendedWorker(LPTHREAD_START_ROUTINE routine, std::atomic<HANDLE>& slot, ResumeFunction resume);
