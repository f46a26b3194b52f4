#pragma once
// The update state machine: the Update command and ApplyState, which presents
// a state and starts the worker that belongs to it.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "shell/app_state.h"

// Presents `state` (status line, button, progress, tray tip, result box) and,
// for Connecting, Downloading and Copying, starts the matching worker unless
// one runs. A state above CopyFailed does nothing. Returns after the result
// box, if any, was closed.
void ApplyState(uint32_t state);

// The Update button's command (also raised by the tray and by an added drive).
// The update it starts or cancels is the user's: its result comes with a box.
void RunUpdateCommand();

// Main thread: starts the program's own update, which shows no result box,
// when nothing runs and the workflow rests. False when it did not start.
bool StartQuietUpdate();

// Main thread, a device arrived. Under one lock with the workers' end, so no
// arrival falls between them: no worker runs (the caller starts the update);
// a download that has not decided yet sees the new drive and becomes the
// user's, with its result box (claimed); or the running update has decided
// without it, and the arrival comes again once the workers are done.
enum class Arrival { NoWorker, Claimed, HandedToEnd };
Arrival ClaimArrival();

// A worker's last act: closes its own handle and marks the slot free. The
// last worker of an update ends it: a pending arrival then gets its update.
void ReleaseWorkerHandle(std::atomic<HANDLE>& slot);

// Main thread, at exit: waits up to `timeoutMs` for running workers to end,
// serving the messages they send meanwhile. False when one still runs.
bool WaitForWorkers(DWORD timeoutMs);

// The readyForUpdate value that belongs to `state`: 1 in the resting states,
// 0 while an operation is under way.
uint32_t ReadyForUpdateIn(uint32_t state);

// Stores `state` and its readyForUpdate together; the caller holds
// app.workflowLock, so nobody sees one without the other.
inline void StoreStateLocked(uint32_t state) {
    app.updateState.store(state);
    app.readyForUpdate.store(ReadyForUpdateIn(state));
}

// A worker's final decision: stores the state it computed from the current
// one, atomically with respect to the Update command. Returns the new state.
template <typename Decide>
uint32_t StoreFinalState(Decide decide) {
    std::lock_guard<SrwLock> hold(app.workflowLock);
    const uint32_t next = decide(app.updateState.load());
    StoreStateLocked(next);
    // Decided: a device that arrives now is too late for this update.
    app.decisionPending.store(false);
    return next;
}
