#include "base/durable_file.h"

#include "base/scoped_win.h"

bool FlushToMedium(const wchar_t* path) {
    ScopedFile file(CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    return file && FlushFileBuffers(file.Get());
}
