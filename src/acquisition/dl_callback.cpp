#include "acquisition/dl_callback.h"

#include <commctrl.h>

#include <algorithm>
#include <cwctype>

#include "resources/resource.h"
#include "shell/app_state.h"

DlCallback downloadCallback;

namespace {

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return std::towlower(x) == std::towlower(y);
           });
}

}  // namespace

int DownloadPercentage(ULONG ulProgress, ULONG ulProgressMax) {
    if (ulProgressMax == 0) return 0;  // size unknown
    // A server may send more than it announced; a larger ratio would also
    // overflow the conversion to int.
    if (ulProgress >= ulProgressMax) return 100;
    const double quotient = static_cast<double>(ulProgress) / static_cast<double>(ulProgressMax);
    return static_cast<int>(quotient * 100.0);
}

bool HasContentEncoding(std::wstring_view headers) {
    constexpr std::wstring_view kName = L"content-encoding:";
    for (size_t at = 0; at < headers.size();) {
        const size_t end = std::min(headers.find(L'\n', at), headers.size());
        std::wstring_view line = headers.substr(at, end - at);
        at = end + 1;
        if (line.size() < kName.size() || !EqualsIgnoringCase(line.substr(0, kName.size()), kName)) continue;
        line.remove_prefix(kName.size());
        while (!line.empty() && (line.front() == L' ' || line.front() == L'\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == L' ' || line.back() == L'\t' || line.back() == L'\r')) line.remove_suffix(1);
        // "identity" is the one coding that leaves the body as sent.
        return !line.empty() && !EqualsIgnoringCase(line, L"identity");
    }
    return false;
}

HRESULT DlCallback::QueryInterface(REFIID riid, void** object) {
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IBindStatusCallback) {
        *object = static_cast<IBindStatusCallback*>(this);
    } else if (riid == IID_IHttpNegotiate) {
        *object = static_cast<IHttpNegotiate*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    return S_OK;
}
ULONG DlCallback::AddRef() {
    return 0;
}
ULONG DlCallback::Release() {
    return 0;
}
HRESULT DlCallback::OnStartBinding(DWORD, IBinding*) {
    return E_NOTIMPL;
}
HRESULT DlCallback::GetPriority(LONG*) {
    return E_NOTIMPL;
}
HRESULT DlCallback::OnLowResource(DWORD) {
    return E_NOTIMPL;
}
HRESULT DlCallback::OnStopBinding(HRESULT, LPCWSTR) {
    return E_NOTIMPL;
}
HRESULT DlCallback::GetBindInfo(DWORD*, BINDINFO*) {
    return E_NOTIMPL;
}
HRESULT DlCallback::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) {
    return E_NOTIMPL;
}
HRESULT DlCallback::OnObjectAvailable(REFIID, IUnknown*) {
    return E_NOTIMPL;
}

HRESULT DlCallback::BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additionalHeaders) {
    if (additionalHeaders) *additionalHeaders = nullptr;
    return S_OK;
}

HRESULT DlCallback::OnResponse(DWORD responseCode, LPCWSTR responseHeaders, LPCWSTR,
                               LPWSTR* additionalRequestHeaders) {
    if (additionalRequestHeaders) *additionalRequestHeaders = nullptr;
    report_.httpStatus = responseCode;
    report_.encoded = HasContentEncoding(responseHeaders ? responseHeaders : L"");
    return S_OK;
}

HRESULT DlCallback::OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode, LPCWSTR) {
    if (app.updateState.load() == CancelRequested) return E_ABORT;

    switch (ulStatusCode) {
    case BINDSTATUS_BEGINDOWNLOADDATA:
        // Never overwrite a cancellation that arrived since the test above.
        {
            uint32_t expected = app.updateState.load();
            while (expected != CancelRequested && !app.updateState.compare_exchange_weak(expected, Downloading)) {
            }
        }
        report_.bytesReceived = ulProgress;
        report_.bytesAnnounced = ulProgressMax;
        if (app.animationTimerActive.load() == 0) {
            // The timer belongs to the dialog's thread: ask it to start it.
            SendMessageW(app.mainDialog.load(), MSG_ANIMATION_TIMER, 1, 0);
        }
        return S_OK;
    case BINDSTATUS_DOWNLOADINGDATA: {
        report_.bytesReceived = ulProgress;
        report_.bytesAnnounced = ulProgressMax;
        if (ulProgressMax == 0) return S_OK;
        const int percent = DownloadPercentage(ulProgress, ulProgressMax);
        app.downloadPercent.store(percent);
        SendMessageW(GetDlgItem(app.mainDialog.load(), IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(percent), 0);
        return S_OK;
    }
    case BINDSTATUS_ENDDOWNLOADDATA: {
        uint32_t expected = app.updateState.load();
        while (expected != CancelRequested && !app.updateState.compare_exchange_weak(expected, Downloaded)) {
        }
        report_.endOfData = true;
        report_.bytesReceived = ulProgress;
        report_.bytesAnnounced = ulProgressMax;
        return S_OK;
    }
    default: return S_OK;
    }
}
