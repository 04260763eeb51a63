// The device list's context menu, loaded from the resources, trimmed and tracked.
#include "trayapp/ListContextMenu.h"

#include "trayapp/res/resource.h"

namespace Kavelor
{
void TrackListContextMenu(HINSTANCE hInstance, HWND hList, HWND hOwner,
                          const std::function<BOOL(UINT)>& isEnabled)
{
    HMENU hMenu = LoadMenuW(hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    if (hMenu == nullptr)
    {
        return;
    }
    HMENU hPopup = GetSubMenu(hMenu, 0);
    if (hPopup != nullptr)
    {
        DeleteMenu(hPopup, ID_COMMAND_VERSION, MF_BYCOMMAND);
        DeleteMenu(hPopup, ID_COMMAND_HELP, MF_BYCOMMAND);
        SetMenuDefaultItem(hPopup, ID_COMMAND_PROPERTIES, FALSE);
        for (UINT nId : {ID_COMMAND_ENABLE, ID_COMMAND_DISABLE, ID_COMMAND_PROPERTIES})
        {
            EnableMenuItem(hPopup, nId, MF_BYCOMMAND | (isEnabled(nId) ? MF_ENABLED : MF_GRAYED));
        }
        POINT cursor = {};
        GetCursorPos(&cursor);
        // Without the foreground the menu would not close when the user clicks elsewhere.
        SetForegroundWindow(hList);
        TrackPopupMenu(hPopup, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, hOwner, nullptr);
        PostMessageW(hList, WM_NULL, 0, 0);
    }
    DestroyMenu(hMenu);
}
} // namespace Kavelor
