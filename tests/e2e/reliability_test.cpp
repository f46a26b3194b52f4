// Reliability under pressure: Update pressed at random moments, the device
// plugged in and out during updates, the settings file held by another
// process, a device that cannot take the file, an answer far larger than
// expected, and a hostile settings file at start-up. Whatever happens, every
// operation ends in a resting state, there is never more than one download,
// and nothing the user had (local file, device file, settings) is lost or
// torn.
//
// Random moments come from a seeded generator; the seed is printed with the
// counts, and FENNIK_RELIABILITY_SEED repeats a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app_driver.h"
#include "resources/resource.h"
#include "base/scoped_win.h"
#include "shell/string_ids.h"
#include "win_test_util.h"

namespace {

constexpr wchar_t kSettingsName[] = L"Kelva_config.ini";
constexpr wchar_t kAutoHeader[] = L"[AUTO UPDATE]\r\n";
constexpr wchar_t kDownloadHeader[] = L"[DOWNLOAD TIME]\r\n";
constexpr wchar_t kUpdateHeader[] = L"[UPDATE TIME]\r\n";
constexpr wchar_t kExpireHeader[] = L"[EXPIRE TIME]\r\n";
const wchar_t* const kHeaders[] = {kAutoHeader, kDownloadHeader, kUpdateHeader, kExpireHeader};

size_t ValueWidth(const std::wstring& header) {
    return header == kAutoHeader ? 1 : 16;
}

unsigned Seed(unsigned fallback) {
    const char* text = std::getenv("FENNIK_RELIABILITY_SEED");
    return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

int Random(std::mt19937& rng, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(rng);
}

bool ValueValid(const std::wstring& header, const std::wstring& value) {
    if (header == kAutoHeader) return value == L"0" || value == L"1";
    SYSTEMTIME parsed;
    return ParseStamp(value, &parsed);
}

// A settings file that the program kept from a well-formed start holds whole
// sections only: a known header, a value of that header's width, CR LF; each
// header once.
::testing::AssertionResult WellFormedSettings(const std::vector<unsigned char>& bytes) {
    if (bytes.size() % 2 != 0) return ::testing::AssertionFailure() << "odd size " << bytes.size();
    const std::wstring text = FromUtf16Bytes(bytes);
    std::vector<std::wstring> seen;
    size_t at = 0;
    while (at < text.size()) {
        const wchar_t* header = nullptr;
        for (const wchar_t* h : kHeaders)
            if (text.compare(at, wcslen(h), h) == 0) header = h;
        if (!header)
            return ::testing::AssertionFailure() << "no known header at character " << at << " of " << Show(text);
        for (const std::wstring& s : seen)
            if (s == header) return ::testing::AssertionFailure() << Show(header) << " twice in " << Show(text);
        seen.push_back(header);
        at += wcslen(header);
        const size_t width = ValueWidth(header);
        const std::wstring value = text.substr(at, width);
        if (!ValueValid(header, value) || text.compare(at + width, 2, L"\r\n") != 0)
            return ::testing::AssertionFailure() << "torn value after " << Show(header) << ": "
                                                 << Show(text.substr(at, width + 2)) << " in " << Show(text);
        at += width + 2;
    }
    return ::testing::AssertionSuccess();
}

// The value the program reads for a header: the `width` characters after the
// first occurrence; "" when the header is missing.
std::wstring ReadValue(const std::wstring& text, const std::wstring& header) {
    return SettingsValue(text, header.c_str(), ValueWidth(header));
}

// A value the program wrote into a file of any content: a whole value that
// does not run into a following line or header.
::testing::AssertionResult ReadableValue(const std::wstring& text, const std::wstring& header) {
    const std::wstring value = ReadValue(text, header);
    if (value.find_first_of(L"\r\n[") != std::wstring::npos || !ValueValid(header, value))
        return ::testing::AssertionFailure() << Show(header) << " reads as " << Show(value);
    return ::testing::AssertionSuccess();
}

size_t CountOf(const std::wstring& text, const std::wstring& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::vector<unsigned char> Bytes(const std::string& s) {
    return std::vector<unsigned char>(s.begin(), s.end());
}

// The result boxes met during a run, by kind.
struct BoxTally {
    int cancelled = 0;
    int downloaded = 0;
    int downloadFailed = 0;
    int copied = 0;
    int copyFailed = 0;
    std::vector<std::wstring> unexpected;
    int Total() const {
        return cancelled + downloaded + downloadFailed + copied + copyFailed + static_cast<int>(unexpected.size());
    }
    std::string Text() const {
        return "boxes: " + std::to_string(cancelled) + " cancelled, " + std::to_string(downloaded) + " downloaded, " +
               std::to_string(downloadFailed) + " download failed, " + std::to_string(copied) + " copied, " +
               std::to_string(copyFailed) + " copy failed";
    }
};

}  // namespace

// What every reliability suite needs: telling the program's boxes apart,
// waiting for its resting state, one more update at the end.
class ReliabilityTest : public AppTest {
protected:
    ReliabilityTest() : AppTest(FENNIK_DIST_DIR) {}

    std::wstring Status() const { return app.ControlText(IDC_STATUS); }

    // Reads a box, counts it and presses its OK button.
    bool Dismiss(HWND box, BoxTally& tally) {
        const std::wstring text = AppDriver::MessageBoxText(box);
        if (text == Str(IDS_MSG_CANCELLED)) ++tally.cancelled;
        else if (text == Str(IDS_MSG_DOWNLOAD_DONE)) ++tally.downloaded;
        else if (text == Str(IDS_MSG_DOWNLOAD_FAILED)) ++tally.downloadFailed;
        else if (text == Str(IDS_MSG_COPY_DONE)) ++tally.copied;
        else if (text == Str(IDS_MSG_COPY_FAILED)) ++tally.copyFailed;
        else tally.unexpected.push_back(text);
        return AppDriver::AnswerMessageBox(box, IDOK);
    }

    // Nothing under way: no box, the button reads Update and is enabled, and
    // the status line shows no operation in progress.
    bool Resting() const {
        if (app.FindMessageBox()) return false;
        const std::wstring status = Status();
        const std::wstring downloading = Str(IDS_STATUS_DOWNLOADING);
        if (status == Str(IDS_STATUS_STARTING) + L"..." || status == Str(IDS_STATUS_CANCELLING) + L"..." ||
            status == Str(IDS_STATUS_COPYING) + L"..." || status.compare(0, downloading.size(), downloading) == 0)
            return false;
        return app.ControlText(IDC_UPDATE) == Str(IDS_BTN_UPDATE) && app.ControlEnabled(IDC_UPDATE);
    }

    std::string Describe() const {
        return "status " + Show(Status()) + ", button " + Show(app.ControlText(IDC_UPDATE)) +
               (app.ControlEnabled(IDC_UPDATE) ? " (enabled)" : " (disabled)") + ", box " +
               (app.FindMessageBox() ? Show(AppDriver::MessageBoxText(app.FindMessageBox())) : std::string("none"));
    }

    // Answers boxes as they come until the program rests, then presses
    // Update until the server is asked again. A press in the moment between
    // a result's status line and its box is ignored by design; the box then
    // comes and the next press is taken.
    ::testing::AssertionResult UpdateFromRest(BoxTally& tally) {
        const int before = server.RequestCount();
        int presses = 0;
        const bool started = AppDriver::WaitFor(
            [&] {
                if (HWND box = app.FindMessageBox()) {
                    Dismiss(box, tally);
                    return false;
                }
                if (Resting()) {
                    app.Click(IDC_UPDATE);
                    ++presses;
                    app.Flush();
                }
                return server.RequestCount() > before;
            },
            30000);
        if (started) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no resting state with a download from it after " << presses
                                             << " presses; " << Describe();
    }

    // Waits for the next box, counts and answers it; its message text.
    std::wstring NextBox(BoxTally& tally) {
        HWND box = app.WaitForMessageBox();
        if (!box) return L"<no box; " + std::wstring(L"status ") + Status() + L">";
        const std::wstring text = AppDriver::MessageBoxText(box);
        Dismiss(box, tally);
        return text;
    }

    // Every request the server took was answered to the end or given up.
    ::testing::AssertionResult ServerIdle() const {
        if (!server.Serving() && server.ResponsesFinished() + server.ResponsesAborted() == server.RequestCount())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << server.RequestCount() << " requests, " << server.ResponsesFinished()
                                             << " answered, " << server.ResponsesAborted() << " given up, serving "
                                             << server.Serving();
    }

    void Report(const std::string& line) {
        std::printf("reliability: %s\n", line.c_str());
        std::fflush(stdout);
        RecordProperty("counts", line);
    }

    static std::vector<unsigned char> ValidSettings(const std::wstring& autoUpdate, SYSTEMTIME downloaded,
                                                    bool withUpdateTime = true) {
        const std::wstring download = std::wstring(kDownloadHeader) + StampText(downloaded) + L"\r\n" +
                                      kExpireHeader + StampText(AddMinutes(downloaded, 3 * 24 * 60)) + L"\r\n";
        const std::wstring update = std::wstring(kUpdateHeader) + StampText(AddMinutes(downloaded, 1)) + L"\r\n";
        return Utf16Bytes(download + (withUpdateTime ? update : L"") + kAutoHeader + autoUpdate + L"\r\n");
    }
    static SYSTEMTIME HoursAgo(int hours) {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        return AddMinutes(now, -60LL * hours);
    }

    // A body trickled out in small pieces, so that a download takes a little
    // while and presses land in every phase of it.
    static ServerResponse Trickled(const std::string& body, DWORD headerDelayMs = 0) {
        ServerResponse r = ServerResponse::File(body);
        r.pieceBytes = 4 * 1024;
        r.pieceDelayMs = 20;
        r.headerDelayMs = headerDelayMs;
        return r;
    }

    std::wstring SettingsText() const { return FromUtf16Bytes(app.ReadRunFile(kSettingsName)); }
    std::string DeviceFile() const { return FileContent(DeviceRoot(L'E') + L"Ephemeris.ee"); }
    std::string LocalFile() const { return FileContent(app.RunFile(L"Ephemeris.ee")); }
};

// ---- 1: Update pressed at random moments ------------------------------------

class ReliabilityUpdateClicks : public ReliabilityTest {};

// The check below rests on the server's count of connections at once: it
// sees a second client that connects while a response is under way.
TEST_F(ReliabilityUpdateClicks, ServerSeesASecondConnectionWhileAnswering) {
    server.SetResponse(ServerResponse::SlowBody(defaultBody, 1024, 60000));
    auto connect = [] {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(EphemerisServerPort());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            closesocket(s);
            return INVALID_SOCKET;
        }
        static const char request[] = "GET /check.asp?f=packedEphemeris.ee HTTP/1.1\r\nHost: x\r\n\r\n";
        send(s, request, sizeof request - 1, 0);
        return s;
    };
    SOCKET first = connect();
    ASSERT_NE(first, INVALID_SOCKET);
    ASSERT_TRUE(AppDriver::WaitFor([&] { return server.Serving(); }));
    EXPECT_EQ(server.MaxConnectionsAtOnce(), 1);

    SOCKET second = connect();
    ASSERT_NE(second, INVALID_SOCKET);
    EXPECT_TRUE(AppDriver::WaitFor([&] { return server.MaxConnectionsAtOnce() == 2; }))
        << "a second connection went unnoticed: " << server.MaxConnectionsAtOnce();
    closesocket(first);
    closesocket(second);
    server.Release();
}

// 100 presses at random moments during trickled downloads. Every download
// ends in a resting state with its one box, never are two downloads under way,
// and after the run a plain Update still completes a download.
TEST_F(ReliabilityUpdateClicks, HundredPressesAtRandomMomentsEndAtRest) {
    const unsigned seed = Seed(20240501);
    std::mt19937 rng(seed);
    const std::string body = MakeTestBody(48 * 1024, 11);
    const std::string oldLocal = MakeTestBody(30000, 12);
    server.SetResponse(Trickled(body));

    RunFolderOptions options;
    options.settings = ValidSettings(L"0", HoursAgo(100));
    options.ephemeris = Bytes(oldLocal);
    ASSERT_TRUE(Launch(options));
    ASSERT_TRUE(app.TrayDoubleClick());
    ASSERT_TRUE(app.Flush());

    BoxTally tally;
    int toStart = 0, toCancel = 0, whileCancelling = 0, onOpenBox = 0;
    constexpr int kPresses = 100;
    for (int i = 0; i < kPresses; ++i) {
        SCOPED_TRACE("press " + std::to_string(i) + " of seed " + std::to_string(seed));
        // Now and then the answer's headers come late: a cancellation then
        // waits for them, and presses land while it is pending.
        server.SetResponse(Trickled(body, Random(rng, 0, 2) == 0 ? 250 : 0));
        PumpFor(static_cast<DWORD>(Random(rng, 0, 300)));
        HWND box = app.FindMessageBox();
        // Mostly answered at once, as a user would; sometimes pressed past.
        if (box && Random(rng, 0, 3) != 0) {
            ASSERT_TRUE(Dismiss(box, tally)) << "a box did not close: " << Describe();
            box = nullptr;
        }
        const std::wstring caption = app.ControlText(IDC_UPDATE);
        const std::wstring statusBefore = Status();
        const int requestsBefore = server.RequestCount();
        if (box) ++onOpenBox;
        else if (caption == Str(IDS_BTN_UPDATE)) ++toStart;
        else if (app.ControlEnabled(IDC_UPDATE)) ++toCancel;
        else ++whileCancelling;

        app.Click(IDC_UPDATE);
        ASSERT_TRUE(app.Flush()) << "the program stopped answering; " << Describe();
        if (box) {
            // The operation has not ended while its box is open.
            EXPECT_TRUE(IsWindow(box) && IsWindowVisible(box)) << "the open box went away on its own";
            EXPECT_EQ(Status(), statusBefore) << "a press on an open box changed the status";
            EXPECT_EQ(server.RequestCount(), requestsBefore) << "a press on an open box started a download";
        }
        ASSERT_LE(server.MaxConnectionsAtOnce(), 1) << "two downloads at once; " << Describe();
    }

    const int requestsDuringRun = server.RequestCount();
    ASSERT_TRUE(UpdateFromRest(tally));
    const int requestsBeforeFinal = server.RequestCount() - 1;
    EXPECT_EQ(NextBox(tally), Str(IDS_MSG_DOWNLOAD_DONE));
    ASSERT_TRUE(AppDriver::WaitFor([&] { return Resting(); })) << Describe();
    EXPECT_EQ(Status(), Str(IDS_DOWNLOAD_DONE) + L"...\t100%") << Show(Status());
    EXPECT_EQ(app.ProgressPosition(), 100);
    ASSERT_TRUE(app.Flush());

    Report(std::to_string(kPresses) + " presses (" + std::to_string(toStart) + " from rest, " +
           std::to_string(toCancel) + " to cancel, " + std::to_string(whileCancelling) + " while cancelling, " +
           std::to_string(onOpenBox) + " on an open box), " + std::to_string(requestsDuringRun) +
           " downloads requested, " + tally.Text() + "; most connections at once " +
           std::to_string(server.MaxConnectionsAtOnce()) + "; seed " + std::to_string(seed));

    EXPECT_LE(server.MaxConnectionsAtOnce(), 1);
    EXPECT_TRUE(tally.unexpected.empty()) << "unexpected box " << Show(tally.unexpected.front());
    EXPECT_EQ(tally.copied + tally.copyFailed, 0) << "a copy without a device";
    // Each download ends with exactly one box, also one cancelled before it
    // reached the server.
    EXPECT_GE(tally.Total(), server.RequestCount());
    // No worker left behind: after the final download the server hears of no
    // other, and everything it took was answered or given up.
    EXPECT_EQ(server.RequestCount(), requestsBeforeFinal + 1);
    EXPECT_TRUE(ServerIdle());

    EXPECT_TRUE(LocalFile() == body) << "local file of " << LocalFile().size() << " bytes";
    EXPECT_FALSE(FileExists(app.RunFile(L"packedEphemeris.ee"))) << "a transfer file was left behind";
    const std::vector<unsigned char> settings = app.ReadRunFile(kSettingsName);
    EXPECT_TRUE(WellFormedSettings(settings));
    EXPECT_EQ(ReadValue(FromUtf16Bytes(settings), kDownloadHeader), app.ControlText(IDC_DOWNLOAD_TIME));
    EXPECT_EQ(ReadValue(FromUtf16Bytes(settings), kExpireHeader), app.ControlText(IDC_EXPIRE_TIME));
}

// ---- 2: the device plugged in and out during updates ------------------------

class ReliabilityDeviceEvents : public ReliabilityTest {};

TEST_F(ReliabilityDeviceEvents, FiftyPlugAndUnplugEventsDuringUpdates) {
    const unsigned seed = Seed(20240502);
    std::mt19937 rng(seed);
    const std::string body = MakeTestBody(48 * 1024, 21);
    const std::string oldLocal = MakeTestBody(30000, 22);
    server.SetResponse(Trickled(body));

    RunFolderOptions options;
    options.settings = ValidSettings(L"1", HoursAgo(100), false);
    options.ephemeris = Bytes(oldLocal);
    ASSERT_TRUE(Launch(options));
    ASSERT_TRUE(app.PlugDevice(L'E'));  // auto-update starts the first update

    BoxTally tally;
    int plugs = 1, unplugs = 0;
    constexpr int kEvents = 50;
    for (int i = 0; i < kEvents; ++i) {
        SCOPED_TRACE("event " + std::to_string(i) + " of seed " + std::to_string(seed));
        PumpFor(static_cast<DWORD>(Random(rng, 0, 250)));
        while (HWND box = app.FindMessageBox()) ASSERT_TRUE(Dismiss(box, tally)) << "a box did not close";
        const bool plug = i % 2 == 1;  // starts plugged: unplug first, plugged again at the end
        ASSERT_TRUE(plug ? app.PlugDevice(L'E') : app.UnplugDevice(L'E'))
            << "the program did not take the volume message; " << Describe();
        ++(plug ? plugs : unplugs);
        ASSERT_TRUE(app.Flush()) << "the program stopped answering; " << Describe();
        ASSERT_LE(server.MaxConnectionsAtOnce(), 1) << "two downloads at once; " << Describe();
    }

    const int requestsDuringRun = server.RequestCount();
    ASSERT_TRUE(UpdateFromRest(tally));
    EXPECT_EQ(NextBox(tally), Str(IDS_MSG_COPY_DONE)) << "the device is attached at the end";
    ASSERT_TRUE(AppDriver::WaitFor([&] { return Resting(); })) << Describe();
    ASSERT_TRUE(app.Flush());

    Report(std::to_string(plugs) + " plugs, " + std::to_string(unplugs) + " unplugs, " +
           std::to_string(requestsDuringRun) + " downloads requested during them, " + tally.Text() +
           "; most connections at once " + std::to_string(server.MaxConnectionsAtOnce()) + "; seed " +
           std::to_string(seed));

    EXPECT_LE(server.MaxConnectionsAtOnce(), 1);
    EXPECT_TRUE(ServerIdle());
    EXPECT_TRUE(tally.unexpected.empty()) << "unexpected box " << Show(tally.unexpected.front());
    EXPECT_EQ(tally.cancelled, 0);
    EXPECT_TRUE(DeviceFile() == body) << "device file of " << DeviceFile().size() << " bytes";
    EXPECT_FALSE(FileExists(DeviceRoot(L'E') + L"Ephemeris.ee.new")) << "a half copy was left on the device";
    EXPECT_TRUE(LocalFile() == body) << "local file of " << LocalFile().size() << " bytes";

    const std::wstring settings = SettingsText();
    EXPECT_TRUE(WellFormedSettings(app.ReadRunFile(kSettingsName)));
    EXPECT_EQ(ReadValue(settings, kAutoHeader), L"1") << "the user's setting changed";
    EXPECT_EQ(ReadValue(settings, kUpdateHeader), app.ControlText(IDC_UPDATE_TIME));

    // One log line per copy attempt that had a drive to copy to.
    const std::wstring log = FromUtf16Bytes(app.ReadRunFile(L"Kelva_log.txt"));
    const int lines = static_cast<int>(CountOf(log, L"\r\n"));
    EXPECT_EQ(static_cast<int>(CountOf(log, L"\tDownload to:\tE:\\Ephemeris.ee\r\n")), lines) << Show(log);
    EXPECT_GE(lines, tally.copied);
    EXPECT_LE(lines, tally.copied + tally.copyFailed);
}

// ---- 3: the settings file held by another process ----------------------------

class ReliabilitySettingsHeld : public ReliabilityTest {};

// While another process holds the settings file without sharing, the program
// toggles auto-update and runs an update: it keeps answering, the file stays
// whole, and once the file is free again the next writes land.
TEST_F(ReliabilitySettingsHeld, WritesWhileAnotherProcessHoldsTheFile) {
    const std::string body = MakeTestBody(20000, 31);
    const std::string oldLocal = MakeTestBody(30000, 32);
    server.SetResponse(ServerResponse::File(body));
    RunFolderOptions options;
    options.settings = ValidSettings(L"0", HoursAgo(100));
    options.ephemeris = Bytes(oldLocal);
    const std::wstring seeded = FromUtf16Bytes(*options.settings);
    ASSERT_TRUE(Launch(options));
    ASSERT_TRUE(app.PlugDevice(L'E'));  // auto-update is off: nothing starts
    ASSERT_TRUE(app.TrayDoubleClick());
    ASSERT_TRUE(app.Flush());
    ASSERT_EQ(app.CheckState(IDC_AUTO_UPDATE), BST_UNCHECKED);

    // This test process is the other process: it opens the file without
    // sharing (the program may have it open for a moment) and keeps it.
    const std::wstring path = app.RunFile(kSettingsName);
    HANDLE held = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(AppDriver::WaitFor([&] {
        held = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        return held != INVALID_HANDLE_VALUE;
    })) << "could not take the file: " << GetLastError();
    ScopedFile holder(held);

    BoxTally tally;
    app.Click(IDC_AUTO_UPDATE);
    ASSERT_TRUE(app.Flush()) << "the program hung on the held file";
    EXPECT_EQ(app.CheckState(IDC_AUTO_UPDATE), BST_CHECKED);
    ASSERT_TRUE(UpdateFromRest(tally));
    const std::wstring heldOutcome = NextBox(tally);
    // The expiry cannot be read back while the file is held: no copy follows.
    EXPECT_TRUE(heldOutcome == Str(IDS_MSG_DOWNLOAD_DONE) || heldOutcome == Str(IDS_MSG_COPY_DONE))
        << Show(heldOutcome);
    ASSERT_TRUE(app.Flush());
    const std::wstring shownDownload = app.ControlText(IDC_DOWNLOAD_TIME);

    holder.Reset();

    // Whole, and every value either the old one or the one shown.
    const std::wstring afterHold = SettingsText();
    EXPECT_TRUE(WellFormedSettings(app.ReadRunFile(kSettingsName)));
    for (const wchar_t* header : kHeaders) {
        const std::wstring value = ReadValue(afterHold, header);
        EXPECT_TRUE(value == ReadValue(seeded, header) || (header == kAutoHeader && value == L"1") ||
                    (header == kDownloadHeader && value == shownDownload) ||
                    (header == kExpireHeader && value == app.ControlText(IDC_EXPIRE_TIME)) ||
                    (header == kUpdateHeader && value == app.ControlText(IDC_UPDATE_TIME)))
            << Show(header) << " holds " << Show(value) << " in " << Show(afterHold);
    }
    EXPECT_TRUE(LocalFile() == body);

    // Free again: each toggle lands, and a full update records its times.
    for (int i = 0; i < 2; ++i) {
        app.Click(IDC_AUTO_UPDATE);
        ASSERT_TRUE(app.Flush());
        const std::wstring box = app.CheckState(IDC_AUTO_UPDATE) == BST_CHECKED ? L"1" : L"0";
        EXPECT_TRUE(AppDriver::WaitFor([&] { return ReadValue(SettingsText(), kAutoHeader) == box; }))
            << "toggle " << i << ": box " << Narrow(box) << ", file " << Show(SettingsText());
    }
    // Off again before the update, so that the copy is the update's own.
    if (app.CheckState(IDC_AUTO_UPDATE) == BST_CHECKED) app.Click(IDC_AUTO_UPDATE);
    ASSERT_TRUE(app.Flush());
    ASSERT_TRUE(UpdateFromRest(tally));
    EXPECT_EQ(NextBox(tally), Str(IDS_MSG_COPY_DONE));
    ASSERT_TRUE(app.Flush());
    const std::wstring settings = SettingsText();
    EXPECT_TRUE(WellFormedSettings(app.ReadRunFile(kSettingsName)));
    EXPECT_EQ(ReadValue(settings, kDownloadHeader), app.ControlText(IDC_DOWNLOAD_TIME));
    EXPECT_EQ(ReadValue(settings, kExpireHeader), app.ControlText(IDC_EXPIRE_TIME));
    EXPECT_EQ(ReadValue(settings, kUpdateHeader), app.ControlText(IDC_UPDATE_TIME));
    EXPECT_NE(ReadValue(settings, kUpdateHeader), ReadValue(seeded, kUpdateHeader));
    EXPECT_TRUE(DeviceFile() == body);
    Report("held file: outcome " + Show(heldOutcome) + ", " + std::to_string(server.RequestCount()) + " downloads");
}

// ---- 4: a device that cannot take the file ----------------------------------

class ReliabilityDeviceUnwritable : public ReliabilityTest {
protected:
    // A good local file, an earlier copy on the device and its time, the
    // device attached with auto-update off; Update then downloads and copies.
    void LaunchAndUpdate(BoxTally& tally) {
        options_.settings = ValidSettings(L"0", HoursAgo(30));
        options_.ephemeris = Bytes(oldLocal_);
        seeded_ = FromUtf16Bytes(*options_.settings);
        server.SetResponse(ServerResponse::File(body_));
        ASSERT_TRUE(Launch(options_));
        shownUpdateTime_ = app.ControlText(IDC_UPDATE_TIME);
        ASSERT_EQ(shownUpdateTime_, ReadValue(seeded_, kUpdateHeader));
        ASSERT_TRUE(app.PlugDevice(L'E'));
        ASSERT_TRUE(app.TrayDoubleClick());
        ASSERT_TRUE(UpdateFromRest(tally));
    }

