#include "base/text.h"

#include <algorithm>

std::wstring_view TextOf(std::span<const wchar_t> buf) {
    const auto end = std::find(buf.begin(), buf.end(), L'\0');
    return std::wstring_view(buf.data(), static_cast<size_t>(end - buf.begin()));
}

bool AppendText(std::span<wchar_t> dst, std::wstring_view src) {
    if (dst.empty()) return src.empty();
    const size_t used = TextOf(dst).size();
    if (used >= dst.size()) {  // no terminator at all: repair, nothing fits
        dst.back() = L'\0';
        return src.empty();
    }
    const size_t room = dst.size() - 1 - used;
    const size_t n = std::min(room, src.size());
    std::copy_n(src.begin(), n, dst.begin() + used);
    dst[used + n] = L'\0';
    return n == src.size();
}

bool CopyText(std::span<wchar_t> dst, std::wstring_view src) {
    std::fill(dst.begin(), dst.end(), L'\0');
    return AppendText(dst, src);
}
