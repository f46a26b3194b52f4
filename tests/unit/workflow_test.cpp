// The Update command and ApplyState through a recording view: no dialog, no
// message box, and no thread unless a race test starts one.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "acquisition/download_worker.h"
#include "base/scoped_win.h"
#include "shell/app_state.h"
#include "shell/string_table.h"
#include "shell/tray_icon.h"
#include "test_util.h"
#include "workflow/update_state.h"
#include "workflow/update_view.h"

namespace {

std::mutex recordLock;
std::string events;
bool failStarts = false, failResumes = false;
HANDLE notResumed = nullptr;
int downloadStarts = 0, copyStarts = 0;

void Record(const std::string& event) {
    std::lock_guard<std::mutex> hold(recordLock);
    events += event + " ";
}

std::string Narrow(const wchar_t* text) {
    return std::string(text, text + wcslen(text));
}

const UpdateView kRecordingView = {
    [](const wchar_t* text) { Record("status:" + Narrow(text)); },
    [](bool enable) { Record(enable ? "enable" : "disable"); },
    [](UINT id) { Record("caption:" + std::to_string(id)); },
    [](int position) { Record("progress:" + std::to_string(position)); },
    [](const wchar_t* text) { Record("tip:" + Narrow(text)); },
    [](UINT text, UINT, UINT icon) { Record("box:" + std::to_string(text) + "/" + std::to_string(icon)); },
    [](LPTHREAD_START_ROUTINE routine, std::atomic<HANDLE>& slot) {
        if (failResumes)  // the real start, with a resume that fails
            return StartSuspendedWorker(routine, slot, [](HANDLE thread) { return notResumed = thread, DWORD(-1); });
        std::lock_guard<std::mutex> hold(recordLock);
        if (failStarts) return false;
        ++(routine == DownloadWorker ? downloadStarts : copyStarts);
        events += routine == DownloadWorker ? "start:download " : "start:copy ";
        slot.store(CreateEventW(nullptr, FALSE, FALSE, nullptr));  // a closable stand-in
        return true;
    },
};

class Workflow : public ::testing::Test {
protected:
    void SetUp() override {
        app.stringModule = LoadLibraryExW(L"" FENNIK_STRING_MODULE_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(app.stringModule, nullptr);
        LoadUiText(1000, app.appTitle);
        SetUpdateView(&kRecordingView);
    }
    void TearDown() override {
        Reset(Idle);
        SetUpdateView(nullptr);
        ReleaseStringModule();
    }
    static void Reset(uint32_t state, uint32_t ready = 1) {
        for (auto* slot : {&app.downloadThread, &app.copyThread}) ReleaseWorkerHandle(*slot);
        std::lock_guard<std::mutex> hold(recordLock);
        events.clear();
        failStarts = failResumes = false;
        downloadStarts = copyStarts = 0;
        app.updateState.store(state);
        app.readyForUpdate.store(ready);
        app.deviceAccepted = 1;
    }
};

// The Update command from each state: where it goes and what it starts.
TEST_F(Workflow, UpdateCommandMovesEachStateOn) {
    enum Setup { Plain, WorkerHoldsBox, StartFails, ResumeFails, DeviceRefused };
    const struct {
        uint32_t from;
        Setup setup;
        uint32_t to, ready;
        int downloads;
        const char* box;  // the box shown, "" for none
    } rows[] = {
        {Idle, Plain, Connecting, 0, 1, ""},
        {Downloaded, Plain, Connecting, 0, 1, ""}, {DownloadFailed, Plain, Connecting, 0, 1, ""},
        {Copied, Plain, Connecting, 0, 1, ""}, {CopyFailed, Plain, Connecting, 0, 1, ""},
        {Connecting, Plain, CancelRequested, 0, 0, ""},
        {Downloading, Plain, CancelRequested, 0, 0, ""},
        {CancelRequested, Plain, CancelRequested, 1, 0, ""},  // a repeat neither starts nor blocks
        {Copying, Plain, Copying, 1, 0, ""},
        {Copied, WorkerHoldsBox, Copied, 1, 0, ""},  // its result box is still open
        {Idle, StartFails, DownloadFailed, 1, 0, "box:1026/48"},
        {Idle, ResumeFails, DownloadFailed, 1, 0, "box:1026/48"},  // the thread ended, its handle closed
        {Downloading, DeviceRefused, Downloading, 1, 0, "box:1029/48"},
    };
    for (const auto& row : rows) {
        Reset(row.from);
        if (row.setup == WorkerHoldsBox) app.copyThread.store(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        failStarts = row.setup == StartFails;
        failResumes = row.setup == ResumeFails;
        app.deviceAccepted = row.setup != DeviceRefused;
        ScopedKernelHandle wake(CreateEventW(nullptr, FALSE, FALSE, nullptr));  // a running download's watchdog
        app.transferWake.store(wake.Get());
        RunUpdateCommand();
        app.transferWake.store(nullptr);
        EXPECT_EQ(WaitForSingleObject(wake.Get(), 0) == WAIT_OBJECT_0, row.to == CancelRequested && row.from != CancelRequested);
        SCOPED_TRACE("from " + std::to_string(row.from) + ", setup " + std::to_string(row.setup) + ": " + events);
        EXPECT_EQ(app.updateState.load(), row.to);
        EXPECT_EQ(app.readyForUpdate.load(), row.ready);
        EXPECT_EQ(downloadStarts, row.downloads);
        EXPECT_EQ(copyStarts, 0);
        EXPECT_EQ(app.downloadThread.load() != INVALID_HANDLE_VALUE, row.downloads == 1);
        EXPECT_NE(events.find(row.box), std::string::npos);
        EXPECT_EQ(events.find("box:") != std::string::npos, *row.box != 0);
    }
    DWORD flags = 0;
    EXPECT_TRUE(notResumed && !GetHandleInformation(notResumed, &flags)) << "the unresumed thread's handle is open";
}

// The user's Update and the download worker's final decision in a race: a
// cancel never outlives the worker, the program never rests blocked, and two
// presentations of Copying start one copy worker.
TEST_F(Workflow, RacesNeverStrandTheWorkflow) {
    for (int round = 0; round < 400; ++round) {
        Reset(round % 2 ? Downloading : Connecting, 0);
        app.downloadThread.store(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        RunTogether({RunUpdateCommand, [] {
                         DownloadOutcome outcome = {};
                         outcome.succeeded = true;
                         outcome.localFilePresent = [] { return true; };
                         const uint32_t next = StoreFinalState([&](uint32_t now) {
                             outcome.stateNow = now;
                             return DecideAfterDownload(outcome);
                         });
                         ApplyState(next);
                         ReleaseWorkerHandle(app.downloadThread);
                     }});
        const uint32_t state = app.updateState.load();
        const bool workerRuns = app.downloadThread.load() != INVALID_HANDLE_VALUE;
        if (state == CancelRequested || state == Connecting)
            ASSERT_TRUE(workerRuns) << "round " << round << ": state " << state << " without a worker";
        else
            ASSERT_TRUE((state == Idle || state == Downloaded) && app.readyForUpdate.load() == 1 && TrayUpdateAllowed())
                << "round " << round << ": state " << state << ", ready " << app.readyForUpdate.load();
    }
    for (int round = 0; round < 200; ++round) {
        Reset(Copying, 0);
        RunTogether({[] { ApplyState(Copying); }, [] { ApplyState(Copying); }});
        ASSERT_EQ(copyStarts, 1) << "round " << round;
    }
}

// A presentation that comes late for its state (CancelRequested after the
// worker ended in Idle) leaves readyForUpdate alone.
TEST_F(Workflow, LatePresentationLeavesTheTrayUsable) {
    Reset(Idle, 1);
    ApplyState(CancelRequested);
    EXPECT_EQ(app.readyForUpdate.load(), 1u);
}

// A device that arrives while an update runs: a download that has not decided takes it on, the user's from then
// on; else the arrival comes again once the workers are done, also when they end at the very moment it comes.
TEST_F(Workflow, NoArrivalIsLost) {
    app.mainDialog.store(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
    const auto arrive = [](uint32_t state, bool worker, bool pending, bool quiet, bool endingMeanwhile = false) {
        Reset(state, 0);  // returns what the arrival brought, then whether it came again at the workers' end
        if (worker) app.downloadThread.store(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        app.decisionPending.store(pending), app.updateOrigin.store(quiet ? QuietUpdate : UserUpdate);
        Arrival arrival = Arrival::Claimed;
        std::unique_lock<SrwLock> ending(app.workflowLock, std::defer_lock);  // the worker's end holds it as the device comes
        if (endingMeanwhile) ending.lock();
        ScopedKernelHandle claim(CreateThread(nullptr, 0, [](void* a) -> DWORD { return *static_cast<Arrival*>(a) = ClaimArrival(), 0; }, &arrival, 0, nullptr));
        if (endingMeanwhile)  // the arrival on its way to the lock, then the worker gone
            WaitForSingleObject(claim.Get(), 200), CloseHandle(app.downloadThread.exchange(INVALID_HANDLE_VALUE)), ending.unlock();
        WaitForSingleObject(claim.Get(), 5000);
        ReleaseWorkerHandle(app.downloadThread);
        MSG msg;
        return std::pair{arrival, PeekMessageW(&msg, app.mainDialog.load(), MSG_DRIVE_ADDED, MSG_DRIVE_ADDED, PM_REMOVE) != 0};
    };
    using enum Arrival;
    EXPECT_EQ(arrive(Idle, false, false, false), std::pair(NoWorker, false));
    for (auto [state, quiet] : {std::pair{Connecting, true}, {Downloaded, true}, {Downloading, false}})
        EXPECT_TRUE(arrive(state, true, true, quiet) == std::pair(Claimed, false) && app.updateOrigin.load() == UserUpdate) << state;
    for (auto [state, pending, quiet] : {std::tuple{CancelRequested, true, false}, {Copying, false, true}, {Downloaded, false, false}})
        EXPECT_TRUE(arrive(state, true, pending, quiet) == std::pair(HandedToEnd, true)) << state;  // cancelled: ends Idle, unseen
    EXPECT_EQ(arrive(Downloaded, true, false, false, true), std::pair(NoWorker, false)) << "the worker ended between check and claim";
    DestroyWindow(app.mainDialog.exchange(nullptr));
}

}  // namespace