    // The failed copy: its box, one log line, the update time as it was.
    void ExpectCopyFailedCleanly(BoxTally& tally) {
        EXPECT_EQ(NextBox(tally), Str(IDS_MSG_COPY_FAILED));
        ASSERT_TRUE(app.Flush());
        const std::wstring log = FromUtf16Bytes(app.ReadRunFile(L"Kelva_log.txt"));
        EXPECT_EQ(CountOf(log, L"\r\n"), 1u) << Show(log);
        EXPECT_EQ(CountOf(log, L"\tDownload to:\tE:\\Ephemeris.ee\r\n"), 1u) << Show(log);
        EXPECT_EQ(app.ControlText(IDC_UPDATE_TIME), shownUpdateTime_);
        const std::wstring settings = SettingsText();
        EXPECT_TRUE(WellFormedSettings(app.ReadRunFile(kSettingsName)));
        EXPECT_EQ(ReadValue(settings, kUpdateHeader), ReadValue(seeded_, kUpdateHeader)) << "update time changed";
        EXPECT_EQ(ReadValue(settings, kDownloadHeader), app.ControlText(IDC_DOWNLOAD_TIME));
        EXPECT_TRUE(LocalFile() == body_) << "the download itself succeeded";
    }

    // A folder named `name` on the device blocks the copy: it fails cleanly
    // and leaves the device as it was; with the folder gone the next update
    // reaches the device.
    void RunWithBlocker(const wchar_t* name, const char* what) {
        const std::wstring blocker = DeviceRoot(L'E') + name;
        const std::string deviceBefore = DeviceFile();
        ASSERT_TRUE(CreateDirectoryW(blocker.c_str(), nullptr));
        BoxTally tally;
        LaunchAndUpdate(tally);
        ASSERT_FALSE(HasFatalFailure());
        ExpectCopyFailedCleanly(tally);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_TRUE(DeviceFile() == deviceBefore) << "the device's file changed: " << DeviceFile().size() << " bytes";
        EXPECT_TRUE(GetFileAttributesW(blocker.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
        if (wcscmp(name, L"Ephemeris.ee.new") != 0) {
            EXPECT_FALSE(FileExists(DeviceRoot(L'E') + L"Ephemeris.ee.new")) << "the temporary copy was left behind";
        }
        ASSERT_TRUE(RemoveDirectoryW(blocker.c_str()));
        ExpectNextUpdateCopies(tally);
        Report(std::string(what) + ": " + std::to_string(tally.copyFailed) + " copy failed, then " +
               std::to_string(tally.copied) + " copied");
    }

    void ExpectNextUpdateCopies(BoxTally& tally) {
        ASSERT_TRUE(UpdateFromRest(tally));
        EXPECT_EQ(NextBox(tally), Str(IDS_MSG_COPY_DONE));
        ASSERT_TRUE(app.Flush());
        EXPECT_TRUE(DeviceFile() == body_);
        EXPECT_EQ(ReadValue(SettingsText(), kUpdateHeader), app.ControlText(IDC_UPDATE_TIME));
        EXPECT_FALSE(FileExists(DeviceRoot(L'E') + L"Ephemeris.ee.new"));
    }

    const std::string body_ = MakeTestBody(20000, 41);
    const std::string oldLocal_ = MakeTestBody(25000, 42);
    const std::string oldDevice_ = MakeTestBody(26000, 43);
    RunFolderOptions options_;
    std::wstring seeded_;
    std::wstring shownUpdateTime_;
};

// The copy's temporary name is taken by a folder: the copy fails before it
// touches the device's good file.
TEST_F(ReliabilityDeviceUnwritable, TemporaryNameBlockedLeavesTheDeviceFile) {
    ASSERT_TRUE(WriteFileBytes(DeviceRoot(L'E') + L"Ephemeris.ee", Bytes(oldDevice_)));
    RunWithBlocker(L"Ephemeris.ee.new", "temporary name blocked");
}

// The device's file name is taken by a folder: the copy fails, and the
// temporary file it made is gone again.
TEST_F(ReliabilityDeviceUnwritable, DeviceFileNameIsAFolder) {
    RunWithBlocker(L"Ephemeris.ee", "device name a folder");
}

// ---- 5: far more data than expected -------------------------------------------

class ReliabilityLargeAnswer : public ReliabilityTest {};

// 10 MiB where some kilobytes are expected, with and without a length: each
// download completes whole or fails cleanly, and what reaches the local file
// and the device is exactly the body.
TEST_F(ReliabilityLargeAnswer, TenMegabytesCompleteWholeOrFailCleanly) {
    RunFolderOptions options;
    options.settings = ValidSettings(L"0", HoursAgo(30));
    const std::string oldLocal = MakeTestBody(20000, 51);
    options.ephemeris = Bytes(oldLocal);
    ASSERT_TRUE(Launch(options));
    ASSERT_TRUE(app.PlugDevice(L'E'));
    ASSERT_TRUE(app.TrayDoubleClick());

    struct Variant {
        const char* name;
        ServerResponse response;
    };
    const Variant variants[] = {
        {"with length", ServerResponse::File(MakeTestBody(10 * 1024 * 1024, 52))},
        {"without length", ServerResponse::CloseDelimited(MakeTestBody(10 * 1024 * 1024, 53))},
    };
    BoxTally tally;
    std::string expectedLocal = oldLocal;
    std::string expectedDevice;
    std::string outcomes;
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.name);
        server.SetResponse(v.response);
        ASSERT_TRUE(UpdateFromRest(tally));
        const std::wstring outcome = NextBox(tally);
        ASSERT_TRUE(app.Flush());
        outcomes += std::string(outcomes.empty() ? "" : ", ") + v.name + ": " + Show(outcome);
        if (outcome == Str(IDS_MSG_COPY_DONE)) {
            expectedLocal = expectedDevice = v.response.body;
        } else {
            EXPECT_EQ(outcome, Str(IDS_MSG_DOWNLOAD_FAILED));
        }
        EXPECT_TRUE(LocalFile() == expectedLocal) << "local file of " << LocalFile().size() << " bytes";
        EXPECT_TRUE(DeviceFile() == expectedDevice) << "device file of " << DeviceFile().size() << " bytes";
        EXPECT_FALSE(FileExists(DeviceRoot(L'E') + L"Ephemeris.ee.new"));
        EXPECT_TRUE(WellFormedSettings(app.ReadRunFile(kSettingsName)));
    }
    EXPECT_TRUE(ServerIdle());
    Report("10 MiB answers: " + outcomes);
}

// ---- 6: a hostile settings file at start-up -------------------------------------

class ReliabilityHostileSettings : public ReliabilityTest {
protected:
    // Starts on `settings`, shows the dialog and runs an update that copies
    // to the device; the file's text afterwards.
    std::wstring StartAndUpdate(const std::vector<unsigned char>& settings, bool autoUpdateOn) {
        server.SetResponse(ServerResponse::File(body_));
        RunFolderOptions options;
        options.settings = settings;
        options.ephemeris = Bytes(MakeTestBody(20000, 61));
        if (!Launch(options)) {
            ADD_FAILURE() << "the program did not start on the hostile file";
            return L"";
        }
        EXPECT_TRUE(app.TrayDoubleClick());
        EXPECT_TRUE(app.Flush());
        EXPECT_TRUE(app.DialogVisible()) << "the dialog does not show";
        BoxTally tally;
        EXPECT_TRUE(app.PlugDevice(L'E'));  // with auto-update on, this alone starts the update
        if (!autoUpdateOn) {
            EXPECT_TRUE(UpdateFromRest(tally));
        }
        EXPECT_EQ(NextBox(tally), Str(IDS_MSG_COPY_DONE));
        EXPECT_TRUE(app.Flush());
        EXPECT_TRUE(DeviceFile() == body_);
        EXPECT_TRUE(LocalFile() == body_);
        return SettingsText();
    }

