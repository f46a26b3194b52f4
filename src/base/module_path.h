#pragma once
// Paths of files in the directory of the running executable.
#include <span>

// Fills `path` with the executable's directory (final backslash included) and
// `fileName`. Returns 1 on success; 0 with an empty buffer when the directory
// cannot be found or the result does not fit in the buffer (never a cut path).
int MakeModulePath(std::span<wchar_t> path, const wchar_t* fileName);

// The directory part only (with its final backslash); same rules as above.
int GetModuleDirectory(std::span<wchar_t> path);
