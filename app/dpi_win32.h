// The display's dots per inch, as the window lays itself out by them. The
// per-monitor functions came with Windows 10 version 1607; they are looked
// up at run time, so that the program starts on older Windows too, where the
// system-wide dpi and metrics take their place.
#pragma once

#include <windows.h>

namespace kestrane::dpi {

// The dpi of the monitor the window is on, or of the system.
UINT ForWindow(HWND window);

// The message box font and the other non-client metrics at a dpi.
NONCLIENTMETRICSW NonClientMetrics(UINT dpi);

// Grows a client rectangle into the window's rectangle at a dpi.
void AdjustFrame(RECT& frame, DWORD style, DWORD exStyle, UINT dpi);

}  // namespace kestrane::dpi
