// The Update command and ApplyState, observed through a recording view: no
// real dialog, no message box, no thread unless a test starts one itself.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/download_worker.h"
#include "device/copy_worker.h"
#include "shell/app_state.h"
#include "shell/string_ids.h"
#include "shell/string_table.h"
#include "shell/tray_icon.h"
#include "workflow/update_state.h"
#include "workflow/update_view.h"

namespace {

std::mutex recordLock;
std::vector<std::string> events;
bool failWorkerStarts = false;
int downloadStarts = 0;
int copyStarts = 0;
// Stand-ins for thread handles: real, closable handles of events.
std::vector<HANDLE> fakeThreads;

void Record(const std::string& event) {
    std::lock_guard<std::mutex> hold(recordLock);
    events.push_back(event);
}

std::string Utf8(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

const UpdateView kRecordingView = {
    [](const wchar_t* text) { Record("status:" + Utf8(text)); },
    [](bool enable) { Record(enable ? "enable" : "disable"); },
    [](UINT id) { Record("caption:" + std::to_string(id)); },
    [](int position) { Record("progress:" + std::to_string(position)); },
    [](const wchar_t* text) { Record("tip:" + Utf8(text)); },
    [](UINT text, UINT caption, UINT icon) {
        Record("box:" + std::to_string(text) + "/" + std::to_string(caption) + "/" + std::to_string(icon));
    },
    [](LPTHREAD_START_ROUTINE routine, std::atomic<HANDLE>& slot) {
        std::lock_guard<std::mutex> hold(recordLock);
        if (failWorkerStarts) {
            events.push_back("start-failed");
            return false;
        }
        const bool download = routine == DownloadWorker;
        events.push_back(download ? "start:download" : "start:copy");
        (download ? downloadStarts : copyStarts)++;
        HANDLE fake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        fakeThreads.push_back(fake);
        slot.store(fake);
        return true;
    },
};

class UpdateStateMachine : public testing::Test {
protected:
    void SetUp() override {
        app.stringModule = LoadLibraryExW(L"" FENNIK_STRING_MODULE_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(app.stringModule, nullptr) << "string module not found, error " << GetLastError();
        LoadUiText(IDS_APP_TITLE, app.appTitle);
        SetUpdateView(&kRecordingView);
        ResetWorkflow(Idle);
    }
    void TearDown() override {
        SetUpdateView(nullptr);
        app.deviceAccepted = 1;
        app.downloadThread.store(INVALID_HANDLE_VALUE);
        app.copyThread.store(INVALID_HANDLE_VALUE);
        for (HANDLE h : fakeThreads) CloseHandle(h);
        fakeThreads.clear();
        ReleaseStringModule();
    }
    static void ResetWorkflow(uint32_t state) {
        std::lock_guard<std::mutex> hold(recordLock);
        events.clear();
        failWorkerStarts = false;
        downloadStarts = copyStarts = 0;
        app.updateState.store(state);
        app.readyForUpdate.store(1);
        app.deviceAccepted = 1;
    }
    static std::vector<std::string> Events() {
        std::lock_guard<std::mutex> hold(recordLock);
        return events;
    }
    static std::string Joined() {
        std::string all;
        for (const auto& e : Events()) all += e + "\n";
        return all;
    }
};

struct Presentation {
    uint32_t state;
    uint32_t ready;
    std::vector<std::string> events;
};

const std::string kCaption = std::to_string(IDS_CAPTION_WARNING);

const Presentation kPresentations[] = {
    {Idle, 1,
     {"status:", "enable", "caption:1004", "progress:0", "tip:GPS Fennik",
      "box:1024/1022/" + std::to_string(MB_ICONWARNING)}},
    {CancelRequested, 0, {"status:Cancelling...", "disable", "caption:1005", "progress:0", "tip:Cancelling..."}},
    {Connecting, 0,
     {"status:Connecting to the server...", "caption:1005", "progress:0", "tip:Downloading...", "start:download"}},
    {Downloading, 0,
     {"status:Connecting to the server...", "caption:1005", "progress:0", "tip:Downloading...", "start:download"}},
    {Downloaded, 1,
     {"status:Download complete...\t100%", "caption:1004", "progress:100", "tip:GPS Fennik",
      "box:1025/1017/" + std::to_string(MB_ICONINFORMATION)}},
    {DownloadFailed, 1,
     {"status:Download failed...", "caption:1004", "progress:0", "tip:GPS Fennik",
      "box:1026/1018/" + std::to_string(MB_ICONWARNING)}},
    {Copying, 0,
     {"status:Copying to the GPS device...", "disable", "caption:1005", "progress:0",
      "tip:Updating the GPS device...", "start:copy"}},
    {Copied, 1,
     {"status:GPS device updated...", "enable", "caption:1004", "progress:100", "tip:GPS Fennik",
      "box:1027/1020/" + std::to_string(MB_ICONINFORMATION)}},
    {CopyFailed, 1,
     {"status:GPS device not updated...", "enable", "caption:1004", "progress:0", "tip:GPS Fennik",
      "box:1028/1021/" + std::to_string(MB_ICONWARNING)}},
};

TEST_F(UpdateStateMachine, ApplyStatePresentsEveryStateInOrder) {
    for (const Presentation& row : kPresentations) {
        ResetWorkflow(row.state);
        app.readyForUpdate.store(row.ready ? 0 : 1);  // must be written
        app.downloadThread.store(INVALID_HANDLE_VALUE);
        app.copyThread.store(INVALID_HANDLE_VALUE);
        ApplyState(row.state);
        EXPECT_EQ(Events(), row.events) << "state " << row.state;
        EXPECT_EQ(app.readyForUpdate.load(), row.ready) << "state " << row.state;
    }
}

TEST_F(UpdateStateMachine, StatesAboveCopyFailedDoNothing) {
    ApplyState(9);
    ApplyState(0xFFFFFFFF);
    app.updateState.store(9);
    RunUpdateCommand();
    EXPECT_TRUE(Events().empty()) << Joined();
    EXPECT_EQ(app.updateState.load(), 9u);
    EXPECT_EQ(app.readyForUpdate.load(), 1u);
}

TEST_F(UpdateStateMachine, UpdateFromEveryRestingStateStartsOneDownload) {
    for (uint32_t from : {Idle, Downloaded, DownloadFailed, Copied, CopyFailed}) {
        ResetWorkflow(from);
        app.downloadThread.store(INVALID_HANDLE_VALUE);
        RunUpdateCommand();
        EXPECT_EQ(app.updateState.load(), static_cast<uint32_t>(Connecting)) << "from " << from;
        EXPECT_EQ(app.readyForUpdate.load(), 0u) << "from " << from;
        EXPECT_EQ(downloadStarts, 1) << "from " << from;
        EXPECT_NE(app.downloadThread.load(), INVALID_HANDLE_VALUE);
    }
}

TEST_F(UpdateStateMachine, UpdateWhileDownloadingRequestsCancellation) {
    for (uint32_t from : {Connecting, Downloading}) {
        ResetWorkflow(from);
        RunUpdateCommand();
        EXPECT_EQ(app.updateState.load(), static_cast<uint32_t>(CancelRequested)) << "from " << from;
        EXPECT_EQ(Events(), kPresentations[CancelRequested].events) << "from " << from;
    }
}

TEST_F(UpdateStateMachine, UpdateWhileCancellingOrCopyingRepresentsWithoutStartingOrUnblocking) {
    for (uint32_t from : {CancelRequested, Copying}) {
        ResetWorkflow(from);
        app.readyForUpdate.store(1);  // as if a worker had just finished
        app.copyThread.store(INVALID_HANDLE_VALUE);
        RunUpdateCommand();
        EXPECT_EQ(app.updateState.load(), from);
        EXPECT_EQ(downloadStarts + copyStarts, 0) << Joined();
        EXPECT_EQ(app.readyForUpdate.load(), 1u) << "a repeated presentation must not block the tray again";
    }
}

TEST_F(UpdateStateMachine, UpdateWhileAResultBoxIsStillOpenDoesNothing) {
    // The download worker has stored Downloaded and waits in its result box.
    ResetWorkflow(Downloaded);
    HANDLE busy = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    fakeThreads.push_back(busy);
    app.downloadThread.store(busy);
    RunUpdateCommand();
    EXPECT_EQ(app.updateState.load(), static_cast<uint32_t>(Downloaded));
    EXPECT_TRUE(Events().empty()) << Joined();
}

TEST_F(UpdateStateMachine, RefusedDeviceTurnsEveryUpdateIntoTheNotice) {
    for (uint32_t from : {Idle, Connecting, Downloading, Copied}) {
        ResetWorkflow(from);
        app.deviceAccepted = 0;
        RunUpdateCommand();
        EXPECT_EQ(app.updateState.load(), from) << "a refusal changes no state, cancels nothing";
        const std::vector<std::string> expected = {"status:", "progress:0",
                                                   "box:1029/1022/" + std::to_string(MB_ICONWARNING)};
        EXPECT_EQ(Events(), expected) << "from " << from;
    }
}

TEST_F(UpdateStateMachine, AFailedWorkerStartEndsTheOperationAsFailed) {
    failWorkerStarts = true;
    RunUpdateCommand();
    EXPECT_EQ(app.updateState.load(), static_cast<uint32_t>(DownloadFailed));
    EXPECT_EQ(app.readyForUpdate.load(), 1u);
    EXPECT_EQ(app.downloadThread.load(), INVALID_HANDLE_VALUE);
    EXPECT_NE(Joined().find("box:1026/1018/"), std::string::npos) << Joined();

    ResetWorkflow(Copying);
    failWorkerStarts = true;
    ApplyState(Copying);
    EXPECT_EQ(app.updateState.load(), static_cast<uint32_t>(CopyFailed));
    EXPECT_EQ(app.readyForUpdate.load(), 1u);
    EXPECT_NE(Joined().find("box:1028/1021/"), std::string::npos) << Joined();
}

TEST_F(UpdateStateMachine, NoWorkerStartsOnceTheProgramIsEnding) {
    app.shuttingDown.store(true);
    RunUpdateCommand();
    app.shuttingDown.store(false);
    EXPECT_EQ(downloadStarts, 0);
    EXPECT_EQ(app.downloadThread.load(), INVALID_HANDLE_VALUE);
}

TEST(UpdateWorkflowRaces, ACancelNeverOutlivesTheDownloadWorker) {
    SetUpdateView(&kRecordingView);
    for (int round = 0; round < 300; ++round) {
        {
            std::lock_guard<std::mutex> hold(recordLock);
            events.clear();
        }
        HANDLE worker = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        app.updateState.store(round % 2 ? Downloading : Connecting);
        app.downloadThread.store(worker);
        app.readyForUpdate.store(0);
        app.deviceAccepted = 1;
        std::thread user([] { RunUpdateCommand(); });
        std::thread downloader([] {
            DownloadOutcome outcome = {};
            outcome.succeeded = true;
            outcome.localFilePresent = [] { return true; };
            StoreFinalState([&](uint32_t current) {
                outcome.stateNow = current;
                return DecideAfterDownload(outcome);
            });
            ReleaseWorkerHandle(app.downloadThread);
        });
        user.join();
        downloader.join();
        const uint32_t state = app.updateState.load();
        // A pending cancellation needs a worker to end it; a fresh download
        // (Connecting) must have its worker.
        if (state == CancelRequested || state == Connecting)
            EXPECT_NE(app.downloadThread.load(), INVALID_HANDLE_VALUE) << "round " << round << " state " << state;
        else {
            EXPECT_TRUE(state == Idle || state == Downloaded) << "round " << round << " state " << state;
            // At rest the tray may start the next update.
            EXPECT_EQ(app.readyForUpdate.load(), 1u) << "round " << round << " state " << state;
            EXPECT_TRUE(TrayUpdateAllowed()) << "round " << round;
        }
        HANDLE left = app.downloadThread.exchange(INVALID_HANDLE_VALUE);
        if (left != INVALID_HANDLE_VALUE) CloseHandle(left);
    }
    SetUpdateView(nullptr);
    for (HANDLE h : fakeThreads) CloseHandle(h);
    fakeThreads.clear();
}

TEST(UpdateWorkflowRaces, TwoPresentationsOfCopyingStartOneCopyWorker) {
    SetUpdateView(&kRecordingView);
    for (int round = 0; round < 200; ++round) {
        copyStarts = 0;
        app.copyThread.store(INVALID_HANDLE_VALUE);
        app.updateState.store(Copying);
        std::thread a([] { ApplyState(Copying); });
        std::thread b([] { ApplyState(Copying); });
        a.join();
        b.join();
        ASSERT_EQ(copyStarts, 1) << "round " << round;
    }
    app.copyThread.store(INVALID_HANDLE_VALUE);
    SetUpdateView(nullptr);
    for (HANDLE h : fakeThreads) CloseHandle(h);
    fakeThreads.clear();
}

}  // namespace
