// The device list's context menu: the command menu (resource 1001) without Version and Help, Properties in
// bold (what a double click does), each item enabled as its toolbar button is. It is tracked at the cursor
// and its commands go to the main window, whose routing offers them to the list first.
#pragma once

#include <windows.h>

#include <functional>

namespace Kavelor
{
void TrackListContextMenu(HINSTANCE hInstance, HWND hList, HWND hOwner,
                          const std::function<BOOL(UINT)>& isEnabled);
} // namespace Kavelor
