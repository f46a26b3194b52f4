#include "base/module_path.h"

#include <windows.h>

#include <algorithm>

#include "base/text.h"

int GetModuleDirectory(std::span<wchar_t> path) {
    std::fill(path.begin(), path.end(), L'\0');
    if (path.empty()) return 0;
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    // A full buffer means the module path was cut: never work on a cut path.
    if (n == 0 || n >= path.size()) {
        std::fill(path.begin(), path.end(), L'\0');
        return 0;
    }
    size_t i = n;
    while (i > 0 && path[i - 1] != L'\\') path[--i] = L'\0';
    return i > 0 ? 1 : 0;
}

int MakeModulePath(std::span<wchar_t> path, const wchar_t* fileName) {
    if (!GetModuleDirectory(path)) return 0;
    if (!AppendText(path, fileName ? fileName : L"")) {
        std::fill(path.begin(), path.end(), L'\0');
        return 0;
    }
    return 1;
}
