// The local ephemeris server of the end-to-end tests, fetched with the same
// platform download routine the program uses. The assertions are about what
// the server did (requests, bytes sent, prompt stop); what the download
// routine returns for a broken answer differs between Wine and Windows and is
// only recorded here (see the "download_result" properties in the XML report).
#include <gtest/gtest.h>

#include <urlmon.h>
#include <wininet.h>

#include "http_test_server.h"
#include "win_test_util.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace {

constexpr DWORD kWaitMs = 10000;

// Records what the download routine reports; can refuse to go on.
class RecordingCallback : public IBindStatusCallback {
public:
    std::atomic<ULONG> lastStatus{0};
    std::atomic<ULONG> lastProgress{0};
    std::atomic<ULONG> lastProgressMax{0};
    std::atomic<int> notifications{0};
    std::atomic<bool> sawBeginData{false};
    std::atomic<bool> sawEndData{false};
    std::atomic<bool> abort{false};  // answer E_ABORT from the next notification on
    std::atomic<HRESULT> stopResult{S_FALSE};  // S_FALSE: OnStopBinding never came

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IBindStatusCallback)) {
            *out = static_cast<IBindStatusCallback*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progressMax, ULONG status, LPCWSTR) override {
        ++notifications;
        lastStatus = status;
        lastProgress = progress;
        lastProgressMax = progressMax;
        if (status == BINDSTATUS_BEGINDOWNLOADDATA) sawBeginData = true;
        if (status == BINDSTATUS_ENDDOWNLOADDATA) sawEndData = true;
        return abort ? E_ABORT : S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT hr, LPCWSTR) override {
        stopResult = hr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return E_NOTIMPL; }
};

std::wstring UrlFor(uint16_t port) {
    return L"http://127.0.0.1:" + std::to_wstring(port) + L"/check.asp?f=packedEphemeris.ee";
}

std::wstring TargetPath() {
    return ExeDirectory() + L"http_test_server_download.bin";
}

struct DownloadResult {
    HRESULT hr = E_FAIL;
    std::string saved;
    bool fileSaved = false;
};

DownloadResult Download(uint16_t port, RecordingCallback* callback) {
    const std::wstring url = UrlFor(port);
    RemoveFile(TargetPath());
    DeleteUrlCacheEntryW(url.c_str());
    DownloadResult result;
    result.hr = URLDownloadToFileW(nullptr, url.c_str(), TargetPath().c_str(), 0, callback);
    result.fileSaved = FileExists(TargetPath());
    const std::vector<unsigned char> bytes = ReadFileBytes(TargetPath());
    result.saved.assign(bytes.begin(), bytes.end());
    RemoveFile(TargetPath());
    return result;
}

// The download on a thread of its own, for the cases where the test must act
// on the server while the transfer runs.
class BackgroundDownload {
public:
    BackgroundDownload(uint16_t port, RecordingCallback* callback)
        : thread_([this, port, callback] {
              result_ = Download(port, callback);
              done_ = true;
          }) {}
    ~BackgroundDownload() {
        if (thread_.joinable()) thread_.join();
    }
    bool WaitDone(DWORD ms) { return PumpUntil([this] { return done_.load(); }, ms); }
    const DownloadResult& Result() {
        if (thread_.joinable()) thread_.join();
        return result_;
    }

private:
    DownloadResult result_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

std::string Hex(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

// Notes what the platform made of a broken answer, for the record only.
void RecordOutcome(const char* mode, const DownloadResult& r, const RecordingCallback& cb) {
    const std::string note = std::string(mode) + ": result " + Hex(r.hr) + ", saved " +
                             (r.fileSaved ? std::to_string(r.saved.size()) + " bytes" : std::string("no file")) +
                             ", last status " + std::to_string(cb.lastStatus.load()) + " (" +
                             std::to_string(cb.lastProgress.load()) + "/" + std::to_string(cb.lastProgressMax.load()) +
                             "), stop binding " + Hex(cb.stopResult.load());
    ::testing::Test::RecordProperty("download_result", note);
    std::printf("[ platform ] %s\n", note.c_str());
}

class HttpTestServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start(0)) << "no free loopback port"; }
    void TearDown() override { server.Stop(); }

    HttpTestServer server;
    RecordingCallback callback;
};

}  // namespace

TEST(HttpTestServerConfig, PortComesFromTheConfiguredEphemerisHost) {
    const std::wstring host = FENNIK_EPHEMERIS_HOST;
    const size_t colon = host.rfind(L':');
    ASSERT_NE(colon, std::wstring::npos) << Narrow(host);
    EXPECT_EQ(EphemerisServerPort(), static_cast<uint16_t>(std::stoi(host.substr(colon + 1)))) << Narrow(host);
}

