// winsim/user: the tray, message boxes and the program's resources. The tray accepts exactly the four
// layouts of the notification data (by cbSize), checks that a tip ends inside the field its layout has,
// refuses version and balloon calls from a program on a shell older than 5.0, and can be made to time out
// on NIM_ADD as a shell that is busy or not yet running does. Strings, icons and menus come from the
// resources a test registers; destroying an icon or menu that is not live is a violation. The shell has an
// icon for the drive roots a test names. Image lists hold a count of images and their overlays; destroying
// one that is not live (twice, say), or putting in an icon that is not live, is a violation.
#include "winsim/user/user_internal.h"

using namespace winsim::user;

namespace
{
bool TerminatedWithin(const WCHAR* text, size_t chars)
{
    for (size_t at = 0; at < chars; ++at)
    {
        if (text[at] == 0)
        {
            return true;
        }
    }
    return false;
}

UINT ResourceId(LPCWSTR name)
{
    if (!IS_INTRESOURCE(name))
    {
        Violation("resources are simulated by number only");
    }
    return static_cast<UINT>(reinterpret_cast<ULONG_PTR>(name));
}

bool IsLiveMenu(HMENU menu, bool* isPopup)
{
    for (const auto& [top, popups] : I().menus)
    {
        if (top == menu)
        {
            *isPopup = false;
            return true;
        }
        for (HMENU popup : popups)
        {
            if (popup == menu)
            {
                *isPopup = true;
                return true;
            }
        }
    }
    return false;
}
} // namespace

BOOL WINAPI Shell_NotifyIconW(DWORD dwMessage, PNOTIFYICONDATAW lpData)
{
    auto lock = Lock();
    SetLastError(ERROR_SUCCESS);
    DWORD size = lpData->cbSize;
    if (size != NOTIFYICONDATAW_V1_SIZE && size != NOTIFYICONDATAW_V2_SIZE &&
        size != NOTIFYICONDATAW_V3_SIZE && size != sizeof(NOTIFYICONDATAW))
    {
        Violation("Shell_NotifyIconW with cbSize %u, which is none of the shell's layouts", size);
    }
    bool oldShell = D().shellMajor < 5;
    if (oldShell && (dwMessage == NIM_SETVERSION || (lpData->uFlags & NIF_INFO) != 0))
    {
        Violation("Shell_NotifyIconW: version or balloon call on a shell older than 5.0");
    }
    size_t tipChars = size == NOTIFYICONDATAW_V1_SIZE ? 64 : 128;
    if ((lpData->uFlags & NIF_TIP) != 0 && !TerminatedWithin(lpData->szTip, tipChars))
    {
        Violation("Shell_NotifyIconW: the tip has no terminator within its %zu characters", tipChars);
    }
    TrayCall call;
    call.message = dwMessage;
    call.cbSize = size;
    call.flags = lpData->uFlags;
    if ((lpData->uFlags & NIF_TIP) != 0)
    {
        call.tip = lpData->szTip;
    }
    call.version = size > NOTIFYICONDATAW_V1_SIZE ? lpData->uVersion : 0;
    auto key = std::make_pair(lpData->hWnd, lpData->uID);
    bool exists = I().trayIcons.count(key) != 0;
    bool ok = false;
    SimWindow* window = FindWindowLocked(lpData->hWnd);
    if (window == nullptr || !window->alive)
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    }
    else if (dwMessage == NIM_ADD)
    {
        if (D().shellAlwaysTimesOut || D().shellTimeouts > 0)
        {
            D().shellTimeouts -= D().shellTimeouts > 0 ? 1 : 0;
            SetLastError(ERROR_TIMEOUT);
        }
        else if (exists)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
        }
        else
        {
            I().trayIcons.insert(key);
            ok = true;
        }
    }
    else if (dwMessage == NIM_DELETE)
    {
        ok = I().trayIcons.erase(key) != 0;
    }
    else
    {
        ok = exists;
    }
    if (!ok && GetLastError() == ERROR_SUCCESS)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    call.succeeded = ok;
    D().trayCalls.push_back(call);
    return ok ? TRUE : FALSE;
}

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    auto lock = Lock();
    MessageBoxCall call;
    call.owner = hWnd;
    call.text = lpText != nullptr ? lpText : u"";
    call.caption = lpCaption != nullptr ? lpCaption : u"";
    call.type = uType;
    D().messageBoxes.push_back(call);
    return D().messageBoxResult;
}

