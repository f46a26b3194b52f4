#pragma once
// A small HTTP server inside the test process, on 127.0.0.1, standing in for
// the ephemeris server. It answers every request with the response set last,
// one request per connection, on a thread of its own. Every delay is bounded
// and ends early on Stop() or Release(), so a test never waits on it for long
// and never leaves its thread or a socket behind.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How the server answers. Build one with the helpers below.
struct ServerResponse {
    enum class Framing {
        ContentLength,   // "Content-Length: N", the body, then the close
        Chunked,         // "Transfer-Encoding: chunked", ended by the last chunk
        CloseDelimited,  // no length at all: the close ends the body
    };

    int status = 200;
    std::string body;
    Framing framing = Framing::ContentLength;
    // Body bytes sent before the connection is dropped; the rest is withheld
    // (and for chunked framing the last chunk too). SIZE_MAX sends everything.
    size_t cutAfter = SIZE_MAX;
    // Hold before the status line, and between body pieces: each ends at its
    // time, on Release() or on Stop().
    DWORD headerDelayMs = 0;
    DWORD pieceDelayMs = 0;
    size_t pieceBytes = 16 * 1024;

    static ServerResponse File(std::string body);
    static ServerResponse Chunked(std::string body);
    static ServerResponse CloseDelimited(std::string body);
    // 404, 500 with an empty body (the download routine hands its caller no
    // status code, so the empty body is what marks the answer as useless).
    static ServerResponse Status(int status);
    static ServerResponse EmptyOk();
    // "Content-Length: N" announced, N/2 sent, then closed.
    static ServerResponse CutInHalf(std::string body);
    // Chunked, dropped after half of the body, without the last chunk.
    static ServerResponse ChunkedCutInHalf(std::string body);
    // Headers held back for up to `holdMs` (or until Release()).
    static ServerResponse SlowHeaders(std::string body, DWORD holdMs);
    // The first `firstBytes` at once, then the rest held back for up to
    // `holdMs` (or until Release()).
    static ServerResponse SlowBody(std::string body, size_t firstBytes, DWORD holdMs);
};

// Deterministic test data of a given size (not all one byte value).
std::string MakeTestBody(size_t size, unsigned seed = 1);

// The port of FENNIK_EPHEMERIS_HOST ("host:port"), 80 when it names none.
uint16_t EphemerisServerPort();

class HttpTestServer {
public:
    HttpTestServer() = default;
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    // Listens on 127.0.0.1:port (0 picks a free port) and starts serving.
    // Retries a busy port for up to `bindTimeoutMs`. False when it cannot.
    bool Start(uint16_t port, DWORD bindTimeoutMs = 5000);
    // Ends every hold, drops a connection in progress, joins the thread and
    // closes every socket. Safe to call twice.
    void Stop();
    bool Running() const { return thread_.joinable(); }
    uint16_t Port() const { return port_; }

    // The response for the next requests. Also re-arms the holds.
    void SetResponse(const ServerResponse& response);
    // Ends the current hold and every later one of this response.
    void Release();

    int RequestCount() const { return requestCount_.load(); }
    // Responses that were sent to the end (whole or as cut on purpose).
    int ResponsesFinished() const { return responsesFinished_.load(); }
    // Connections dropped by the client or by Stop() before the end.
    int ResponsesAborted() const { return responsesAborted_.load(); }
    // Body bytes of the latest response that went out.
    size_t LastBodyBytesSent() const { return lastBodyBytesSent_.load(); }
    // True while a response is being sent (after its request arrived).
    bool Serving() const { return serving_.load(); }
    // The most client connections open at once. The server answers one at a
    // time, so a second one shows as a connection waiting to be taken up
    // while the client of the response under way is still connected: then 2.
    int MaxConnectionsAtOnce() const { return maxConnectionsAtOnce_.load(); }
    // Request lines ("GET /path?query HTTP/1.1"), in arrival order.
    std::vector<std::string> RequestLines() const;
    std::string LastRequestLine() const;

private:
    void Serve();
    void HandleConnection(SOCKET client);
    bool ReadRequest(SOCKET client, std::string& requestLine);
    bool SendAll(SOCKET client, const char* data, size_t size);
    // Waits up to `ms`; false when Stop() came meanwhile.
    bool Hold(DWORD ms);
    bool StopRequested() const;
    // Raises MaxConnectionsAtOnce() to 2 when another client waits while
    // `client` is still connected.
    void NoteWaitingConnection(SOCKET client);

    SOCKET listener_ = INVALID_SOCKET;
    uint16_t port_ = 0;
    std::thread thread_;
    HANDLE stopEvent_ = nullptr;     // manual reset: set by Stop()
    HANDLE releaseEvent_ = nullptr;  // manual reset: set by Release(), reset by SetResponse()
    bool wsaStarted_ = false;

    mutable std::mutex lock_;
    ServerResponse response_;
    std::vector<std::string> requestLines_;

    std::atomic<int> requestCount_{0};
    std::atomic<int> responsesFinished_{0};
    std::atomic<int> responsesAborted_{0};
    std::atomic<size_t> lastBodyBytesSent_{0};
    std::atomic<bool> serving_{false};
    std::atomic<int> maxConnectionsAtOnce_{0};
    SOCKET current_ = INVALID_SOCKET;  // the connection being answered (server thread only)
};