TEST_F(HttpTestServerTest, ServesTheFileByteIdenticalAndRecordsTheRequest) {
    const std::string body = MakeTestBody(100 * 1024 + 17);
    server.SetResponse(ServerResponse::File(body));
    const DownloadResult r = Download(server.Port(), &callback);
    EXPECT_EQ(r.hr, S_OK) << Hex(r.hr);
    EXPECT_EQ(r.saved.size(), body.size());
    EXPECT_TRUE(r.saved == body) << "saved file differs from the body served";
    EXPECT_EQ(server.RequestCount(), 1);
    EXPECT_EQ(server.LastRequestLine(), "GET /check.asp?f=packedEphemeris.ee HTTP/1.1");
    EXPECT_EQ(server.ResponsesFinished(), 1);
    EXPECT_EQ(server.LastBodyBytesSent(), body.size());
    EXPECT_TRUE(callback.sawEndData.load()) << "last status " << callback.lastStatus.load();
}

TEST_F(HttpTestServerTest, AnswersSeveralRequestsInSequence) {
    for (int i = 1; i <= 3; ++i) {
        const std::string body = MakeTestBody(5000 + i, i);
        server.SetResponse(ServerResponse::File(body));
        const DownloadResult r = Download(server.Port(), &callback);
        EXPECT_EQ(r.hr, S_OK) << "request " << i << ": " << Hex(r.hr);
        EXPECT_TRUE(r.saved == body) << "request " << i << ": saved " << r.saved.size() << " bytes";
        EXPECT_EQ(server.RequestCount(), i);
    }
    EXPECT_EQ(server.RequestLines().size(), 3u);
}

TEST_F(HttpTestServerTest, RestartsOnTheSamePortRightAfterStop) {
    const uint16_t port = server.Port();
    server.SetResponse(ServerResponse::File("first"));
    ASSERT_EQ(Download(port, &callback).saved, "first");
    server.Stop();
    EXPECT_FALSE(server.Running());
    ASSERT_TRUE(server.Start(port)) << "port " << port << " still busy";
    EXPECT_EQ(server.RequestCount(), 1) << "the count runs on across a restart";
    server.SetResponse(ServerResponse::File("second"));
    EXPECT_EQ(Download(port, &callback).saved, "second");
}

TEST_F(HttpTestServerTest, ChunkedAndCloseDelimitedBodiesArriveWhole) {
    const std::string body = MakeTestBody(40000, 7);
    server.SetResponse(ServerResponse::Chunked(body));
    DownloadResult r = Download(server.Port(), &callback);
    EXPECT_EQ(r.hr, S_OK) << Hex(r.hr);
    EXPECT_TRUE(r.saved == body) << "chunked: saved " << r.saved.size() << " of " << body.size();
    EXPECT_EQ(server.ResponsesFinished(), 1);

    server.SetResponse(ServerResponse::CloseDelimited(body));
    r = Download(server.Port(), &callback);
    EXPECT_EQ(r.hr, S_OK) << Hex(r.hr);
    EXPECT_TRUE(r.saved == body) << "close-delimited: saved " << r.saved.size() << " of " << body.size();
    EXPECT_EQ(server.ResponsesFinished(), 2);
    EXPECT_EQ(server.LastBodyBytesSent(), body.size());
}

TEST_F(HttpTestServerTest, ErrorStatusesAreAnsweredWithoutBody) {
    for (int status : {404, 500}) {
        const int before = server.RequestCount();
        server.SetResponse(ServerResponse::Status(status));
        const DownloadResult r = Download(server.Port(), &callback);
        RecordOutcome(status == 404 ? "404" : "500", r, callback);
        EXPECT_EQ(server.RequestCount(), before + 1) << status;
        EXPECT_EQ(server.ResponsesFinished(), before + 1) << status;
        EXPECT_EQ(server.LastBodyBytesSent(), 0u) << status;
        EXPECT_TRUE(r.saved.empty()) << status << ": saved " << r.saved.size() << " bytes";
    }
}

TEST_F(HttpTestServerTest, EmptyOkSendsNoBody) {
    server.SetResponse(ServerResponse::EmptyOk());
    const DownloadResult r = Download(server.Port(), &callback);
    RecordOutcome("empty 200", r, callback);
    EXPECT_EQ(server.RequestCount(), 1);
    EXPECT_EQ(server.ResponsesFinished(), 1);
    EXPECT_EQ(server.LastBodyBytesSent(), 0u);
    EXPECT_TRUE(r.saved.empty()) << "saved " << r.saved.size() << " bytes of nothing";
}

TEST_F(HttpTestServerTest, CutBodiesStopHalfWay) {
    const std::string body = MakeTestBody(64 * 1024, 3);
    server.SetResponse(ServerResponse::CutInHalf(body));
    DownloadResult r = Download(server.Port(), &callback);
    RecordOutcome("Content-Length cut in half", r, callback);
    EXPECT_EQ(server.LastBodyBytesSent(), body.size() / 2);
    EXPECT_LE(r.saved.size(), body.size() / 2);

    server.SetResponse(ServerResponse::ChunkedCutInHalf(body));
    r = Download(server.Port(), &callback);
    RecordOutcome("chunked cut in half", r, callback);
    EXPECT_EQ(server.LastBodyBytesSent(), body.size() / 2);
    EXPECT_LE(r.saved.size(), body.size() / 2);
    EXPECT_EQ(server.RequestCount(), 2);
}