int WINAPI LoadStringW(HINSTANCE, UINT uID, LPWSTR lpBuffer, int cchBufferMax)
{
    if (cchBufferMax <= 0)
    {
        Violation("LoadStringW with a buffer of %d characters (the read-only form is not simulated)",
                  cchBufferMax);
    }
    auto lock = Lock();
    auto found = D().strings.find(uID);
    if (found == D().strings.end())
    {
        lpBuffer[0] = 0;
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    size_t count = std::min(found->second.size(), static_cast<size_t>(cchBufferMax - 1));
    std::copy(found->second.begin(), found->second.begin() + count, lpBuffer);
    lpBuffer[count] = 0;
    return static_cast<int>(count);
}

HANDLE WINAPI LoadImageW(HINSTANCE, LPCWSTR name, UINT type, int, int, UINT)
{
    UINT id = ResourceId(name);
    if (type != IMAGE_ICON)
    {
        Violation("LoadImageW is simulated for icons only");
    }
    auto lock = Lock();
    if (D().iconResources.count(id) == 0)
    {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    HICON icon = reinterpret_cast<HICON>(NewHandleValue());
    I().icons.insert(icon);
    return icon;
}

BOOL WINAPI DestroyIcon(HICON hIcon)
{
    auto lock = Lock();
    if (I().icons.erase(hIcon) == 0)
    {
        Violation("DestroyIcon of %p, which is not a live icon", static_cast<void*>(hIcon));
    }
    return TRUE;
}

int WINAPI GetSystemMetrics(int nIndex)
{
    switch (nIndex)
    {
    case SM_CXSMICON:
    case SM_CYSMICON:
        return 16;
    case SM_CXICON:
    case SM_CYICON:
        return 32;
    default:
        return 0;
    }
}

DWORD_PTR WINAPI SHGetFileInfoW(LPCWSTR pszPath, DWORD, SHFILEINFOW* psfi, UINT cbFileInfo, UINT uFlags)
{
    if (cbFileInfo != sizeof(SHFILEINFOW) || (uFlags & ~(SHGFI_ICON | SHGFI_SMALLICON)) != 0)
    {
        Violation("SHGetFileInfoW is simulated for the icon of a path, with the structure's own size");
    }
    auto lock = Lock();
    WString path(pszPath);
    D().shellIconRequests.push_back(path);
    *psfi = SHFILEINFOW();
    WString upper = Upper(path);
    bool isRoot = upper.size() == 3 && upper[1] == u':' && upper[2] == u'\\';
    if (!isRoot || D().shellDriveIcons.count(upper[0]) == 0)
    {
        return 0;
    }
    psfi->hIcon = reinterpret_cast<HICON>(NewHandleValue());
    I().icons.insert(psfi->hIcon);
    return 1;
}

namespace
{
ImageList& LiveImageList(HIMAGELIST list, const char* call)
{
    auto found = I().imageLists.find(list);
    if (found == I().imageLists.end())
    {
        Violation("%s on %p, which is not a live image list", call, static_cast<void*>(list));
    }
    return found->second;
}
} // namespace

HIMAGELIST WINAPI ImageList_Create(int cx, int cy, UINT, int, int)
{
    if (cx <= 0 || cy <= 0)
    {
        return nullptr;
    }
    auto lock = Lock();
    HIMAGELIST list = reinterpret_cast<HIMAGELIST>(NewHandleValue());
    I().imageLists[list] = ImageList{cx, cy, 0, {}};
    return list;
}

void winsim::user::DestroyImageListLocked(HIMAGELIST list, const char* caller)
{
    LiveImageList(list, caller);
    I().imageLists.erase(list);
}

BOOL WINAPI ImageList_Destroy(HIMAGELIST himl)
{
    auto lock = Lock();
    DestroyImageListLocked(himl, "ImageList_Destroy");
    return TRUE;
}

int WINAPI ImageList_ReplaceIcon(HIMAGELIST himl, int i, HICON hicon)
{
    auto lock = Lock();
    ImageList& list = LiveImageList(himl, "ImageList_ReplaceIcon");
    if (I().icons.count(hicon) == 0)
    {
        Violation("ImageList_ReplaceIcon with %p, which is not a live icon", static_cast<void*>(hicon));
    }
    if (i == -1)
    {
        return list.count++;
    }
    return i >= 0 && i < list.count ? i : -1;
}

BOOL WINAPI ImageList_SetOverlayImage(HIMAGELIST himl, int iImage, int iOverlay)
{
    auto lock = Lock();
    ImageList& list = LiveImageList(himl, "ImageList_SetOverlayImage");
    if (iOverlay < 1 || iOverlay > 15)
    {
        Violation("overlay number %d: an image list has overlays 1 to 15", iOverlay);
    }
    if (iImage < 0 || iImage >= list.count)
    {
        return FALSE;
    }
    list.overlays[iOverlay] = iImage;
    return TRUE;
}

int WINAPI ImageList_GetImageCount(HIMAGELIST himl)
{
    auto lock = Lock();
    return LiveImageList(himl, "ImageList_GetImageCount").count;
}

bool winsim::user::GetImageListInfo(HIMAGELIST list, ImageListInfo& info)
{
    auto lock = Lock();
    auto found = I().imageLists.find(list);
    if (found == I().imageLists.end())
    {
        return false;
    }
    info.cx = found->second.cx;
    info.cy = found->second.cy;
    info.count = found->second.count;
    info.overlays = found->second.overlays;
    return true;
}

size_t winsim::user::LiveImageListCount()
{
    auto lock = Lock();
    return I().imageLists.size();
}

HMENU WINAPI LoadMenuW(HINSTANCE, LPCWSTR lpMenuName)
{
    UINT id = ResourceId(lpMenuName);
    auto lock = Lock();
    std::vector<std::vector<UINT>> contents;
    auto items = D().menuItems.find(id);
    auto found = D().menuResources.find(id);
    if (items != D().menuItems.end())
    {
        contents = items->second;
    }
    else if (found != D().menuResources.end())
    {
        contents.resize(static_cast<size_t>(found->second));
    }
    else
    {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    HMENU menu = reinterpret_cast<HMENU>(NewHandleValue());
    std::vector<HMENU> popups;
    for (const std::vector<UINT>& commands : contents)
    {
        HMENU popup = reinterpret_cast<HMENU>(NewHandleValue());
        for (UINT command : commands)
        {
            I().popupItems[popup].items.push_back({command, false});
        }
        popups.push_back(popup);
    }
    I().menus[menu] = popups;
    return menu;
}

HMENU WINAPI GetSubMenu(HMENU hMenu, int nPos)
{
    auto lock = Lock();
    auto found = I().menus.find(hMenu);
    if (found == I().menus.end() || nPos < 0 || static_cast<size_t>(nPos) >= found->second.size())
    {
        return nullptr;
    }
    return found->second[nPos];
}

BOOL WINAPI DestroyMenu(HMENU hMenu)
{
    auto lock = Lock();
    bool isPopup = false;
    if (!IsLiveMenu(hMenu, &isPopup))
    {
        Violation("DestroyMenu of %p, which is not a live menu", static_cast<void*>(hMenu));
    }
    if (isPopup)
    {
        Violation("DestroyMenu of a popup that its loaded menu still holds (destroy the menu instead)");
    }
    for (HMENU popup : I().menus[hMenu])
    {
        I().popupItems.erase(popup);
    }
    I().menus.erase(hMenu);
    return TRUE;
}

namespace
{
PopupItems& LivePopup(HMENU hMenu, UINT uFlags, const char* call)
{
    bool isPopup = false;
    if (!IsLiveMenu(hMenu, &isPopup))
    {
        Violation("%s on %p, which is not a live menu", call, static_cast<void*>(hMenu));
    }
    if ((uFlags & MF_BYPOSITION) != 0)
    {
        Violation("%s by position: the items are addressed by command", call);
    }
    return I().popupItems[hMenu];
}
} // namespace

BOOL WINAPI SetMenuDefaultItem(HMENU hMenu, UINT uItem, UINT fByPos)
{
    auto lock = Lock();
    LivePopup(hMenu, fByPos ? MF_BYPOSITION : MF_BYCOMMAND, "SetMenuDefaultItem").defaultItem = uItem;
    return TRUE;
}

BOOL WINAPI DeleteMenu(HMENU hMenu, UINT uPosition, UINT uFlags)
{
    auto lock = Lock();
    auto& items = LivePopup(hMenu, uFlags, "DeleteMenu").items;
    for (auto it = items.begin(); it != items.end(); ++it)
    {
        if (it->first == uPosition)
        {
            items.erase(it);
            return TRUE;
        }
    }
    return FALSE;
}

BOOL WINAPI EnableMenuItem(HMENU hMenu, UINT uIDEnableItem, UINT uEnable)
{
    auto lock = Lock();
    for (auto& [command, grayed] : LivePopup(hMenu, uEnable, "EnableMenuItem").items)
    {
        if (command == uIDEnableItem)
        {
            BOOL previous = grayed ? MF_GRAYED : MF_ENABLED;
            grayed = (uEnable & MF_GRAYED) != 0;
            return previous;
        }
    }
    return -1;
}

BOOL WINAPI GetCursorPos(LPPOINT lpPoint)
{
    lpPoint->x = 100;
    lpPoint->y = 100;
    return TRUE;
}

BOOL WINAPI TrackPopupMenu(HMENU hMenu, UINT uFlags, int, int, int, HWND hWnd, const RECT*)
{
    auto lock = Lock();
    bool isPopup = false;
    if (!IsLiveMenu(hMenu, &isPopup) || !isPopup)
    {
        Violation("TrackPopupMenu of %p, which is not a live popup", static_cast<void*>(hMenu));
    }
    SimWindow* owner = FindWindowLocked(hWnd);
    if (owner == nullptr || !owner->alive)
    {
        Violation("TrackPopupMenu with owner %p, which is not a window", static_cast<void*>(hWnd));
    }
    const PopupItems& popup = I().popupItems[hMenu];
    D().trackedMenus.push_back(TrackedMenu{popup.items, popup.defaultItem, hWnd});
    UINT command = D().trackPopupCommand;
    if ((uFlags & TPM_RETURNCMD) != 0)
    {
        return static_cast<BOOL>(command);
    }
    return command != 0 ? TRUE : FALSE;
}
