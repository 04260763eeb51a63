// The DPI a window is shown at, and the system metrics and the icon-title font for it. Kavelor declares
// itself per-monitor DPI aware: each window draws at the DPI of the monitor it is on and must size its
// pictures and its font itself. The per-monitor routines exist from Windows 10 on and are bound at run
// time; before them the system's one DPI applies to every window.
#pragma once

#include <windows.h>

namespace Kavelor
{
const UINT DEFAULT_DPI = 96;

UINT GetWindowDpi(HWND hWnd);
// A length of the 96-DPI design at this DPI.
int ScaleToDpi(int nLength, UINT nDpi);
int GetSystemMetricForDpi(int nIndex, UINT nDpi);
// The font the shell labels icons with, at this DPI; null when it cannot be made. The caller deletes it.
HFONT CreateIconTitleFont(UINT nDpi);
} // namespace Kavelor
