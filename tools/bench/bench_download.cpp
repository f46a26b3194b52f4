// The download of GPS Fennik and nothing else: the same URLDownloadToFileW
// call with a bind-status callback that only answers, no COM initialisation.
// Shows what Wine's URL moniker costs by itself.
//
//   fennik_bench_download URL FILE [CALLS]
//
// prints "call_ms <milliseconds>" for each call; the first call of a process
// also loads and sets up the URL moniker and internet libraries.
#include <windows.h>
#include <urlmon.h>
#include <wininet.h>

#include <cstdio>

#include "bench_clock.h"

namespace {

// Like the program's callback: one static instance without reference
// counting; every notification is simply accepted.
class QuietCallback : public IBindStatusCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 0; }
    ULONG STDMETHODCALLTYPE Release() override { return 0; }
    HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return E_NOTIMPL; }
};

QuietCallback callback;

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int calls = argc == 4 ? _wtoi(argv[3]) : 1;
    if (argc < 3 || argc > 4 || calls < 1) {
        fwprintf(stderr, L"usage: fennik_bench_download URL FILE [CALLS]\n");
        return 2;
    }
    for (int call = 0; call < calls; ++call) {
        // As the program does: never an answer from the cache.
        DeleteUrlCacheEntryW(argv[1]);
        const double start = NowMs();
        const HRESULT result = URLDownloadToFileW(nullptr, argv[1], argv[2], 0, &callback);
        const double end = NowMs();
        if (result != S_OK) {
            fwprintf(stderr, L"fennik_bench_download: URLDownloadToFileW failed: 0x%08lx\n",
                     static_cast<unsigned long>(result));
            return 1;
        }
        wprintf(L"call_ms %.3f\n", end - start);
    }
    return 0;
}
