#pragma once
// The download's bind-status callback: moves the workflow to Downloading and
// Downloaded, drives the progress bar and the status animation, asks every
// cache on the way for the newest file, and keeps the binding so that a
// transfer can be aborted from another thread even while the server is silent.
#include <windows.h>
#include <urlmon.h>

#include <atomic>
#include <cstdint>
#include <string_view>

#include "base/scoped_win.h"
#include "base/srw_lock.h"

// Far above any real ephemeris file (tens of KiB): a larger answer is refused
// as soon as its length is announced or its bytes have come.
inline constexpr ULONGLONG kMaxEphemerisBytes = 16ull << 20;

// What the transfer reported, so that an error answer or a body that is empty
// or shorter than announced is not taken for a download (the transfer's own
// result may still be success then).
struct TransferReport {
    bool endOfData = false;     // BINDSTATUS_ENDDOWNLOADDATA arrived
    ULONG bytesReceived = 0;    // ulProgress of the last data notification
    ULONG bytesAnnounced = 0;   // ulProgressMax of it, 0 when unknown
    DWORD httpStatus = 0;       // of the last (after redirects, the final) response; 0 when none came
    bool encoded = false;       // it carried a Content-Encoding: the body was decoded, the length is not its own
    ULONGLONG lengthAnnounced = 0;  // its Content-Length, 0 when none
};

// Also the download's HTTP negotiation: it asks caches for a fresh answer and
// learns the answer's status, encoding and length.
class DlCallback : public IBindStatusCallback, public IHttpNegotiate {
public:
    // IUnknown: one static instance, no reference counting. Answers for
    // IUnknown, IBindStatusCallback and IHttpNegotiate.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IBindStatusCallback: only the progress notification does work.
    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD reserved, IBinding* binding) override;
    HRESULT STDMETHODCALLTYPE GetPriority(LONG* priority) override;
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD reserved) override;
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode,
                                         LPCWSTR szStatusText) override;
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT result, LPCWSTR error) override;
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* bindFlags, BINDINFO* bindInfo) override;
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD flags, DWORD size, FORMATETC* format, STGMEDIUM* medium) override;
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID riid, IUnknown* object) override;
    // IHttpNegotiate
    HRESULT STDMETHODCALLTYPE BeginningTransaction(LPCWSTR url, LPCWSTR headers, DWORD reserved,
                                                   LPWSTR* additionalHeaders) override;
    HRESULT STDMETHODCALLTYPE OnResponse(DWORD responseCode, LPCWSTR responseHeaders, LPCWSTR requestHeaders,
                                         LPWSTR* additionalRequestHeaders) override;

    // Used on the download thread only, before and after the transfer.
    void ResetReport();
    const TransferReport& Report() const { return report_; }

    // Download thread, after the transfer and its watchdog: lets go of the
    // target file that an abort holds (see RequestAbort).
    void EndTransfer();
    // Any thread: asks for the transfer's end (cancelled, stalled, too long
    // or too large). The callbacks refuse from then on; the watchdog aborts
    // the binding when none of them ended the transfer soon after.
    void RequestAbort();
    bool AbortRequested() const { return abort_.load(); }
    // When the first request of this transfer came (GetTickCount64).
    ULONGLONG AbortRequestedTick() const { return abortTick_.load(); }
    // Any thread: a size seen in this transfer; above the bound the transfer
    // is refused, and counts as one in which the server answered.
    bool Refused(ULONGLONG bytes);
    // When the last bytes came (GetTickCount64), or the transfer began.
    ULONGLONG LastProgressTick() const { return lastProgress_.load(); }
    // Counts as bytes from the server: the stall limit starts again.
    void NoteProgress() { lastProgress_.store(GetTickCount64()); }
    // The watchdog's side: the file the network library writes the body to,
    // as BINDSTATUS_CACHEFILENAMEAVAILABLE named it or, before that (the
    // library may read a whole body first), as the binding tells
    // (IWinInetInfo); false while neither knows it. Never throws.
    bool CacheFile(wchar_t (&path)[MAX_PATH]);
    // The watchdog's side: IBinding::Abort, once OnStartBinding has returned
    // and until OnStopBinding; E_PENDING when there is no such binding.
    HRESULT AbortBinding();
    // The download thread's side, once the watchdog no longer runs or has
    // given up: drops the binding, unless an abort is still inside it.
    void ReleaseBinding();

private:
    TransferReport report_;
    std::atomic<bool> abort_{false};
    std::atomic<ULONGLONG> abortTick_{0};
    std::atomic<ULONGLONG> lastProgress_{0};
    SrwLock bindingLock_;  // guards the members below; never held across a call into the binding
    IBinding* binding_ = nullptr;  // our reference, dropped on the download thread only
    bool bindingStarted_ = false;  // OnStartBinding has returned, OnStopBinding has not come
    bool watchdogInside_ = false;  // the watchdog is inside the binding (Abort or a query)
    wchar_t cacheFile_[MAX_PATH] = {};
    bool countsTaken_ = true;       // the library's byte counts count (download thread only)
    bool transferRunning_ = false;  // between ResetReport and EndTransfer
    ScopedFile targetHold_;         // the target, held without sharing once the transfer is to end
};

extern DlCallback downloadCallback;

// True when the response headers (CR LF separated) name a Content-Encoding
// other than identity.
bool HasContentEncoding(std::wstring_view headers);
// The value of the Content-Length header, 0 when there is none; a length
// beyond 64 bits reads as the largest value.
ULONGLONG ContentLength(std::wstring_view headers);

// The request headers that ask every cache on the way for the newest file.
inline constexpr wchar_t kNoCacheHeaders[] = L"Cache-Control: no-cache\r\nPragma: no-cache\r\n";

// The percentage of ulProgress in ulProgressMax: quotient first, in double
// precision, truncated, and kept within 0 to 100 (0 while the size is unknown).
int DownloadPercentage(ULONG ulProgress, ULONG ulProgressMax);
