// Servers that fail, stall, trickle or flood, and a cancel whatever the server does.
#include "roads.h"

namespace {

class ServerRoad : public Road {};

// The server fails while an earlier download is on disk and the device is
// plugged in (auto-update on). Only when no answer came at all may the
// unexpired local file go to the device; nothing else changes.
struct Failure {
    const char* mode;
    long long expiresInMinutes;
    UINT box, caption;
    ULONGLONG withinMs = 10000;  // from the arrival to the result
    bool countsIgnored = false;  // the library's byte counts dropped, as Windows gives them: only the bytes written bound it
};

void PrintTo(const Failure& f, std::ostream* os) { *os << f.mode << ", expiring in " << f.expiresInMinutes << " min" << (f.countsIgnored ? ", counts ignored" : ""); }
class ServerFailure : public AppTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(ServerFailure, LeavesTheLocalFileAndTellsTheUser) {
    const Failure& row = GetParam();
    ASSERT_TRUE(SetServerMode(row.mode) && (!row.countsIgnored || IgnoreLibraryCounts()));
    const RunFiles files = Earlier(row.expiresInMinutes);
    ASSERT_TRUE(Launch(files));
    // What a restart shows of the earlier download, kept through the failure.
    const std::wstring downloaded = files.settings->substr(17, 16), expires = files.settings->substr(50, 16);
    const auto times = [&] { return Show(app.Text(IDC_DOWNLOAD_TIME) + L"|" + app.Text(IDC_EXPIRE_TIME) + L"|" + app.Text(IDC_UPDATE_TIME)); };
    EXPECT_EQ(times(), Show(downloaded + L"|" + expires + L"|"));
    const ULONGLONG plugged = GetTickCount64();
    ASSERT_TRUE(app.Plug(L'E'));
    // An answer too large is refused as it is written, not at its end: the file never grows past the bound by
    // more than one piece.
    ULONGLONG written = 0;
    EXPECT_TRUE(PumpUntil([&] {
        WIN32_FILE_ATTRIBUTE_DATA file{};
        if (GetFileAttributesExW(app.File(L"packedEphemeris.ee").c_str(), GetFileExInfoStandard, &file))
            written = std::max(written, ULONGLONG{file.nFileSizeHigh} << 32 | file.nFileSizeLow);
        return app.Box() != nullptr;
    }, static_cast<DWORD>(row.withinMs))) << "no result after " << GetTickCount64() - plugged << " ms";
    EXPECT_LE(written, kMaxEphemerisBytes + 65536);
    EXPECT_TRUE(AnswerBox(row.box, row.caption));
    EXPECT_EQ(app.Text(IDC_STATUS), Str(row.caption) + L"...");
    EXPECT_EQ(app.Tips(), Str(IDS_STATUS_DOWNLOADING) + L"... | " + (row.box == IDS_MSG_COPY_DONE ? Str(IDS_TIP_COPYING) + L"... | " : L"") + Str(IDS_APP_TITLE));
    EXPECT_EQ(app.Ask(IDC_PROGRESS, PBM_GETPOS), row.box == IDS_MSG_COPY_DONE ? 100 : 0);
    if (row.box != IDS_MSG_COPY_DONE) {
        EXPECT_EQ(times(), Show(downloaded + L"|" + expires + L"|"));
    }
    EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == kEarlier) << "the local file changed";
    EXPECT_FALSE(FileExists(app.File(L"packedEphemeris.ee")));
    const bool copied = row.box == IDS_MSG_COPY_DONE;
    EXPECT_EQ(ReadFileBytes(DeviceFile(L'E')), copied ? kEarlier : Bytes{});
    const std::wstring settings = FromUtf16(ReadFileBytes(app.File(L"Kelva_config.ini")));
    EXPECT_EQ(settings.substr(0, files.settings->size()), *files.settings) << "download times changed";
    EXPECT_EQ(settings.size() > files.settings->size(), copied) << Show(settings);
}

