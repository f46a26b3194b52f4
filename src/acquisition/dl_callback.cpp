#include "acquisition/dl_callback.h"

#include <commctrl.h>

#include "resources/resource.h"
#include "shell/app_state.h"

DlCallback downloadCallback;

int DownloadPercentage(ULONG ulProgress, ULONG ulProgressMax) {
    if (ulProgressMax == 0) return 0;  // size unknown
    // A server may send more than it announced; a larger ratio would also
    // overflow the conversion to int.
    if (ulProgress >= ulProgressMax) return 100;
    const double quotient = static_cast<double>(ulProgress) / static_cast<double>(ulProgressMax);
    return static_cast<int>(quotient * 100.0);
}

HRESULT DlCallback::QueryInterface(REFIID, void**) {
    return E_NOTIMPL;
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
