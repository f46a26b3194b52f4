#include "acquisition/dl_callback.h"

#include <commctrl.h>
#include <wininet.h>

#include <algorithm>
#include <cwctype>
#include <mutex>
#include <utility>

#include "acquisition/transfer_seam.h"
#include "resources/resource.h"
#include "shell/app_state.h"

DlCallback downloadCallback;

namespace {

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return std::towlower(x) == std::towlower(y);
           });
}

// The value of the first header `name` (lower case, with its colon), without
// the white space around it; empty when there is none.
std::wstring_view HeaderValue(std::wstring_view headers, std::wstring_view name) {
    for (size_t at = 0; at < headers.size();) {
        const size_t end = std::min(headers.find(L'\n', at), headers.size());
        std::wstring_view line = headers.substr(at, end - at);
        at = end + 1;
        if (line.size() < name.size() || !EqualsIgnoringCase(line.substr(0, name.size()), name)) continue;
        line.remove_prefix(name.size());
        while (!line.empty() && (line.front() == L' ' || line.front() == L'\t')) line.remove_prefix(1);
        while (!line.empty() && (line.back() == L' ' || line.back() == L'\t' || line.back() == L'\r')) line.remove_suffix(1);
        return line;
    }
    return {};
}

// Moves the state on as data arrives, never over a cancellation.
void MoveStateUnlessCancelled(uint32_t next) {
    uint32_t expected = app.updateState.load();
    while (expected != CancelRequested && !app.updateState.compare_exchange_weak(expected, next)) {
    }
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
    const std::wstring_view coding = HeaderValue(headers, L"content-encoding:");
    // "identity" is the one coding that leaves the body as sent.
    return !coding.empty() && !EqualsIgnoringCase(coding, L"identity");
}

ULONGLONG ContentLength(std::wstring_view headers) {
    ULONGLONG length = 0;
    for (wchar_t c : HeaderValue(headers, L"content-length:")) {
        if (c < L'0' || c > L'9') break;
        if (length > (~0ull - 9) / 10) return ~0ull;
        length = length * 10 + static_cast<ULONGLONG>(c - L'0');
    }
    return length;
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
void DlCallback::ResetReport() {
    report_ = TransferReport{};
    abort_.store(false);
    abortTick_.store(0);
    countsTaken_ = LibraryCountsTaken();
    NoteProgress();
    std::lock_guard<SrwLock> hold(bindingLock_);
    cacheFile_[0] = L'\0';
    transferRunning_ = true;
}

void DlCallback::EndTransfer() {
    std::lock_guard<SrwLock> hold(bindingLock_);
    transferRunning_ = false;
    targetHold_.Reset();
}

void DlCallback::RequestAbort() {
    ULONGLONG none = 0;
    abortTick_.compare_exchange_strong(none, GetTickCount64());
    abort_.store(true);
    // The library may read on past an abort and copy what it read into place
    // at its end: held from this moment, before anyone can end the transfer,
    // the target takes nothing.
    std::lock_guard<SrwLock> hold(bindingLock_);
    if (transferRunning_ && !targetHold_)
        targetHold_.Reset(CreateFileW(app.downloadPath, GENERIC_READ, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      nullptr));
}

bool DlCallback::CacheFile(wchar_t (&path)[MAX_PATH]) {
    IBinding* binding = nullptr;
    {
        std::lock_guard<SrwLock> hold(bindingLock_);
        if (cacheFile_[0] != L'\0') return lstrcpynW(path, cacheFile_, MAX_PATH) != nullptr;
        if (binding_ == nullptr || !bindingStarted_) return false;
        binding = binding_;
        watchdogInside_ = true;
    }
    // Asked again at every look until the library names the file itself: a
    // redirect's answer goes to a file of its own.
    DWORD bytes = sizeof path - sizeof path[0];
    ZeroMemory(path, sizeof path);
    IWinInetInfo* info = nullptr;
    bool named = SUCCEEDED(binding->QueryInterface(IID_IWinInetInfo, reinterpret_cast<void**>(&info))) &&
                 info != nullptr && SUCCEEDED(info->QueryOption(INTERNET_OPTION_DATAFILE_NAME, path, &bytes));
    if (info != nullptr) info->Release();
    {
        std::lock_guard<SrwLock> hold(bindingLock_);
        watchdogInside_ = false;
    }
    // Nothing says in which character set the name comes: a path's first
    // character is a drive letter or a backslash, whose upper byte is 0.
    if (named && reinterpret_cast<const char*>(path)[1] != '\0') {
        char narrow[MAX_PATH] = {};
        CopyMemory(narrow, path, sizeof narrow - 1);
        named = MultiByteToWideChar(CP_ACP, 0, narrow, -1, path, MAX_PATH) > 0;
    }
    return named && path[0] != L'\0';
}

HRESULT DlCallback::AbortBinding() {
    // No reference of its own: the download thread keeps the binding until
    // this thread has left it (ReleaseBinding), so the last release is always
    // the download thread's.
    IBinding* binding = nullptr;
    {
        std::lock_guard<SrwLock> hold(bindingLock_);
        if (binding_ == nullptr || !bindingStarted_) return E_PENDING;
        binding = binding_;
        watchdogInside_ = true;
    }
    const HRESULT result = binding->Abort();
    std::lock_guard<SrwLock> hold(bindingLock_);
    watchdogInside_ = false;
    return result;
}

void DlCallback::ReleaseBinding() {
    IBinding* binding = nullptr;
    {
        std::lock_guard<SrwLock> hold(bindingLock_);
        binding = std::exchange(binding_, nullptr);
        bindingStarted_ = false;
        // A watchdog stuck in the network library keeps what it uses.
        if (watchdogInside_) binding = nullptr;
    }
    if (binding != nullptr) binding->Release();
}

bool DlCallback::Refused(ULONGLONG bytes) {
    if (bytes <= kMaxEphemerisBytes) return false;
    // The server answered: this counts as data, so no older file is sent in
    // its place as after a server that never answered.
    MoveStateUnlessCancelled(Downloading);
    RequestAbort();
    return true;
}

HRESULT DlCallback::OnStartBinding(DWORD, IBinding* binding) {
    if (binding == nullptr) return S_OK;
    binding->AddRef();
    IBinding* earlier = nullptr;
    {
        std::lock_guard<SrwLock> hold(bindingLock_);
        earlier = watchdogInside_ ? nullptr : binding_;
        binding_ = binding;
        // The last step: Abort may not be called before this returns, and
        // the watchdog calls it only from now on.
        bindingStarted_ = true;
    }
    if (earlier != nullptr) earlier->Release();
    return S_OK;
}
HRESULT DlCallback::GetPriority(LONG*) {
    return E_NOTIMPL;
}
HRESULT DlCallback::OnLowResource(DWORD) {
    return E_NOTIMPL;
}
HRESULT DlCallback::OnStopBinding(HRESULT, LPCWSTR) {
    // Ended: nothing to abort any more. The reference goes on the download
    // thread once the watchdog has let go of it.
    std::lock_guard<SrwLock> hold(bindingLock_);
    bindingStarted_ = false;
    return S_OK;
}
HRESULT DlCallback::GetBindInfo(DWORD* bindFlags, BINDINFO* bindInfo) {
    if (bindFlags == nullptr || bindInfo == nullptr || bindInfo->cbSize < sizeof(BINDINFO)) return E_INVALIDARG;
    // The newest file from the server itself, never a copy kept on the way,
    // and none of it written to the user's internet cache.
    *bindFlags = BINDF_GETNEWESTVERSION | BINDF_NOWRITECACHE | BINDF_PRAGMA_NO_CACHE | BINDF_RESYNCHRONIZE;
    const ULONG size = bindInfo->cbSize;
    ZeroMemory(bindInfo, size);
    bindInfo->cbSize = size;
    bindInfo->dwBindVerb = BINDVERB_GET;
    return S_OK;
}
HRESULT DlCallback::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) {
    return E_NOTIMPL;
}
HRESULT DlCallback::OnObjectAvailable(REFIID, IUnknown*) {
    return E_NOTIMPL;
}

