// The private window messages the parts of Kavelor post to each other (never send). The values are fixed:
// a second instance posts WM_SHOW_MAIN_WINDOW to the windows of the running one, whatever its build.
#pragma once

#include <windows.h>

namespace Kavelor
{
// To the enumeration thread: run one scan. From it to each registered window: a new result is ready.
// From the working dialog's worker to the dialog: Kavset has ended.
const UINT WM_SCAN_UPDATE = WM_APP + 1;
// From a second instance to the running instance's top-level windows: bring the main window forward.
const UINT WM_SHOW_MAIN_WINDOW = WM_APP + 2;
// From the shell's tray to the main window: wParam the icon identifier, lParam the mouse message.
const UINT WM_TRAY_NOTIFY = WM_APP + 3;
// From the main window to itself: a device lost its storage filter; offer to enable it again.
const UINT WM_REENABLE_PROMPT = WM_APP + 4;
// From the shell's change notification to the main window: a drive or medium changed.
const UINT WM_SHELL_CHANGE = WM_APP + 5;

static_assert(WM_SCAN_UPDATE == 32769 && WM_SHOW_MAIN_WINDOW == 32770 && WM_SHELL_CHANGE == 32773,
              "the private messages are part of the interface between instances");
} // namespace Kavelor
