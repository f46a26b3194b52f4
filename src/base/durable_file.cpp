#include "base/durable_file.h"

#include "base/lock_retry.h"
#include "base/scoped_win.h"

bool FlushToMedium(const wchar_t* path) {
    // A scanner may hold a file it has just seen written: the flush waits for it.
    ScopedFile file(OpenPastShortHold(path, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL));
    return file && FlushFileBuffers(file.Get());
}
