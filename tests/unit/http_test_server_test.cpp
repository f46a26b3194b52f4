// The local ephemeris server of the end-to-end tests, fetched with the platform
// download routine the program uses. The assertions are about what the server
// did; what the routine makes of a broken answer differs between Wine and Windows.
#include <gtest/gtest.h>

#include <urlmon.h>
#include <wininet.h>

#include "http_test_server.h"
#include "win_test_util.h"

#include <atomic>
#include <thread>
#include <utility>

namespace {

constexpr DWORD kWaitMs = 10000;

// The bytes saved; `hr` takes the routine's result when given.
std::string Download(uint16_t port, HRESULT* hr = nullptr) {
    const std::wstring url = L"http://127.0.0.1:" + std::to_wstring(port) + L"/check.asp?f=packedEphemeris.ee";
    const std::wstring target = ExeDirectory() + L"http_test_server_download.bin";
    RemoveFile(target);
    DeleteUrlCacheEntryW(url.c_str());
    const HRESULT result = URLDownloadToFileW(nullptr, url.c_str(), target.c_str(), 0, nullptr);
    if (hr) *hr = result;
    const std::vector<unsigned char> bytes = ReadFileBytes(target);
    RemoveFile(target);
    return std::string(bytes.begin(), bytes.end());
}

// The download on a thread of its own, for the cases where the test must act
// on the server while the transfer runs.
class BackgroundDownload {
public:
    explicit BackgroundDownload(uint16_t port) : thread_([this, port] { saved = Download(port); done = true; }) {}
    ~BackgroundDownload() { thread_.join(); }
    bool WaitDone() { return PumpUntil([this] { return done.load(); }, kWaitMs); }
    std::string saved;
    std::atomic<bool> done{false};

private:
    std::thread thread_;
};

class HttpTestServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start(0)) << "no free loopback port"; }
    HttpTestServer server;  // stopped by its destructor
};

}  // namespace

TEST(HttpTestServerConfig, PortComesFromTheConfiguredEphemerisHost) {
    const std::wstring host = FENNIK_EPHEMERIS_HOST;
    const size_t colon = host.rfind(L':');
    ASSERT_NE(colon, std::wstring::npos) << Narrow(host);
    EXPECT_EQ(EphemerisServerPort(), static_cast<uint16_t>(std::stoi(host.substr(colon + 1)))) << Narrow(host);
}

TEST_F(HttpTestServerTest, EachModeSendsWhatItClaims) {
    const std::string body = MakeTestBody(100 * 1024 + 17, 7);
    const struct {
        const char* name;
        ServerResponse response;
        size_t bodySent;
        bool whole;  // the download must save the body byte for byte
    } modes[] = {
        {"file", ServerResponse::File(body), body.size(), true},
        {"chunked", ServerResponse::Chunked(body), body.size(), true},
        {"close-delimited", ServerResponse::CloseDelimited(body), body.size(), true},
        {"404", ServerResponse::Status(404), 0, false},
        {"500", ServerResponse::Status(500), 0, false},
        {"empty 200", ServerResponse::EmptyOk(), 0, false},
        {"cut in half", ServerResponse::CutInHalf(body), body.size() / 2, false},
        {"chunked cut in half", ServerResponse::ChunkedCutInHalf(body), body.size() / 2, false},
    };
    int requests = 0;
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.name);
        server.SetResponse(mode.response);
        HRESULT hr = E_FAIL;
        const std::string saved = Download(server.Port(), &hr);
        ++requests;
        EXPECT_EQ(server.RequestCount(), requests);
        EXPECT_EQ(server.ResponsesFinished(), requests);
        EXPECT_EQ(server.LastRequestLine(), "GET /check.asp?f=packedEphemeris.ee HTTP/1.1");
        EXPECT_EQ(server.LastBodyBytesSent(), mode.bodySent);
        if (mode.whole) {
            EXPECT_EQ(hr, S_OK) << std::hex << hr;
            EXPECT_TRUE(saved == body) << "saved " << saved.size() << " of " << body.size() << " bytes";
        } else {
            EXPECT_LE(saved.size(), mode.bodySent) << "saved more than was sent";
        }
    }
}

TEST_F(HttpTestServerTest, AStoppedServerRefusesAndRestartsOnTheSamePort) {
    const uint16_t port = server.Port();
    server.SetResponse(ServerResponse::File("first"));
    ASSERT_EQ(Download(port), "first");
    server.Stop();
    EXPECT_FALSE(server.Running());
    HRESULT refused = S_OK;
    Download(port, &refused);
    EXPECT_TRUE(FAILED(refused)) << std::hex << refused;
    EXPECT_EQ(server.RequestCount(), 1);
    ASSERT_TRUE(server.Start(port)) << "port " << port << " still busy";
    EXPECT_EQ(server.RequestCount(), 1) << "the count runs on across a restart";
    server.SetResponse(ServerResponse::File("second"));
    EXPECT_EQ(Download(port), "second");
}

TEST_F(HttpTestServerTest, HeldHeadersAndBodyGoOutOnRelease) {
    const std::string body = MakeTestBody(64 * 1024, 9);
    for (auto [response, held] : {std::pair{ServerResponse::SlowHeaders(body, 60000), size_t{0}},
                                  std::pair{ServerResponse::SlowBody(body, 16 * 1024, 60000), size_t{16 * 1024}}}) {
        SCOPED_TRACE(held ? "body held" : "headers held");
        server.SetResponse(response);
        BackgroundDownload download(server.Port());
        ASSERT_TRUE(PumpUntil([&] { return server.Serving() && server.LastBodyBytesSent() == held; }, kWaitMs))
            << "sent " << server.LastBodyBytesSent();
        server.Release();
        ASSERT_TRUE(download.WaitDone());
        EXPECT_TRUE(download.saved == body) << "saved " << download.saved.size();
        EXPECT_EQ(server.LastBodyBytesSent(), body.size());
    }
}

TEST_F(HttpTestServerTest, StopEndsAHoldAndADownloadInProgressPromptly) {
    server.SetResponse(ServerResponse::SlowBody(MakeTestBody(64 * 1024), 1024, 600000));
    BackgroundDownload download(server.Port());
    ASSERT_TRUE(PumpUntil([&] { return server.LastBodyBytesSent() == 1024u; }, kWaitMs));
    server.Stop();  // would take ten minutes if the hold did not end
    EXPECT_FALSE(server.Running());
    EXPECT_EQ(server.ResponsesAborted(), 1);
    EXPECT_EQ(server.ResponsesFinished(), 0);
    EXPECT_TRUE(download.WaitDone()) << "the client never saw the connection end";
}

TEST_F(HttpTestServerTest, StopDoesNotWaitForAClientThatNeverSendsItsRequest) {
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    SOCKET idle = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{AF_INET, htons(server.Port()), {}, {}};
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(idle, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << WSAGetLastError();
    server.Stop();
    EXPECT_FALSE(server.Running());
    EXPECT_EQ(server.RequestCount(), 0);
    closesocket(idle);
    WSACleanup();
}
