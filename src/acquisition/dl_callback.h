#pragma once
// The download's bind-status callback: moves the workflow to Downloading and
// Downloaded, drives the progress bar and the status animation, and carries
// out a requested cancellation at the next notification.
#include <windows.h>
#include <urlmon.h>

// What the transfer reported, so that a body that is empty or shorter than
// announced is not taken for a download (the transfer's own result may still
// be success then).
struct TransferReport {
    bool endOfData = false;     // BINDSTATUS_ENDDOWNLOADDATA arrived
    ULONG bytesReceived = 0;    // ulProgress of the last data notification
    ULONG bytesAnnounced = 0;   // ulProgressMax of it, 0 when unknown
};

class DlCallback : public IBindStatusCallback {
public:
    // IUnknown: one static instance, no reference counting.
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

    // Used on the download thread only, before and after the transfer.
    void ResetReport() { report_ = TransferReport{}; }
    const TransferReport& Report() const { return report_; }

private:
    TransferReport report_;
};

extern DlCallback downloadCallback;

// The percentage of ulProgress in ulProgressMax: quotient first, in double
// precision, truncated, and kept within 0 to 100 (0 while the size is unknown).
int DownloadPercentage(ULONG ulProgress, ULONG ulProgressMax);
