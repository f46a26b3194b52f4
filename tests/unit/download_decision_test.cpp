// The download's arithmetic and decisions: percentages, what counts as a
// complete transfer, the progress callback and the next state after a download.
#include <gtest/gtest.h>

#include "win_test_util.h"

#include <urlmon.h>

#include "acquisition/dl_callback.h"
#include "acquisition/download_worker.h"
#include "shell/app_state.h"

namespace {

int probes = 0;
bool Present() {
    ++probes;
    return true;
}
bool Absent() {
    ++probes;
    return false;
}

DownloadOutcome Outcome(uint32_t state, bool succeeded, uint16_t drives, bool (*file)(), SYSTEMTIME expiry,
                        SYSTEMTIME now) {
    return DownloadOutcome{state, succeeded, drives, file, expiry, now};
}

const SYSTEMTIME kNow = At(2007, 11, 6, 9, 30, 20);
const SYSTEMTIME kFuture = At(2007, 11, 8, 13, 7);
const SYSTEMTIME kPast = At(2007, 11, 5, 13, 7);
const SYSTEMTIME kNone = {};

TEST(DownloadDecision, CancellationWinsOverEverything) {
    EXPECT_EQ(DecideAfterDownload(Outcome(CancelRequested, true, 1, Present, kFuture, kNow)), (uint32_t)Idle);
    EXPECT_EQ(DecideAfterDownload(Outcome(CancelRequested, false, 0, Absent, kNone, kNow)), (uint32_t)Idle);
}

TEST(DownloadDecision, CopiesAfterSuccessOrWhenNoDataEverArrived) {
    EXPECT_EQ(DecideAfterDownload(Outcome(Downloaded, true, 1, Present, kFuture, kNow)), (uint32_t)Copying);
    // Server unreachable, device attached, local file still valid: deliver it.
    EXPECT_EQ(DecideAfterDownload(Outcome(Connecting, false, 2, Present, kFuture, kNow)), (uint32_t)Copying);
}

TEST(DownloadDecision, FailsWithoutUsableLocalFileDeviceOrAfterDataBegan) {
    EXPECT_EQ(DecideAfterDownload(Outcome(Connecting, false, 1, Present, kPast, kNow)), (uint32_t)DownloadFailed);
    EXPECT_EQ(DecideAfterDownload(Outcome(Connecting, false, 1, Present, kNone, kNow)), (uint32_t)DownloadFailed);
    EXPECT_EQ(DecideAfterDownload(Outcome(Connecting, false, 1, Absent, kFuture, kNow)), (uint32_t)DownloadFailed);
    EXPECT_EQ(DecideAfterDownload(Outcome(Connecting, false, 0, Present, kFuture, kNow)), (uint32_t)DownloadFailed);
    EXPECT_EQ(DecideAfterDownload(Outcome(Downloading, false, 1, Present, kFuture, kNow)), (uint32_t)DownloadFailed);
}

TEST(DownloadDecision, SuccessWithoutDeviceIsDownloaded) {
    EXPECT_EQ(DecideAfterDownload(Outcome(Downloaded, true, 0, Present, kFuture, kNow)), (uint32_t)Downloaded);
}

TEST(DownloadDecision, TheFileIsNotProbedWithoutADeviceDrive) {
    probes = 0;
    DecideAfterDownload(Outcome(Connecting, false, 0, Present, kFuture, kNow));
    EXPECT_EQ(probes, 0);
}

TEST(DownloadDecision, ExpiryCountsInWholeMinutes) {
    const SYSTEMTIME expiry = At(2007, 11, 8, 13, 7);
    // During the minute of expiry the file is already expired, unless the
    // current second is 0.
    EXPECT_EQ(DecideAfterDownload(Outcome(Connecting, false, 1, Present, expiry, At(2007, 11, 8, 13, 7, 0))),
              (uint32_t)Copying);
    EXPECT_EQ(DecideAfterDownload(Outcome(Connecting, false, 1, Present, expiry, At(2007, 11, 8, 13, 7, 1))),
              (uint32_t)DownloadFailed);
}

TEST(DownloadProgress, PercentageTakesTheQuotientFirstAndTruncates) {
    EXPECT_EQ(DownloadPercentage(29, 100), 28);
    EXPECT_EQ(DownloadPercentage(57, 100), 56);
    EXPECT_EQ(DownloadPercentage(58, 100), 57);
    EXPECT_EQ(DownloadPercentage(50, 100), 50);
    EXPECT_EQ(DownloadPercentage(100, 100), 100);
    EXPECT_EQ(DownloadPercentage(150, 100), 100);
    EXPECT_EQ(DownloadPercentage(0xFFFFFFFFu, 0xFFFFFFFFu), 100) << "counts are unsigned";
}

TEST(DownloadProgress, CallbackFollowsTheTransferAndHonoursCancellation) {
    app.mainDialog.store(nullptr);
    app.animationTimerActive.store(1);  // no timer request without a dialog
    app.downloadPercent.store(7);
    downloadCallback.ResetReport();

    app.updateState.store(Connecting);
    EXPECT_EQ(downloadCallback.OnProgress(0, 0, BINDSTATUS_CONNECTING, L""), S_OK);
    EXPECT_EQ(app.updateState.load(), (uint32_t)Connecting);
    EXPECT_EQ(downloadCallback.OnProgress(8192, 0, BINDSTATUS_BEGINDOWNLOADDATA, L""), S_OK);
    EXPECT_EQ(app.updateState.load(), (uint32_t)Downloading);

    EXPECT_EQ(downloadCallback.OnProgress(10, 0, BINDSTATUS_DOWNLOADINGDATA, L""), S_OK);
    EXPECT_EQ(app.downloadPercent.load(), 7) << "an unknown size changes nothing";
    EXPECT_EQ(downloadCallback.OnProgress(42, 100, BINDSTATUS_DOWNLOADINGDATA, L""), S_OK);
    EXPECT_EQ(app.downloadPercent.load(), 42);

    EXPECT_EQ(downloadCallback.OnProgress(100, 100, BINDSTATUS_ENDDOWNLOADDATA, L""), S_OK);
    EXPECT_EQ(app.updateState.load(), (uint32_t)Downloaded);
    EXPECT_TRUE(downloadCallback.Report().endOfData);
    EXPECT_EQ(downloadCallback.Report().bytesReceived, 100u);

    app.updateState.store(CancelRequested);
    for (ULONG status : {ULONG(BINDSTATUS_CONNECTING), ULONG(BINDSTATUS_BEGINDOWNLOADDATA), ULONG(BINDSTATUS_DOWNLOADINGDATA),
                         ULONG(BINDSTATUS_ENDDOWNLOADDATA), ULONG(99)})
        EXPECT_EQ(downloadCallback.OnProgress(1, 2, status, L""), E_ABORT) << "status " << status;
    EXPECT_EQ(app.updateState.load(), (uint32_t)CancelRequested) << "a cancellation is never overwritten";
    app.updateState.store(Idle);
    app.animationTimerActive.store(0);
}

TEST(DownloadProgress, OnlyAWholeNonEmptyBodyCountsAsComplete) {
    TransferReport whole{true, 65536, 65536};
    EXPECT_TRUE(TransferComplete(whole, 65536));
    EXPECT_FALSE(TransferComplete(TransferReport{false, 65536, 65536}, 65536)) << "no end-of-data report";
    EXPECT_FALSE(TransferComplete(TransferReport{true, 32768, 65536}, 32768)) << "cut short";
    EXPECT_FALSE(TransferComplete(TransferReport{true, 65536, 65536}, 32768)) << "file shorter than received";
    EXPECT_FALSE(TransferComplete(TransferReport{true, 0, 0}, 0)) << "empty body";
    EXPECT_TRUE(TransferComplete(TransferReport{true, 5000, 0}, 5000)) << "length not announced";
}

}  // namespace
