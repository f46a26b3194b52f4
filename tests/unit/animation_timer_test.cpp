// The status animation's timer belongs to the dialog's thread: the download
// thread only asks for it, and a tick that arrives after the stop never
// overwrites the final status line.
#include <gtest/gtest.h>

#include <urlmon.h>

#include <atomic>
#include <string>
#include <thread>

#include "acquisition/dl_callback.h"
#include "resources/resource.h"
#include "shell/app_state.h"
#include "win_test_util.h"
#include "workflow/main_dialog.h"

namespace {

LRESULT CALLBACK FakeDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // The messages the download thread relies on go to the real dialog procedure.
    if (message == MSG_ANIMATION_TIMER || message == WM_TIMER) {
        MainDlgProc(window, message, wParam, lParam);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

std::wstring StatusText(HWND dialog) {
    wchar_t text[kTextChars] = {};
    GetDlgItemTextW(dialog, IDC_STATUS, text, static_cast<int>(kTextChars));
    return text;
}

class AnimationTimer : public testing::Test {
protected:
    void SetUp() override {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = FakeDialogProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"FennikFakeMainDialog";
        RegisterClassW(&wc);
        dialog_ = CreateWindowW(wc.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                                wc.hInstance, nullptr);
        ASSERT_NE(dialog_, nullptr) << GetLastError();
        CreateWindowW(L"STATIC", L"", WS_CHILD, 0, 0, 80, 20, dialog_, reinterpret_cast<HMENU>(IDC_STATUS),
                      wc.hInstance, nullptr);
        app.mainDialog.store(dialog_);
        app.animationTimerActive.store(0);
        app.updateState.store(Connecting);
    }
    void TearDown() override {
        KillTimer(dialog_, TIMER_ANIMATION);
        app.animationTimerActive.store(0);
        app.mainDialog.store(nullptr);
        app.updateState.store(Idle);
        DestroyWindow(dialog_);
    }
    // Runs `work` on another thread while this (the dialog's) thread pumps.
    static void OnWorkerThread(const std::function<void()>& work) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            work();
            done = true;
        });
        EXPECT_TRUE(PumpUntil([&] { return done.load(); }, 5000)) << "worker blocked";
        worker.join();
    }
    HWND dialog_ = nullptr;
};

TEST_F(AnimationTimer, StartedFromTheDownloadThreadTicksOnTheDialogThread) {
    OnWorkerThread([] { downloadCallback.OnProgress(8192, 0, BINDSTATUS_BEGINDOWNLOADDATA, L""); });
    EXPECT_NE(app.animationTimerActive.load(), 0u) << "the timer was not started";
    EXPECT_EQ(app.updateState.load(), static_cast<uint32_t>(Downloading));
    // A timer made on the wrong thread would never tick into this window.
    EXPECT_TRUE(PumpUntil([&] { return !StatusText(dialog_).empty(); }, 3000)) << "no animation step arrived";
}

TEST_F(AnimationTimer, NoStepOverwritesTheFinalStatusAfterTheStop) {
    OnWorkerThread([] { downloadCallback.OnProgress(8192, 0, BINDSTATUS_BEGINDOWNLOADDATA, L""); });
    ASSERT_TRUE(PumpUntil([&] { return !StatusText(dialog_).empty(); }, 3000));
    // The worker stops the animation, then presents the outcome.
    OnWorkerThread([] { SendMessageW(app.mainDialog.load(), MSG_ANIMATION_TIMER, 0, 0); });
    EXPECT_EQ(app.animationTimerActive.load(), 0u);
    SetDlgItemTextW(dialog_, IDC_STATUS, L"final");
    // Even a tick that was already queued must leave the final text alone.
    PostMessageW(dialog_, WM_TIMER, TIMER_ANIMATION, 0);
    PumpFor(500);
    EXPECT_EQ(StatusText(dialog_), L"final");
}

}  // namespace
