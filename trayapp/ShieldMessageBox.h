// ShieldMessageBox: a message box whose buttons of the given identifiers carry the elevation shield, so
// the user sees before answering that the next step asks for administrator rights. Only one may be open
// at a time (the hook finds the buttons through process-wide variables); every caller runs on the
// user-interface thread and the box is modal.
#pragma once

#include <windows.h>

namespace Kavelor
{
// The message box's result; -1 when the hook could not be installed (nothing was shown).
int ShieldMessageBox(HWND hOwner, LPCWSTR pszText, LPCWSTR pszCaption, UINT nType, const int* pButtonIds,
                     int nButtonCount);
} // namespace Kavelor
