// CKavelorListView: the list-view control, its items and its context menu.
#include "trayapp/KavelorListView.h"

#include "trayapp/DriveListItem.h"
#include "trayapp/KavelorWndCore.h"
#include "trayapp/res/resource.h"

#include <commctrl.h>

namespace Kavelor
{
CKavelorListView::CKavelorListView(HINSTANCE hInstance, CKavelorWndCore& core)
    : m_hWnd(nullptr), m_hInstance(hInstance), m_core(core)
{
}

CKavelorListView::~CKavelorListView()
{
    Destroy();
}

void CKavelorListView::Destroy()
{
    if (m_hWnd != nullptr)
    {
        DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
    }
}

BOOL CKavelorListView::Create(HWND hParent, UINT nId)
{
    m_hWnd = CreateWindowExW(
        0, WC_LISTVIEWW, nullptr,
        WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_ICON | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_AUTOARRANGE, 0,
        0, 0, 0, hParent, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(nId)), m_hInstance, nullptr);
    if (m_hWnd == nullptr)
    {
        return FALSE;
    }
    // Without an image list of our own the items show without images.
    if (m_icons.Create(m_hInstance))
    {
        SendMessageW(m_hWnd, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(m_icons.m_hImageList));
    }
    return TRUE;
}

// Every item goes in at position 0, so the auto-arranged icons show in the reverse order of the walk.
void CKavelorListView::FillList(const CUSBEnumerateExList& devices)
{
    if (m_hWnd == nullptr)
    {
        return;
    }
    SendMessageW(m_hWnd, LVM_DELETEALLITEMS, 0, 0);
    for (const CDriveListItem& entry : MakeDriveListItems(devices))
    {
        WString strText = entry.strText;
        LVITEMW item = {};
        item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_STATE | LVIF_PARAM;
        item.iItem = 0;
        item.pszText = &strText[0];
        item.iImage = m_icons.GetIconIndex(entry.chDriveLetter, TRUE);
        item.state = INDEXTOOVERLAYMASK(static_cast<UINT>(entry.nOverlay));
        item.stateMask = LVIS_OVERLAYMASK;
        item.lParam = static_cast<LPARAM>(entry.dnDevInst);
        SendMessageW(m_hWnd, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
}

BOOL CKavelorListView::GetSelectedDevInst(DEVINST& dnDevInst) const
{
    if (m_hWnd == nullptr)
    {
        return FALSE;
    }
    int nItem =
        static_cast<int>(SendMessageW(m_hWnd, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    if (nItem < 0)
    {
        return FALSE;
    }
    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = nItem;
    if (!SendMessageW(m_hWnd, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)))
    {
        return FALSE;
    }
    dnDevInst = static_cast<DEVINST>(item.lParam);
    return TRUE;
}

BOOL CKavelorListView::GetSelectedDevice(CUSBEnumerateExData* pRecord, CUSBEnumerateExTree* pNode) const
{
    DEVINST dnDevInst = 0;
    return GetSelectedDevInst(dnDevInst) && m_core.FindDeviceByDevInst(dnDevInst, pRecord, pNode);
}

BOOL CKavelorListView::IsCommandEnabled(UINT nId) const
{
    DEVINST dnDevInst = 0;
    BOOL bSelected = GetSelectedDevInst(dnDevInst);
    return m_core.IsListCommandEnabled(nId, bSelected, dnDevInst);
}

BOOL CKavelorListView::OnCommand(UINT nId)
{
    if (nId != ID_COMMAND_ENABLE && nId != ID_COMMAND_DISABLE && nId != ID_COMMAND_PROPERTIES)
    {
        return FALSE;
    }
    DEVINST dnDevInst = 0;
    BOOL bSelected = GetSelectedDevInst(dnDevInst);
    m_core.OnListCommand(nId, m_hWnd, bSelected, dnDevInst);
    return TRUE;
}

void CKavelorListView::OnDoubleClick()
{
    DEVINST dnDevInst = 0;
    if (GetSelectedDevInst(dnDevInst))
    {
        // Through the main window's routing, which offers the command to this view first.
        PostMessageW(GetParent(m_hWnd), WM_COMMAND, ID_COMMAND_PROPERTIES, 0);
    }
}

// The command menu without Version and Help, Properties in bold, each item enabled as its button.
void CKavelorListView::OnContextMenu()
{
    DEVINST dnDevInst = 0;
    if (!GetSelectedDevInst(dnDevInst))
    {
        return;
    }
    HMENU hMenu = LoadMenuW(m_hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME));
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
            EnableMenuItem(hPopup, nId, MF_BYCOMMAND | (IsCommandEnabled(nId) ? MF_ENABLED : MF_GRAYED));
        }
        POINT cursor = {};
        GetCursorPos(&cursor);
        SetForegroundWindow(m_hWnd);
        TrackPopupMenu(hPopup, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, GetParent(m_hWnd), nullptr);
        PostMessageW(m_hWnd, WM_NULL, 0, 0);
    }
    DestroyMenu(hMenu);
}
} // namespace Kavelor
