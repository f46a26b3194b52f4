// The download's decisions: the next state after a download, what counts as
// a whole body, the percentage, and the progress callback's cancellation.
#include <gtest/gtest.h>

#include <urlmon.h>
#include <wininet.h>

#include "acquisition/dl_callback.h"
#include "acquisition/download_worker.h"
#include "shell/app_state.h"
#include "test_util.h"

namespace {

const Bytes kServedHead = ServedBody(512, 42);

bool Present() { return true; }
bool Absent() { return false; }

TEST(DownloadDecision, NextStateFollowsCancelDeviceFileAndExpiry) {
    const SYSTEMTIME now = At(2007, 11, 6, 9, 30, 20), later = At(2007, 11, 8, 13, 7), earlier = At(2007, 11, 5, 13, 7);
    const struct {
        uint32_t stateNow;
        bool succeeded;
        uint16_t drives;
        bool (*file)();
        SYSTEMTIME expiry, now;
        uint32_t next;
        bool quiet = false;  // the program's own refresh
    } rows[] = {
        {CancelRequested, true, 1, Present, later, now, Idle},
        {CancelRequested, false, 0, Absent, {}, now, Idle},
        {Downloaded, true, 1, Present, later, now, Copying},
        {Downloaded, true, 0, Present, later, now, Downloaded},
        {Connecting, false, 2, Present, later, now, Copying},  // no answer: the unexpired file goes
        {Connecting, false, 1, Present, earlier, now, DownloadFailed},
        {Connecting, false, 1, Present, {}, now, DownloadFailed},
        {Connecting, false, 1, Absent, later, now, DownloadFailed},
        {Connecting, false, 0, Present, later, now, DownloadFailed},
        {Downloading, false, 1, Present, later, now, DownloadFailed},  // data began: no fallback
        {Connecting, false, 1, Present, later, At(2007, 11, 8, 13, 7, 0), Copying},  // whole minutes
        {Connecting, false, 1, Present, later, At(2007, 11, 8, 13, 7, 1), DownloadFailed},
        {Connecting, false, 1, Present, At(2006, 12, 20, 8), At(2007, 3, 1, 7), DownloadFailed},  // last December
        {Downloaded, true, 1, Present, later, now, Copying, true},  // an attached device gets the refresh
        {Connecting, false, 1, Present, later, now, DownloadFailed, true},  // but not the same file again
    };
    for (const auto& r : rows)
        EXPECT_EQ(DecideAfterDownload({r.stateNow, r.quiet, r.succeeded, r.drives, r.file, r.expiry, r.now}), r.next)
            << "quiet " << r.quiet << ", state " << r.stateNow << ", succeeded " << r.succeeded << ", drives " << r.drives << ", expiry "
            << Show(Stamp(r.expiry)) << ", now " << Show(Stamp(r.now)) << ":" << r.now.wSecond;
}

TEST(DownloadDecision, OnlyAWholeNonEmptyBodyThatIsNoPageIsComplete) {
    const struct {
        TransferReport report;
        ULONGLONG fileSize;
        bool complete;
    } rows[] = {
        {{true, 65536, 65536, 200}, 65536, true},  {{true, 5000, 0, 200}, 5000, true},     // length not announced
        {{false, 65536, 65536, 200}, 65536, false}, {{true, 32768, 65536, 200}, 32768, false},  // no end, cut short
        {{true, 65536, 65536, 200}, 32768, false}, {{true, 0, 0, 200}, 0, false}, {{true, 9, 9, 200}, 10, false},
        {{true, 9, 9, 404}, 9, false}, {{true, 9, 9, 0}, 9, false},  // not 200, no answer; decoded: end of data
        {{true, 90, 60, 200, true}, 200, true}, {{false, 90, 60, 200, true}, 200, false},
        {{true, 0, 0, 200}, 16 << 20, true}, {{true, 0, 0, 200}, (16 << 20) + 1, false},  // the size bound
    };
    for (const auto& r : rows)
        EXPECT_EQ(TransferComplete(r.report, r.fileSize), r.complete)
            << "end " << r.report.endOfData << ", received " << r.report.bytesReceived << " of "
            << r.report.bytesAnnounced << ", file " << r.fileSize << ", status " << r.report.httpStatus;
    // What a portal, a proxy or a broken server sends instead of the file; the file itself is binary at once.
    const std::string served(kServedHead.begin(), kServedHead.end()), zeros(512, '\0');
    const struct { std::string_view head; bool text; } heads[] = {
        {"<!DOCTYPE html>", true}, {"<script>location='/login'</script>", true}, {"<body onload=go()>", true},
        {"<!-- portal -->\r\n<html>", true}, {"<meta http-equiv=refresh content='0;url=/'>", true},
        {"{\"error\":\"quota\"}", true}, {"Error: no such file\r\n", true}, {"Zugriff verweigert: M\xFCnchen", true},
        {"\xEF\xBB\xBF<html>", true}, {std::string_view("\xFF\xFE<\0h\0t\0m\0l\0>\0", 14), true},
        {std::string_view("<\0b\0o\0d\0y\0>\0", 12), true}, {std::string_view("\0<\0b\0o\0d\0y\0>", 12), true},
        {"", false}, {served, false}, {std::string_view("GPS\x01\0<html>", 10), false}, {"\x1B[31mError", false},
        // Markup is a page whatever follows; a mark is text only when what follows decodes; any script, UTF-32.
        {std::string_view(" \r\n<HTML><p>\0\f\x1B", 16), true}, {std::string_view("\t<?xml x='1'?>\x01", 15), true},
        {std::string_view("<ScRiPt>\0", 9), true}, {std::string_view("\xEF\xBB\xBF <body>\0", 12), true},
        {"<title>\x1B</title>", false}, {"\xEF\xBB\xBF\x80\x01\x9A", false}, {"\xEF\xBB\xBF\xD0\x9F\xD1\x80\xD0", true},
        {std::string_view("\xFF\xFE\0\xD8" "A\0", 6), false},  // a surrogate without its pair
        {std::string_view("\xFF\xFE\x1F\x04\x40\x04\0\0", 8), false}, {std::string_view("\xFE\xFF\0\x01\0\x02", 6), false},
        {std::string_view("\x1F\x04\x40\x04\x38\x04\x32\x04\x35\x04\x42\x04", 12), true},  // Привет
        {std::string_view("\x4E\x01\x4E\x03\x4E\x07\x4E\x01", 8), true},  // 丁七万丁, big-endian
        {std::string_view("E\0\0\0r\0\0\0r\0\0\0", 12), true}, {std::string_view("\0\0\xFE\xFF\0\0\0E", 8), true},
        {zeros, false}, {std::string_view("\1\0\0\0\2\0\0\0\3\0\0\0\4\0", 14), false},
        {std::string_view("\xFF\xFE\x12\0\0\0\x80\x25\x01\0\x7F\0\0\0\x10\0", 16), false},  // a binary head with FF FE
    };
    std::string random(512, ' ');
    for (unsigned i = 0, x = 12345; i < random.size(); ++i) random[i] = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
    EXPECT_FALSE(LooksLikeText(std::span(reinterpret_cast<const unsigned char*>(random.data()), random.size())));
    for (const auto& r : heads)
        EXPECT_EQ(LooksLikeText(std::span(reinterpret_cast<const unsigned char*>(r.head.data()), r.head.size())), r.text)
            << Show(std::wstring(r.head.begin(), r.head.end()));
}

TEST(DownloadProgress, PercentageIsTruncatedAndBounded) {
    const struct {
        ULONG received, announced;
        int percent;
    } rows[] = {
        {29, 100, 28},  {57, 100, 56},   {58, 100, 57},         {100, 100, 100}, {0, 100, 0},
        {150, 100, 100}, {5, 0, 0},      {0xFFFFFFFF, 0xFFFFFFFF, 100}, {0xFFFFFFFF, 1, 100},
        {1, 0xFFFFFFFF, 0}, {0x7FFFFFFF, 0xFFFFFFFE, 50},
    };
    for (const auto& r : rows)
        EXPECT_EQ(DownloadPercentage(r.received, r.announced), r.percent) << r.received << " of " << r.announced;
}

TEST(DownloadProgress, CallbackAnswersItsInterfacesMovesTheStateAndCarriesOutACancel) {
    app.mainDialog.store(nullptr);
    app.animationTimerActive.store(1);  // no timer request without a dialog
    downloadCallback.ResetReport();
    const struct {
        uint32_t before;
        ULONG status, received, announced;
        HRESULT result;
        uint32_t after;
    } steps[] = {
        {Connecting, BINDSTATUS_CONNECTING, 0, 0, S_OK, Connecting},
        {Connecting, BINDSTATUS_BEGINDOWNLOADDATA, 8192, 0, S_OK, Downloading},
        {Downloading, BINDSTATUS_DOWNLOADINGDATA, 42, 100, S_OK, Downloading},
        {Downloading, BINDSTATUS_ENDDOWNLOADDATA, 100, 100, S_OK, Downloaded},
        {CancelRequested, BINDSTATUS_CONNECTING, 0, 0, E_ABORT, CancelRequested},
        {CancelRequested, BINDSTATUS_BEGINDOWNLOADDATA, 1, 2, E_ABORT, CancelRequested},
        {CancelRequested, BINDSTATUS_DOWNLOADINGDATA, 1, 2, E_ABORT, CancelRequested},
        {CancelRequested, BINDSTATUS_ENDDOWNLOADDATA, 2, 2, E_ABORT, CancelRequested},
        {Connecting, BINDSTATUS_BEGINDOWNLOADDATA, 8192, (16 << 20) + 1, E_ABORT, Downloading},  // too large: refused
        {Downloading, BINDSTATUS_DOWNLOADINGDATA, 1, 2, E_ABORT, Downloading},  // and refused from then on
    };
    for (const auto& s : steps) {
        app.updateState.store(s.before);
        EXPECT_EQ(downloadCallback.OnProgress(s.received, s.announced, s.status, L""), s.result) << "status " << s.status;
        EXPECT_EQ(app.updateState.load(), s.after) << "status " << s.status << " in state " << s.before;
        if (s.status == BINDSTATUS_DOWNLOADINGDATA && s.result == S_OK) {
            EXPECT_EQ(app.downloadPercent.load(), 42);
        }
    }
    void* const status = static_cast<IBindStatusCallback*>(&downloadCallback);
    const struct { const IID* iid; HRESULT result; void* object; } asks[] = {
        {&IID_IUnknown, S_OK, status}, {&IID_IBindStatusCallback, S_OK, status},
        {&IID_IHttpNegotiate, S_OK, static_cast<IHttpNegotiate*>(&downloadCallback)}, {&IID_IStream, E_NOINTERFACE, nullptr}};
    for (const auto& a : asks) {
        void* object = &object;  // whatever the caller left there
        EXPECT_EQ(downloadCallback.QueryInterface(*a.iid, &object), a.result) << std::hex << a.iid->Data1;
        EXPECT_EQ(object, a.object) << std::hex << a.iid->Data1;
    }
    LPWSTR added = nullptr;
    EXPECT_EQ(downloadCallback.BeginningTransaction(L"http://x/", L"", 0, &added), S_OK);
    EXPECT_EQ(std::wstring(added ? added : L""), L"Cache-Control: no-cache\r\nPragma: no-cache\r\n");
    CoTaskMemFree(added);
    // Header names as servers write them. Wine decodes a gzip answer and hides its Content-Encoding from the roads.
    const struct { DWORD code; const wchar_t* headers; bool encoded; ULONGLONG length; HRESULT result; } answers[] = {
        {404, L"HTTP/1.1 404 Not Found\r\nCONTENT-ENCODING:  gzip\r\nContent-Length: 90\r\n\r\n", true, 90, S_OK},
        {200, L"HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\nX-Content-Encoding: gzip\r\n\r\n", false, 0, S_OK},
        {200, L"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\ncontent-length: 16777216\r\n\r\n", true, 16 << 20, S_OK},
        {200, L"HTTP/1.1 200 OK\r\nContent-Length: 17179869184\r\n\r\n", false, 16ull << 30, E_ABORT},
        {200, L"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n", false, ~0ull, E_ABORT}};
    for (const auto& a : answers) {
        downloadCallback.ResetReport();
        const auto& got = downloadCallback.Report();
        EXPECT_EQ(downloadCallback.OnResponse(a.code, a.headers, nullptr, &added), a.result) << Show(a.headers);
        EXPECT_TRUE(got.httpStatus == a.code && got.encoded == a.encoded && got.lengthAnnounced == a.length)
            << Show(a.headers) << ": " << got.httpStatus << ", encoded " << got.encoded << ", length " << got.lengthAnnounced;
    }
    downloadCallback.ResetReport();
    app.updateState.store(Idle);
    app.animationTimerActive.store(0);
}

// A binding that counts what is done to it, and names the library's file as `name` holds it (none when empty).
struct CountingBinding : IBinding, IWinInetInfo {
    ULONG refs = 1, aborts = 0;
    HRESULT abortResult = S_OK;
    std::string name;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (iid != IID_IWinInetInfo || name.empty()) return *out = nullptr, E_NOINTERFACE;
        return *out = static_cast<IWinInetInfo*>(this), ++refs, S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryOption(DWORD option, void* buffer, DWORD* bytes) override {
        if (option != INTERNET_OPTION_DATAFILE_NAME || *bytes < name.size()) return E_FAIL;
        return CopyMemory(buffer, name.data(), name.size()), *bytes = static_cast<DWORD>(name.size()), S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    HRESULT STDMETHODCALLTYPE Abort() override { return ++aborts, abortResult; }
    HRESULT STDMETHODCALLTYPE Suspend() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Resume() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPriority(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBindResult(CLSID*, DWORD*, LPOLESTR*, DWORD*) override { return E_NOTIMPL; }
};

// The binding is aborted only between OnStartBinding and OnStopBinding, a refused abort can be tried again, and
// the one reference the callback takes is dropped by the download thread alone, after the transfer. Until the
// library names its file, the binding tells it, in either character set.
TEST(DownloadProgress, BindingIsAbortedOnlyWhileItRunsAndReleasedOnce) {
    CountingBinding binding;
    downloadCallback.ResetReport();
    EXPECT_EQ(downloadCallback.AbortBinding(), E_PENDING);
    EXPECT_EQ(downloadCallback.OnStartBinding(0, &binding), S_OK);
    binding.abortResult = E_FAIL;
    EXPECT_EQ(downloadCallback.AbortBinding(), E_FAIL);
    binding.abortResult = S_OK;
    EXPECT_EQ(downloadCallback.AbortBinding(), S_OK);
    const struct { std::string name; ULONG status; const wchar_t* file; } names[] = {
        {"", 0, L"none"}, {std::string("C\0:\0\\\0w\0", 8), 0, L"C:\\w"}, {"C:\\a", 0, L"C:\\a"},
        {"C:\\a", BINDSTATUS_CACHEFILENAMEAVAILABLE, L"C:\\named"}};
    for (const auto& n : names) {
        wchar_t path[MAX_PATH] = L"none";
        binding.name = n.name;
        downloadCallback.OnProgress(0, 0, n.status, L"C:\\named");
        EXPECT_EQ(std::wstring(downloadCallback.CacheFile(path) ? path : L"none"), n.file) << Show(std::wstring(n.name.begin(), n.name.end()));
    }
    EXPECT_EQ(downloadCallback.OnStopBinding(S_OK, nullptr), S_OK);
    EXPECT_EQ(downloadCallback.AbortBinding(), E_PENDING);
    EXPECT_TRUE(binding.aborts == 2 && binding.refs == 2) << binding.aborts << " aborts, " << binding.refs << " references";
    downloadCallback.ReleaseBinding();
    downloadCallback.ReleaseBinding();
    EXPECT_EQ(binding.refs, 1u);
}

}  // namespace
