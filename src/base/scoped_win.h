#pragma once
// Small move-only owners of platform handles: each closes what it holds
// exactly once, on every path out of the scope that opened it.
#include <windows.h>
#include <objbase.h>
#include <setupapi.h>

#include <utility>

template <typename Traits>
class ScopedHandle {
public:
    using Handle = typename Traits::Handle;

    ScopedHandle() = default;
    explicit ScopedHandle(Handle h) : h_(h) {}
    ~ScopedHandle() { Reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : h_(std::exchange(other.h_, Traits::Invalid())) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            h_ = std::exchange(other.h_, Traits::Invalid());
        }
        return *this;
    }

    bool IsValid() const { return h_ != Traits::Invalid(); }
    explicit operator bool() const { return IsValid(); }
    Handle Get() const { return h_; }
    Handle Release() { return std::exchange(h_, Traits::Invalid()); }
    void Reset(Handle h = Traits::Invalid()) {
        if (IsValid()) Traits::Close(h_);
        h_ = h;
    }

private:
    Handle h_ = Traits::Invalid();
};

struct FileHandleTraits {  // CreateFileW: INVALID_HANDLE_VALUE on failure
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { CloseHandle(h); }
};
struct KernelHandleTraits {  // CreateThread and friends: null on failure
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { CloseHandle(h); }
};
struct RegKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { RegCloseKey(h); }
};
struct DevInfoTraits {
    using Handle = HDEVINFO;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { SetupDiDestroyDeviceInfoList(h); }
};
struct ModuleTraits {
    using Handle = HMODULE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { FreeLibrary(h); }
};
struct MenuTraits {
    using Handle = HMENU;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { DestroyMenu(h); }
};
struct IconTraits {
    using Handle = HICON;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { DestroyIcon(h); }
};

using ScopedFile = ScopedHandle<FileHandleTraits>;
using ScopedKernelHandle = ScopedHandle<KernelHandleTraits>;
using ScopedRegKey = ScopedHandle<RegKeyTraits>;
using ScopedDevInfo = ScopedHandle<DevInfoTraits>;
using ScopedModule = ScopedHandle<ModuleTraits>;
using ScopedMenu = ScopedHandle<MenuTraits>;
using ScopedIcon = ScopedHandle<IconTraits>;

// COM for the calling thread in `model`, undone at the end of the scope when
// it was done (a thread that had chosen another model keeps its own).
class ScopedCom {
public:
    explicit ScopedCom(DWORD model) : initialised_(SUCCEEDED(CoInitializeEx(nullptr, model))) {}
    ~ScopedCom() {
        if (initialised_) CoUninitialize();
    }
    ScopedCom(const ScopedCom&) = delete;
    ScopedCom& operator=(const ScopedCom&) = delete;

private:
    bool initialised_;
};
