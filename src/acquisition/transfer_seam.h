#pragma once
// The seam around what Windows' network library alone shows of a transfer.
//
// The product links transfer_seam_win32.cpp, which changes nothing. Test
// builds link transfer_seam_simulated.cpp: on demand, the callback drops the
// library's byte counts, and each transfer's watchdog cost is journaled.
#include <windows.h>

// Whether the callback takes the byte counts of the library's data
// notifications. Windows counts the bytes on the wire of a compressed body and
// sends no notification at all for a fast one, which Wine does not: test
// builds may drop the counts, so that only the bytes written bound a transfer.
bool LibraryCountsTaken();

// After a transfer: the watchdog `thread` (ended), how often it looked at what
// was written and how long those looks took in all (performance counter ticks).
void JournalWatchdog(HANDLE thread, ULONG looks, ULONGLONG lookTicks);