constexpr Failure Fails(const char* mode, long long expiresInMinutes = 2880, ULONGLONG withinMs = 10000, bool countsIgnored = false) {
    return {mode, expiresInMinutes, IDS_MSG_DOWNLOAD_FAILED, IDS_DOWNLOAD_FAILED, withinMs, countsIgnored};
}
// A refused flood or bomb ends when the network library lets go (Wine reads on to the server's 256 MiB, at the disk's pace).
constexpr ULONGLONG kStalled = kStallLimitMs + 3000, kTrickled = kTransferLimitMs + 3000, kFlooded = 30000;
INSTANTIATE_TEST_SUITE_P(Answers, ServerFailure,
                         ::testing::Values(Fails("status 404"), Fails("status 500 20000 42"), Fails("empty"),
                                           Fails("cut 65536 6"), Fails("page 200"), Fails("redirect"), Fails("page 404"),
                                           Fails("page 503"), Failure{"refuse", 2880, IDS_MSG_COPY_DONE, IDS_COPY_DONE},
                                           Fails("refuse", -60),
                                           Fails("refuse", -364 * 1440),  // a year ago, on a later day than today
                                           Fails("slowbody 65536 6 90000", 2880, kStalled),  // silent after 16 KiB
                                           Failure{"slowheaders 20000 42 90000", 2880, IDS_MSG_COPY_DONE, IDS_COPY_DONE, kStalled},
                                           Fails("slowbody 4194304 5 40", 2880, kTrickled),  // 4 MiB at 100 KiB/s: too slow in all
                                           Fails("flood", 2880, kFlooded), Fails("flood 8589934592", 2880, kFlooded),  // endless, or 8 GiB announced
                                           Fails("bomb 1073741824", 2880, kFlooded),  // 1 MiB on the wire, 1 GiB decoded
                                           Fails("bomb 1073741824", 2880, kFlooded, true), Fails("flood", 2880, kFlooded, true)));

