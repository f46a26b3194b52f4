// What Windows does and Wine does not: a refused machine-wide Run key, sizes
// near the 32-bit limit, a thread that cannot be resumed.
#include <gtest/gtest.h>

#include <windows.h>

#include "acquisition/dl_callback.h"
#include "named_test_lock.h"
#include "persistence/run_key.h"
#include "shell/app_state.h"
#include "shell/string_ids.h"
#include "workflow/update_state.h"
#include "workflow/update_view.h"

namespace {

bool HasRunValue(HKEY root) {
    return RegGetValueW(root, kRunKeyPath, kRunValueName, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

void PutRunValue(HKEY root, bool present) {
    if (present)
        RegSetKeyValueW(root, kRunKeyPath, kRunValueName, REG_SZ, L"x.exe", sizeof L"x.exe");
    else
        RegDeleteKeyValueW(root, kRunKeyPath, kRunValueName);
}

// The test build's seam: Windows' refusal of the machine-wide key.
void DenyMachineRunKey(bool denied) {
    const DWORD one = 1;
    const wchar_t* key = L"Software\\GpsFennikSimulation";
    if (denied)
        RegSetKeyValueW(HKEY_CURRENT_USER, key, L"MachineRunKeyDenied", REG_DWORD, &one, sizeof one);
    else
        RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"MachineRunKeyDenied");
}

struct RunKeyCase {
    const char* what;
    bool denied, machineBefore, userBefore;
    int enable, result;
    bool machineAfter, userAfter;
};

const RunKeyCase kRunKeyCases[] = {
    {"refused: the tick lands in the user's key", true, false, false, 1, 1, false, true},
    {"allowed: the machine key, no second copy", false, false, true, 1, 1, true, false},
    {"untick removes the value from both keys", false, true, true, 0, 1, false, false},
    {"refused: untick removes the user's value", true, false, true, 0, 1, false, false},
    {"refused: a machine value that stays keeps the tick", true, true, true, 0, 0, true, false},
};

TEST(StartWithWindowsFallback, ValueGoesWhereThisUserMayWriteAndTheTestTellsTheTruth) {
    NamedTestLock lock;
    ASSERT_TRUE(lock.Acquire(kRunValueTestLock));
    for (const RunKeyCase& c : kRunKeyCases) {
        PutRunValue(HKEY_LOCAL_MACHINE, c.machineBefore);
        PutRunValue(HKEY_CURRENT_USER, c.userBefore);
        DenyMachineRunKey(c.denied);
        EXPECT_EQ(SetStartWithWindows(c.enable), c.result) << c.what;
        EXPECT_EQ(HasRunValue(HKEY_LOCAL_MACHINE), c.machineAfter) << c.what;
        EXPECT_EQ(HasRunValue(HKEY_CURRENT_USER), c.userAfter) << c.what;
        EXPECT_EQ(IsStartWithWindows(), c.machineAfter || c.userAfter ? 1 : 0) << c.what;
    }
    DenyMachineRunKey(false);
    PutRunValue(HKEY_LOCAL_MACHINE, false);
    PutRunValue(HKEY_CURRENT_USER, false);
}

TEST(ProgressPercentage, StaysWithinZeroToHundredForAnySizes) {
    // Within range, more than announced, size unknown, near the 32-bit limit.
    const struct {
        ULONG received, announced;
        int percent;
    } cases[] = {{29, 100, 28}, {58, 100, 57}, {150, 100, 100}, {5, 0, 0}, {0, 0, 0}, {0xFFFFFFFF, 1, 100},
                 {1, 0xFFFFFFFF, 0}, {0xFFFFFFFE, 0xFFFFFFFF, 99}, {0xFFFFFFFF, 0xFFFFFFFF, 100}};
    for (const auto& c : cases)
        EXPECT_EQ(DownloadPercentage(c.received, c.announced), c.percent) << c.received << " of " << c.announced;
}

HANDLE notResumed = nullptr;
UINT shownMessage = 0;

DWORD WINAPI FailingResume(HANDLE thread) {
    notResumed = thread;
    return static_cast<DWORD>(-1);
}

const UpdateView kFailingResumeView = {
    [](const wchar_t*) {}, [](bool) {}, [](UINT) {}, [](int) {}, [](const wchar_t*) {},
    [](UINT text, UINT, UINT) { shownMessage = text; },
    [](LPTHREAD_START_ROUTINE routine, std::atomic<HANDLE>& slot) {
        return StartSuspendedWorker(routine, slot, FailingResume);
    },
};

TEST(ReadyForUpdate, APresentationLateForItsStateLeavesItAlone) {
    // The Update command presents CancelRequested after a worker has ended
    // the download (Idle): the tray must stay usable.
    SetUpdateView(&kFailingResumeView);
    app.updateState.store(Idle);
    app.readyForUpdate.store(1);
    ApplyState(CancelRequested);
    SetUpdateView(nullptr);
    EXPECT_EQ(app.readyForUpdate.load(), 1u);
}

TEST(WorkerStart, AThreadThatCannotBeResumedEndsTheDownloadAsFailed) {
    SetUpdateView(&kFailingResumeView);
    app.updateState.store(Idle);
    RunUpdateCommand();
    SetUpdateView(nullptr);
    EXPECT_EQ(app.updateState.load(), static_cast<uint32_t>(DownloadFailed));
    EXPECT_EQ(app.readyForUpdate.load(), 1u);
    EXPECT_EQ(app.downloadThread.load(), INVALID_HANDLE_VALUE) << "slot cleared";
    EXPECT_EQ(shownMessage, static_cast<UINT>(IDS_MSG_DOWNLOAD_FAILED));
    DWORD flags = 0;
    ASSERT_NE(notResumed, nullptr);
    EXPECT_FALSE(GetHandleInformation(notResumed, &flags)) << "handle closed";
}

}  // namespace
