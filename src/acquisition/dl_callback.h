#pragma once
// The download's bind-status callback: moves the workflow to Downloading and
// Downloaded, drives the progress bar and the status animation, and carries
// out a requested cancellation at the next notification.
#include <windows.h>
#include <urlmon.h>

#include <string_view>

// What the transfer reported, so that an error answer or a body that is empty
// or shorter than announced is not taken for a download (the transfer's own
// result may still be success then).
struct TransferReport {
    bool endOfData = false;     // BINDSTATUS_ENDDOWNLOADDATA arrived
    ULONG bytesReceived = 0;    // ulProgress of the last data notification
    ULONG bytesAnnounced = 0;   // ulProgressMax of it, 0 when unknown
    DWORD httpStatus = 0;       // of the last (after redirects, the final) response; 0 when none came
    bool encoded = false;       // it carried a Content-Encoding: the body was decoded, the length is not its own
};

// Also the download's HTTP negotiation, to learn the answer's status and
// encoding; it adds no request headers.
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
    void ResetReport() { report_ = TransferReport{}; }
    const TransferReport& Report() const { return report_; }

private:
    TransferReport report_;
};

extern DlCallback downloadCallback;

// True when the response headers (CR LF separated) name a Content-Encoding
// other than identity.
bool HasContentEncoding(std::wstring_view headers);

// The percentage of ulProgress in ulProgressMax: quotient first, in double
// precision, truncated, and kept within 0 to 100 (0 while the size is unknown).
int DownloadPercentage(ULONG ulProgress, ULONG ulProgressMax);