    // Each time the program wrote is whole, and is what the dialog shows.
    void ExpectTimesReadable(const std::wstring& text) {
        for (const wchar_t* header : {kDownloadHeader, kExpireHeader, kUpdateHeader})
            EXPECT_TRUE(ReadableValue(text, header)) << Show(text.substr(text.size() > 400 ? text.size() - 400 : 0));
        EXPECT_EQ(ReadValue(text, kDownloadHeader), app.ControlText(IDC_DOWNLOAD_TIME));
        EXPECT_EQ(ReadValue(text, kExpireHeader), app.ControlText(IDC_EXPIRE_TIME));
        EXPECT_EQ(ReadValue(text, kUpdateHeader), app.ControlText(IDC_UPDATE_TIME));
    }

    const std::string body_ = MakeTestBody(20000, 62);
};

// A megabyte of random bytes: the program finds none of its sections, adds
// them after the junk, and leaves the junk itself alone.
TEST_F(ReliabilityHostileSettings, RandomMegabyte) {
    const std::string junk = MakeTestBody(1024 * 1024, Seed(63));
    const std::wstring text = StartAndUpdate(Bytes(junk), true);
    const std::vector<unsigned char> bytes = app.ReadRunFile(kSettingsName);
    ASSERT_GE(bytes.size(), junk.size());
    const std::vector<unsigned char> junkBytes = Bytes(junk);
    EXPECT_TRUE(std::equal(junkBytes.begin(), junkBytes.end(), bytes.begin())) << "the junk was written into";
    ExpectTimesReadable(text);
    // What follows the junk is whole sections.
    EXPECT_TRUE(WellFormedSettings(std::vector<unsigned char>(bytes.begin() + junk.size(), bytes.end())));
    Report("random megabyte: file grew by " + std::to_string(bytes.size() - junk.size()) + " bytes");
}

// Values of other widths, a header twice and a header with nothing after it.
// The program's writes stay within their values, so every header it did not
// write survives, and the next start reads back what was shown.
TEST_F(ReliabilityHostileSettings, MalformedSectionsKeepTheirNeighbours) {
    const std::wstring hostile = std::wstring(kDownloadHeader) + L"2007/1/5 9:7\r\n" +  // too short
                                 kAutoHeader + L"0\r\n" +                               // the user's choice
                                 kUpdateHeader + L"2007/01/05\t09:08:59\r\n" +           // too long
                                 kDownloadHeader + L"2006/01/01\t00:00\r\n" +            // twice
                                 kExpireHeader;                                          // nothing after it
    const std::wstring text = StartAndUpdate(Utf16Bytes(hostile), false);
    ExpectTimesReadable(text);
    for (const wchar_t* header : kHeaders)
        EXPECT_EQ(CountOf(text, header), CountOf(hostile, header)) << Show(header) << " lost or added in " << Show(text);
    EXPECT_EQ(ReadValue(text, kAutoHeader), L"0") << "the auto-update choice was lost: " << Show(text);
    // The second, unread copy of a section is the user's junk: untouched.
    EXPECT_NE(text.find(std::wstring(kDownloadHeader) + L"2006/01/01\t00:00\r\n"), std::wstring::npos) << Show(text);

    // The next start reads the same.
    const std::wstring shown[] = {app.ControlText(IDC_DOWNLOAD_TIME), app.ControlText(IDC_UPDATE_TIME),
                                  app.ControlText(IDC_EXPIRE_TIME)};
    ASSERT_TRUE(app.Shutdown());
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(app.WaitForMainDialog());
    EXPECT_EQ(app.ControlText(IDC_DOWNLOAD_TIME), shown[0]);
    EXPECT_EQ(app.ControlText(IDC_UPDATE_TIME), shown[1]);
    EXPECT_EQ(app.ControlText(IDC_EXPIRE_TIME), shown[2]);
    EXPECT_EQ(app.CheckState(IDC_AUTO_UPDATE), BST_UNCHECKED);
    Report("malformed sections: " + Show(text));
}
