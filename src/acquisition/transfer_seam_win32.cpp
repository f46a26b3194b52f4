// The product: the library's counts as they come, and no journal.
#include "acquisition/transfer_seam.h"

bool LibraryCountsTaken() {
    return true;
}

void JournalWatchdog(HANDLE, ULONG, ULONGLONG) {}
