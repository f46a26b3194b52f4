#include "http_test_server.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace {

constexpr DWORD kSliceMs = 20;            // how often blocking steps look at Stop()
constexpr DWORD kRequestTimeoutMs = 5000;  // a client that never finishes its request
constexpr DWORD kSendStallTimeoutMs = 10000;  // a client that stops reading
constexpr size_t kMaxRequestBytes = 16 * 1024;

const char* ReasonPhrase(int status) {
    switch (status) {
    case 200: return "OK";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

// Waits until the socket is readable (or writable); false on timeout.
bool WaitSocket(SOCKET s, bool forWrite, DWORD ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
    const int n = forWrite ? select(0, nullptr, &set, nullptr, &tv) : select(0, &set, nullptr, nullptr, &tv);
    return n > 0;
}

}  // namespace

ServerResponse ServerResponse::File(std::string body) {
    ServerResponse r;
    r.body = std::move(body);
    return r;
}

ServerResponse ServerResponse::Chunked(std::string body) {
    ServerResponse r = File(std::move(body));
    r.framing = Framing::Chunked;
    return r;
}

ServerResponse ServerResponse::CloseDelimited(std::string body) {
    ServerResponse r = File(std::move(body));
    r.framing = Framing::CloseDelimited;
    return r;
}

ServerResponse ServerResponse::Status(int status) {
    ServerResponse r;
    r.status = status;
    return r;
}

ServerResponse ServerResponse::EmptyOk() {
    return ServerResponse{};
}

ServerResponse ServerResponse::CutInHalf(std::string body) {
    ServerResponse r = File(std::move(body));
    r.cutAfter = r.body.size() / 2;
    return r;
}

ServerResponse ServerResponse::ChunkedCutInHalf(std::string body) {
    ServerResponse r = Chunked(std::move(body));
    r.cutAfter = r.body.size() / 2;
    return r;
}

ServerResponse ServerResponse::SlowHeaders(std::string body, DWORD holdMs) {
    ServerResponse r = File(std::move(body));
    r.headerDelayMs = holdMs;
    return r;
}

ServerResponse ServerResponse::SlowBody(std::string body, size_t firstBytes, DWORD holdMs) {
    ServerResponse r = File(std::move(body));
    r.pieceBytes = std::max<size_t>(firstBytes, 1);
    r.pieceDelayMs = holdMs;
    return r;
}

std::string MakeTestBody(size_t size, unsigned seed) {
    std::string body(size, '\0');
    unsigned x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        body[i] = static_cast<char>((x >> 16) & 0xFF);
    }
    return body;
}

uint16_t EphemerisServerPort() {
    const wchar_t* host = FENNIK_EPHEMERIS_HOST;
    const wchar_t* colon = wcsrchr(host, L':');
    if (!colon) return 80;
    const long port = wcstol(colon + 1, nullptr, 10);
    return port > 0 && port < 65536 ? static_cast<uint16_t>(port) : 80;
}

HttpTestServer::~HttpTestServer() {
    Stop();
}

bool HttpTestServer::Start(uint16_t port, DWORD bindTimeoutMs) {
    if (Running()) return false;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
    wsaStarted_ = true;

    const ULONGLONG deadline = GetTickCount64() + bindTimeoutMs;
    for (;;) {
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (listener_ == INVALID_SOCKET) break;
        // The previous server on this port closed its connections first and
        // left them in TIME_WAIT; that must not keep the next one from binding.
        BOOL reuse = TRUE;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(listener_, 8) == 0) break;
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
        if (GetTickCount64() >= deadline) break;
        Sleep(100);  // the port is busy: another server is just ending
    }
    if (listener_ == INVALID_SOCKET) {
        WSACleanup();
        wsaStarted_ = false;
        return false;
    }
    sockaddr_in bound{};
    int len = sizeof bound;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = ntohs(bound.sin_port);

    stopEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    releaseEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void HttpTestServer::Stop() {
    if (thread_.joinable()) {
        SetEvent(stopEvent_);
        thread_.join();
    }
    if (listener_ != INVALID_SOCKET) {
        closesocket(listener_);
        listener_ = INVALID_SOCKET;
    }
    if (stopEvent_) {
        CloseHandle(stopEvent_);
        stopEvent_ = nullptr;
    }
    if (releaseEvent_) {
        CloseHandle(releaseEvent_);
        releaseEvent_ = nullptr;
    }
    if (wsaStarted_) {
        WSACleanup();
        wsaStarted_ = false;
    }
}

void HttpTestServer::SetResponse(const ServerResponse& response) {
    std::lock_guard<std::mutex> hold(lock_);
    response_ = response;
    if (releaseEvent_) ResetEvent(releaseEvent_);
}

void HttpTestServer::Release() {
    if (releaseEvent_) SetEvent(releaseEvent_);
}

std::vector<std::string> HttpTestServer::RequestLines() const {
    std::lock_guard<std::mutex> hold(lock_);
    return requestLines_;
}

std::string HttpTestServer::LastRequestLine() const {
    std::lock_guard<std::mutex> hold(lock_);
    return requestLines_.empty() ? std::string() : requestLines_.back();
}

bool HttpTestServer::StopRequested() const {
    return WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0;
}

bool HttpTestServer::Hold(DWORD ms) {
    if (ms == 0) return !StopRequested();
    HANDLE events[2] = {stopEvent_, releaseEvent_};
    // In slices, so that a client connecting meanwhile is noticed.
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        if (current_ != INVALID_SOCKET) NoteWaitingConnection(current_);
        const ULONGLONG now = GetTickCount64();
        if (now >= end) return !StopRequested();
        const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(kSliceMs, end - now));
        const DWORD r = WaitForMultipleObjects(2, events, FALSE, slice);
        if (r == WAIT_OBJECT_0) return false;
        if (r == WAIT_OBJECT_0 + 1) return true;
    }
}

