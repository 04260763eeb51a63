// CDriveLetterIconList: the shell's drive icons by letter and the overlays.
#include "trayapp/DriveLetterIconList.h"

#include "trayapp/DriveListItem.h"
#include "trayapp/PropertyValues.h"
#include "trayapp/res/resource.h"

#include <shellapi.h>

namespace Kavelor
{
namespace
{
// The setup library's pictures for a device with a problem (501) and a disabled one (500).
const UINT kSetupIconDeviceOff = 501;
const UINT kSetupIconStorageOff = 500;

WCHAR LowerLetter(WCHAR chLetter)
{
    return chLetter >= 'A' && chLetter <= 'Z' ? static_cast<WCHAR>(chLetter - 'A' + 'a') : chLetter;
}
} // namespace

CDriveLetterIconList::CDriveLetterIconList() : m_hImageList(nullptr), m_bCreated(FALSE), m_cx(0), m_cy(0) {}

CDriveLetterIconList::~CDriveLetterIconList()
{
    Destroy();
}

void CDriveLetterIconList::Destroy()
{
    if (m_hImageList != nullptr)
    {
        ImageList_Destroy(m_hImageList);
        m_hImageList = nullptr;
    }
    m_letters.clear();
    m_bCreated = FALSE;
}

BOOL CDriveLetterIconList::Create(HINSTANCE hInstance, int cx, int cy)
{
    Destroy();
    m_hImageList = ImageList_Create(cx, cy, ILC_COLOR32 | ILC_MASK, 0, 1);
    if (m_hImageList == nullptr)
    {
        return FALSE;
    }
    m_cx = cx;
    m_cy = cy;
    m_bCreated = TRUE;
    HMODULE hSetup = LoadLibraryW(TEXT("setupapi.dll"));
    if (hSetup != nullptr)
    {
        AddOverlay(hSetup, kSetupIconDeviceOff, hInstance, IDI_OVERLAY_DEVICE_OFF, OVERLAY_DEVICE_OFF);
        AddOverlay(hSetup, kSetupIconStorageOff, hInstance, IDI_OVERLAY_STORAGE_OFF, OVERLAY_STORAGE_OFF);
        FreeLibrary(hSetup);
    }
    return TRUE;
}

// A setup library without these pictures (Wine's has none) gets Kavelor's own two in their place.
void CDriveLetterIconList::AddOverlay(HMODULE hModule, UINT nIconId, HINSTANCE hInstance, UINT nOwnIconId,
                                      int nOverlay)
{
    HICON hIcon = static_cast<HICON>(
        LoadImageW(hModule, MAKEINTRESOURCEW(nIconId), IMAGE_ICON, m_cx, m_cy, LR_DEFAULTCOLOR));
    if (hIcon == nullptr)
    {
        hIcon = static_cast<HICON>(
            LoadImageW(hInstance, MAKEINTRESOURCEW(nOwnIconId), IMAGE_ICON, m_cx, m_cy, LR_DEFAULTCOLOR));
    }
    if (hIcon == nullptr)
    {
        return;
    }
    int nIndex = ImageList_AddIcon(m_hImageList, hIcon);
    if (nIndex >= 0)
    {
        ImageList_SetOverlayImage(m_hImageList, nIndex, nOverlay);
    }
    DestroyIcon(hIcon);
}

int CDriveLetterIconList::GetIconIndex(WCHAR chLetter, BOOL bRefresh)
{
    auto found = m_letters.end();
    for (auto it = m_letters.begin(); it != m_letters.end(); ++it)
    {
        if (LowerLetter(it->first) == LowerLetter(chLetter))
        {
            found = it;
            break;
        }
    }
    int nIndex = found != m_letters.end() ? found->second : -1;
    if (found != m_letters.end() && !bRefresh)
    {
        return nIndex;
    }
    WString strRoot = DriveRoot(chLetter);
    SHFILEINFOW info = {};
    UINT nFlags = SHGFI_ICON | (m_bCreated ? SHGFI_LARGEICON : SHGFI_SMALLICON);
    if (SHGetFileInfoW(strRoot.c_str(), 0, &info, sizeof(info), nFlags) == 0 || info.hIcon == nullptr)
    {
        return nIndex;
    }
    if (m_hImageList != nullptr)
    {
        if (found == m_letters.end())
        {
            nIndex = ImageList_AddIcon(m_hImageList, info.hIcon);
            if (nIndex >= 0)
            {
                m_letters[chLetter] = nIndex;
            }
        }
        else
        {
            ImageList_ReplaceIcon(m_hImageList, nIndex, info.hIcon);
        }
    }
    DestroyIcon(info.hIcon);
    return nIndex;
}
} // namespace Kavelor
