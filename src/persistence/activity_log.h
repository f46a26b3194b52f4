#pragma once
// "Kelva_log.txt" beside the executable: one UTF-16 line per copy attempt.

inline constexpr wchar_t kLogFileName[] = L"Kelva_log.txt";

// Appends "MM/DD  hh:mm.ss::mmm<TAB>label<TAB>message<CR><LF>", the message
// formatted printf-style and cut to 254 characters. 1 when the file was opened
// and at least one piece was written, else 0.
int AppendLog(const wchar_t* label, const wchar_t* format, ...);
