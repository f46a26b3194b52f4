#pragma once
// The main dialog: the three recorded times, progress, status line, Update and
// Close, the two check boxes; also the receiver of device events.
#include <windows.h>

#include <cstdint>
#include <span>

INT_PTR CALLBACK MainDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Shows `time` as "YYYY/MM/DD<TAB>hh:mm" in a time field of the main dialog.
void ShowTimeField(int controlId, const SYSTEMTIME& time);
// Shows in the expiry field the expiry of the data on the device, once a copy
// recorded it, in the zone the user is in now; before that, `localFile`'s
// (all zero: none, the field is left as it is).
void ShowExpiryTime(const SYSTEMTIME& localFile);

// The animated status line: the downloading text, frame `frame` of the
// spinner and, when `percent` is not 0, a tab and the percentage.
void FormatAnimationStatus(int32_t frame, int percent, std::span<wchar_t> buf);

// The program's icon at the size `metric` (SM_CXICON, SM_CXSMICON) has at the
// scale of `window`'s monitor; the caller destroys it.
HICON LoadIconForWindow(HWND window, int metric);

// Where a window of the given size is centred on the work area (truncating).
// One larger than the area starts at its top left, so its title bar stays in
// reach: at 150 or 200 % on a small screen the main dialog is taller than it.
POINT CenteredPosition(const RECT& work, int width, int height);

// Moves `window` to the centre of the work area of the monitor it is on,
// at its current size (which its template gave it at that monitor's scale).
void CentreOnWorkArea(HWND window, HWND insertAfter, UINT flags);