HRESULT DlCallback::BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additionalHeaders) {
    if (!additionalHeaders) return E_POINTER;
    // The caller frees the headers with CoTaskMemFree.
    *additionalHeaders = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof kNoCacheHeaders));
    if (*additionalHeaders == nullptr) return E_OUTOFMEMORY;
    CopyMemory(*additionalHeaders, kNoCacheHeaders, sizeof kNoCacheHeaders);
    return S_OK;
}

HRESULT DlCallback::OnResponse(DWORD responseCode, LPCWSTR responseHeaders, LPCWSTR,
                               LPWSTR* additionalRequestHeaders) {
    if (additionalRequestHeaders) *additionalRequestHeaders = nullptr;
    const std::wstring_view headers = responseHeaders ? responseHeaders : L"";
    report_.httpStatus = responseCode;
    report_.encoded = HasContentEncoding(headers);
    report_.lengthAnnounced = ContentLength(headers);
    NoteProgress();
    return Refused(report_.lengthAnnounced) ? E_ABORT : S_OK;
}

HRESULT DlCallback::OnProgress(ULONG ulProgress, ULONG ulProgressMax, ULONG ulStatusCode, LPCWSTR szStatusText) {
    if (ulStatusCode == BINDSTATUS_CACHEFILENAMEAVAILABLE && szStatusText != nullptr) {
        std::lock_guard<SrwLock> hold(bindingLock_);
        lstrcpynW(cacheFile_, szStatusText, MAX_PATH);
    }
    // A refusal here is enough by itself: it wakes nobody.
    if (app.updateState.load() == CancelRequested || abort_.load()) return E_ABORT;
    const bool data = ulStatusCode == BINDSTATUS_BEGINDOWNLOADDATA || ulStatusCode == BINDSTATUS_DOWNLOADINGDATA ||
                      ulStatusCode == BINDSTATUS_ENDDOWNLOADDATA;
    if (!data) return S_OK;
    if (!countsTaken_) ulProgress = ulProgressMax = 0;
    // Bytes counted are bytes received; a notification alone is not (the
    // watchdog counts what was written).
    if (ulProgress > report_.bytesReceived) NoteProgress();
    report_.bytesReceived = ulProgress;
    report_.bytesAnnounced = ulProgressMax;
    if (Refused(ulProgress) || Refused(ulProgressMax)) return E_ABORT;

    switch (ulStatusCode) {
    case BINDSTATUS_BEGINDOWNLOADDATA:
        MoveStateUnlessCancelled(Downloading);
        if (app.animationTimerActive.load() == 0) {
            // The timer belongs to the dialog's thread: ask it to start it.
            SendMessageW(app.mainDialog.load(), MSG_ANIMATION_TIMER, 1, 0);
        }
        return S_OK;
    case BINDSTATUS_DOWNLOADINGDATA: {
        if (ulProgressMax == 0) return S_OK;
        const int percent = DownloadPercentage(ulProgress, ulProgressMax);
        app.downloadPercent.store(percent);
        SendMessageW(GetDlgItem(app.mainDialog.load(), IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(percent), 0);
        return S_OK;
    }
    default:  // BINDSTATUS_ENDDOWNLOADDATA
        MoveStateUnlessCancelled(Downloaded);
        report_.endOfData = true;
        return S_OK;
    }
}