void HttpTestServer::NoteWaitingConnection(SOCKET client) {
    if (!WaitSocket(listener_, false, 0)) return;
    // The waiting client counts only while the one being answered is still
    // there: a client that gave up (closed or reset) is no longer in flight.
    if (WaitSocket(client, false, 0)) {
        char probe;
        const int got = recv(client, &probe, 1, MSG_PEEK);
        if (got == 0) return;
        if (got == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) return;
    }
    int seen = maxConnectionsAtOnce_.load();
    while (seen < 2 && !maxConnectionsAtOnce_.compare_exchange_weak(seen, 2)) {
    }
}

void HttpTestServer::Serve() {
    while (!StopRequested()) {
        if (!WaitSocket(listener_, false, kSliceMs)) continue;
        SOCKET client = accept(listener_, nullptr, nullptr);
        if (client == INVALID_SOCKET) continue;
        int seen = maxConnectionsAtOnce_.load();
        while (seen < 1 && !maxConnectionsAtOnce_.compare_exchange_weak(seen, 1)) {
        }
        current_ = client;
        HandleConnection(client);
        current_ = INVALID_SOCKET;
        closesocket(client);
    }
}

bool HttpTestServer::ReadRequest(SOCKET client, std::string& requestLine) {
    std::string request;
    const ULONGLONG deadline = GetTickCount64() + kRequestTimeoutMs;
    char chunk[2048];
    while (request.find("\r\n\r\n") == std::string::npos) {
        if (StopRequested() || GetTickCount64() >= deadline || request.size() > kMaxRequestBytes) return false;
        if (!WaitSocket(client, false, kSliceMs)) continue;
        const int got = recv(client, chunk, sizeof chunk, 0);
        if (got <= 0) return false;
        request.append(chunk, static_cast<size_t>(got));
    }
    requestLine = request.substr(0, request.find("\r\n"));
    return true;
}

bool HttpTestServer::SendAll(SOCKET client, const char* data, size_t size) {
    ULONGLONG stallDeadline = GetTickCount64() + kSendStallTimeoutMs;
    while (size > 0) {
        if (StopRequested() || GetTickCount64() >= stallDeadline) return false;
        NoteWaitingConnection(client);
        if (!WaitSocket(client, true, kSliceMs)) continue;
        const int sent = send(client, data, static_cast<int>(std::min<size_t>(size, 64 * 1024)), 0);
        if (sent == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) continue;
            return false;
        }
        data += sent;
        size -= static_cast<size_t>(sent);
        stallDeadline = GetTickCount64() + kSendStallTimeoutMs;
    }
    return true;
}

void HttpTestServer::HandleConnection(SOCKET client) {
    // Non-blocking, so that a client that stops reading cannot hold up Stop().
    u_long nonBlocking = 1;
    ioctlsocket(client, FIONBIO, &nonBlocking);

    std::string requestLine;
    if (!ReadRequest(client, requestLine)) return;

    ServerResponse r;
    {
        std::lock_guard<std::mutex> hold(lock_);
        requestLines_.push_back(requestLine);
        r = response_;
    }
    ++requestCount_;
    lastBodyBytesSent_ = 0;
    serving_ = true;

    bool ok = Hold(r.headerDelayMs);
    const size_t toSend = std::min(r.cutAfter, r.body.size());
    if (ok) {
        char head[512];
        const char* framing = "";
        char lengthLine[64] = "";
        switch (r.framing) {
        case ServerResponse::Framing::ContentLength:
            snprintf(lengthLine, sizeof lengthLine, "Content-Length: %zu\r\n", r.body.size());
            break;
        case ServerResponse::Framing::Chunked:
            framing = "Transfer-Encoding: chunked\r\n";
            break;
        case ServerResponse::Framing::CloseDelimited:
            break;
        }
        const int n = snprintf(head, sizeof head,
                               "HTTP/1.1 %d %s\r\nContent-Type: application/octet-stream\r\n%s%sConnection: close\r\n\r\n",
                               r.status, ReasonPhrase(r.status), lengthLine, framing);
        ok = SendAll(client, head, static_cast<size_t>(n));
    }
    size_t sent = 0;
    while (ok && sent < toSend) {
        const size_t piece = std::min(r.pieceBytes, toSend - sent);
        if (r.framing == ServerResponse::Framing::Chunked) {
            char size[32];
            const int n = snprintf(size, sizeof size, "%zx\r\n", piece);
            ok = SendAll(client, size, static_cast<size_t>(n)) && SendAll(client, r.body.data() + sent, piece) &&
                 SendAll(client, "\r\n", 2);
        } else {
            ok = SendAll(client, r.body.data() + sent, piece);
        }
        if (!ok) break;
        sent += piece;
        lastBodyBytesSent_ = sent;
        if (sent < toSend) ok = Hold(r.pieceDelayMs);
    }
    if (ok && r.framing == ServerResponse::Framing::Chunked && toSend == r.body.size()) ok = SendAll(client, "0\r\n\r\n", 5);

    if (ok) {
        // Orderly end: the client sees the close after the last byte.
        shutdown(client, SD_SEND);
        ++responsesFinished_;
    } else {
        ++responsesAborted_;
    }
    serving_ = false;
}
