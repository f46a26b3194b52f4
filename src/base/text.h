#pragma once
// Bounded UTF-16 text in fixed buffers: every copy and append keeps the
// terminator and reports whether the whole text fitted.
#include <cstddef>
#include <span>
#include <string_view>

// Copies src into dst (cleared first). False when src had to be cut.
bool CopyText(std::span<wchar_t> dst, std::wstring_view src);
// Appends src after the text already in dst. False when src had to be cut.
bool AppendText(std::span<wchar_t> dst, std::wstring_view src);
// The text held in a buffer, up to its terminator.
std::wstring_view TextOf(std::span<const wchar_t> buf);