TEST_F(HttpTestServerTest, AStoppedServerRefusesTheConnection) {
    const uint16_t port = server.Port();
    server.Stop();
    const DownloadResult r = Download(port, &callback);
    RecordOutcome("refused", r, callback);
    EXPECT_TRUE(FAILED(r.hr)) << Hex(r.hr);
    EXPECT_EQ(server.RequestCount(), 0);
}

TEST_F(HttpTestServerTest, HeldHeadersGoOutOnRelease) {
    const std::string body = MakeTestBody(20000, 5);
    server.SetResponse(ServerResponse::SlowHeaders(body, 60000));
    BackgroundDownload download(server.Port(), &callback);
    ASSERT_TRUE(PumpUntil([&] { return server.Serving(); }, kWaitMs));
    EXPECT_EQ(server.LastBodyBytesSent(), 0u);
    server.Release();
    ASSERT_TRUE(download.WaitDone(kWaitMs));
    EXPECT_EQ(download.Result().hr, S_OK) << Hex(download.Result().hr);
    EXPECT_TRUE(download.Result().saved == body) << "saved " << download.Result().saved.size();
}

TEST_F(HttpTestServerTest, SlowBodySendsItsFirstPieceThenWaitsForRelease) {
    const std::string body = MakeTestBody(64 * 1024, 9);
    server.SetResponse(ServerResponse::SlowBody(body, 16 * 1024, 60000));
    BackgroundDownload download(server.Port(), &callback);
    ASSERT_TRUE(PumpUntil([&] { return server.LastBodyBytesSent() == 16 * 1024u; }, kWaitMs))
        << "sent " << server.LastBodyBytesSent();
    EXPECT_TRUE(server.Serving());
    ASSERT_TRUE(PumpUntil([&] { return callback.sawBeginData.load(); }, kWaitMs)) << "no begin-of-data report";
    server.Release();
    ASSERT_TRUE(download.WaitDone(kWaitMs));
    EXPECT_TRUE(download.Result().saved == body) << "saved " << download.Result().saved.size();
    EXPECT_EQ(server.LastBodyBytesSent(), body.size());
}

TEST_F(HttpTestServerTest, AbortFromTheCallbackWhileHeadersAreHeld) {
    server.SetResponse(ServerResponse::SlowHeaders(MakeTestBody(20000), 60000));
    BackgroundDownload download(server.Port(), &callback);
    ASSERT_TRUE(PumpUntil([&] { return server.Serving(); }, kWaitMs));
    callback.abort = true;
    server.Release();
    ASSERT_TRUE(download.WaitDone(kWaitMs));
    RecordOutcome("E_ABORT while connecting", download.Result(), callback);
    EXPECT_TRUE(FAILED(download.Result().hr)) << Hex(download.Result().hr);
}

TEST_F(HttpTestServerTest, AbortFromTheCallbackWhileTheBodyIsHeld) {
    const std::string body = MakeTestBody(64 * 1024, 11);
    server.SetResponse(ServerResponse::SlowBody(body, 16 * 1024, 60000));
    BackgroundDownload download(server.Port(), &callback);
    ASSERT_TRUE(PumpUntil([&] { return callback.sawBeginData.load(); }, kWaitMs));
    callback.abort = true;
    server.Release();
    ASSERT_TRUE(download.WaitDone(kWaitMs));
    RecordOutcome("E_ABORT while receiving", download.Result(), callback);
    EXPECT_EQ(server.RequestCount(), 1);
}

TEST_F(HttpTestServerTest, StopEndsAHoldAndADownloadInProgressPromptly) {
    server.SetResponse(ServerResponse::SlowBody(MakeTestBody(64 * 1024), 1024, 600000));
    BackgroundDownload download(server.Port(), &callback);
    ASSERT_TRUE(PumpUntil([&] { return server.LastBodyBytesSent() == 1024u; }, kWaitMs));
    server.Stop();  // would take ten minutes if the hold did not end
    EXPECT_FALSE(server.Running());
    EXPECT_EQ(server.ResponsesAborted(), 1);
    EXPECT_EQ(server.ResponsesFinished(), 0);
    ASSERT_TRUE(download.WaitDone(kWaitMs)) << "the client never saw the connection end";
    RecordOutcome("server stopped mid-body", download.Result(), callback);
}

TEST_F(HttpTestServerTest, StopDoesNotWaitForAClientThatNeverSendsItsRequest) {
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    SOCKET idle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(idle, INVALID_SOCKET);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(server.Port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(idle, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << WSAGetLastError();
    server.Stop();
    EXPECT_FALSE(server.Running());
    EXPECT_EQ(server.RequestCount(), 0);
    closesocket(idle);
    WSACleanup();
}

TEST_F(HttpTestServerTest, TenMegabytesArriveWhole) {
    const std::string body = MakeTestBody(10 * 1024 * 1024, 13);
    server.SetResponse(ServerResponse::File(body));
    const DownloadResult r = Download(server.Port(), &callback);
    EXPECT_EQ(r.hr, S_OK) << Hex(r.hr);
    EXPECT_EQ(r.saved.size(), body.size());
    EXPECT_TRUE(r.saved == body);
    EXPECT_EQ(server.LastBodyBytesSent(), body.size());
}