// Cancel, whatever the server does: while data arrives (twice in one session: a user keeps the program running
// for days), after it fell silent, or when it never answers. Each ends within a second.
TEST_F(ServerRoad, CancelWhileReceivingLeavesEverythingAsItWasThenTheTrayUpdates) {
    const RunFiles files = Earlier(2880, false);
    ASSERT_TRUE(Launch(files));
    ASSERT_TRUE(app.Plug(L'E'));
    EXPECT_TRUE(MenuIs(false, true));
    const std::wstring receiving = Str(IDS_STATUS_DOWNLOADING);
    const struct { const char* mode; bool receiving, dataCame; } cancels[] = {
        {"slowbody 1048576 5 40 1500", true, true}, {"slowbody 1048576 5 40 1500", true, true},  // headers after 1.5 s, then 100 KiB/s
        {"slowbody 65536 6 90000", false, true}, {"slowheaders 20000 42 90000", false, false}};  // silent after 16 KiB; no answer
    for (const auto& c : cancels) {
        SCOPED_TRACE(c.mode);
        const int requests = ServerRequests();
        ASSERT_TRUE(SetServerMode(c.mode));
        app.Click(IDC_UPDATE);
        ASSERT_TRUE(PumpUntil([&] { return app.Text(IDC_UPDATE) == Str(IDS_BTN_CANCEL); }));
        EXPECT_EQ(app.Text(IDC_STATUS), Str(IDS_STATUS_STARTING) + L"...");
        EXPECT_TRUE(MenuIs(false, false));

        // While data arrives the bar moves, and the status line animates and
        // shows the percentage.
        std::set<std::wstring> frames;
        std::wstring percent;
        LRESULT first = -1, last = -1;
        EXPECT_TRUE(PumpUntil([&] {
            const std::wstring status = app.Text(IDC_STATUS);
            const LRESULT bar = app.Ask(IDC_PROGRESS, PBM_GETPOS);
            if (!c.receiving) return ServerRequests() > requests && (!c.dataCame || status.starts_with(receiving));
            if (status.rfind(receiving, 0) != 0) return false;
            const size_t tab = status.find(L'\t');
            frames.insert(status.substr(receiving.size(), tab - std::min(tab, receiving.size())));
            if (tab != std::wstring::npos) percent = status.substr(tab);
            last = bar;
            if (first < 0) first = bar;
            return frames.size() >= 3 && !percent.empty() && last > first;
        })) << frames.size() << " animation frames, percentage " << Show(percent) << ", bar from " << first << " to " << last;
        EXPECT_TRUE(!c.receiving || std::regex_match(percent, std::wregex(L"\t[1-9][0-9]?%"))) << Show(percent);

        const ULONGLONG clicked = GetTickCount64();
        app.Click(IDC_UPDATE);
        EXPECT_TRUE(PumpUntil([&] { return app.Box() != nullptr; }, 1500)) << "no result " << GetTickCount64() - clicked << " ms after Cancel";
        EXPECT_TRUE(AnswerBox(IDS_MSG_CANCELLED, IDS_CAPTION_WARNING));
        EXPECT_EQ(app.Text(IDC_STATUS), L"");
        EXPECT_EQ(app.Text(IDC_UPDATE), Str(IDS_BTN_UPDATE));
        EXPECT_TRUE(app.Enabled(IDC_UPDATE));
        EXPECT_EQ(app.Ask(IDC_PROGRESS, PBM_GETPOS), 0);
        EXPECT_TRUE(app.Tips().ends_with(receiving + L"... | " + Str(IDS_STATUS_CANCELLING) + L"... | " + Str(IDS_APP_TITLE))) << Show(app.Tips());
        EXPECT_TRUE(MenuIs(false, true));
        EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == kEarlier);
        EXPECT_EQ(ReadFileBytes(app.File(L"Kelva_config.ini")), Utf16Bytes(*files.settings));
        EXPECT_FALSE(FileExists(DeviceFile(L'E')) || FileExists(app.File(L"packedEphemeris.ee")));
        EXPECT_FALSE(FileExists(app.File(L"Kelva_log.txt")));
    }

    // The device gone, the tray's Update brings the dialog and a download that lasts longer than the stall limit,
    // counted by the bytes written alone, as where the library counts none; what an interrupted run left goes first.
    const Bytes slow = ServedBody(65536, 42);
    ASSERT_TRUE(app.Unplug(L'E') && SetServerMode("slowclose 65536 42 600") && IgnoreLibraryCounts());
    ASSERT_TRUE(WriteFileBytes(app.File(L"packedEphemeris.ee"), Bytes(kMaxEphemerisBytes + 1)));
    app.TrayCommand(IDM_TRAY_UPDATE);
    ASSERT_TRUE(PumpUntil([&] { return app.Box() != nullptr; }));
    EXPECT_TRUE(MenuIs(true, false)) << "a result box is open";
    EXPECT_TRUE(AnswerBox(IDS_MSG_DOWNLOAD_DONE, IDS_DOWNLOAD_DONE));
    EXPECT_TRUE(app.Visible() && ReadFileBytes(app.File(L"Ephemeris.ee")) == slow);
    EXPECT_EQ(app.Text(IDC_STATUS), Str(IDS_DOWNLOAD_DONE) + L"...\t100%");
    EXPECT_TRUE(app.Ask(IDC_PROGRESS, PBM_GETPOS) == 100 && app.Text(IDC_UPDATE) == Str(IDS_BTN_UPDATE));
    EXPECT_TRUE(app.Tips().ends_with(L" | " + receiving + L"... | " + Str(IDS_APP_TITLE))) << Show(app.Tips());
    EXPECT_TRUE(app.Text(IDC_UPDATE_TIME).empty() && !FileExists(app.File(L"Kelva_log.txt")));

    // Exit while the server is silent: the program ends at once, leaves nothing behind, and starts again.
    ASSERT_TRUE(SetServerMode("slowheaders 20000 42 90000"));
    app.Click(IDC_UPDATE);
    ASSERT_TRUE(PumpUntil([&] { return ServerRequests() == 6; }));
    PostMessageW(FindWindowW(kMainWindowClass, nullptr), WM_CLOSE, 0, 0);
    DWORD code = 1;
    EXPECT_TRUE(app.WaitForExit(3000, &code) && code == 0) << "exit code " << code;
    EXPECT_TRUE(ReadFileBytes(app.File(L"Ephemeris.ee")) == slow && !FileExists(app.File(L"packedEphemeris.ee")));
    EXPECT_TRUE(app.Start() && app.WaitForDialog()) << "the next start found an instance left behind";
}

}  // namespace
