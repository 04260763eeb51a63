// CKavelorListView: the list-view control, its items and its context menu.
#include "trayapp/KavelorListView.h"

#include "trayapp/DriveListItem.h"
#include "trayapp/KavelorWndCore.h"
#include "trayapp/ListContextMenu.h"
#include "trayapp/ResourceText.h"
#include "trayapp/WindowDpi.h"
#include "trayapp/res/resource.h"

#include <commctrl.h>

namespace Kavelor
{
CKavelorListView::CKavelorListView(HINSTANCE hInstance, CKavelorWndCore& core)
    : m_hWnd(nullptr), m_hInstance(hInstance), m_core(core), m_hFont(nullptr)
{
}

CKavelorListView::~CKavelorListView()
{
    Destroy();
    if (m_hFont != nullptr)
    {
        DeleteObject(m_hFont);
    }
}

void CKavelorListView::Destroy()
{
    if (m_hWnd != nullptr)
    {
        DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
    }
}

// The image list belongs to the icon list, which destroys it; a list view without LVS_SHAREIMAGELISTS
// would destroy it as well when the window goes.
BOOL CKavelorListView::Create(HWND hParent, UINT nId)
{
    m_hWnd = CreateWindowExW(0, WC_LISTVIEWW, nullptr,
                             WS_CHILD | WS_VISIBLE | WS_BORDER | LVS_ICON | LVS_SINGLESEL |
                                 LVS_SHOWSELALWAYS | LVS_AUTOARRANGE | LVS_SHAREIMAGELISTS,
                             0, 0, 0, 0, hParent, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(nId)),
                             m_hInstance, nullptr);
    if (m_hWnd == nullptr)
    {
        return FALSE;
    }
    m_strEmptyText = LoadText(m_hInstance, IDS_EMPTY_LIST);
    SetWindowSubclass(m_hWnd, SubclassProc, 0, reinterpret_cast<DWORD_PTR>(this));
    SetupIcons(GetWindowDpi(hParent));
    return TRUE;
}

// Without an image list of our own the items show without images.
void CKavelorListView::SetupIcons(UINT nDpi)
{
    HFONT hFont = CreateIconTitleFont(nDpi);
    if (hFont != nullptr)
    {
        SendMessageW(m_hWnd, WM_SETFONT, reinterpret_cast<WPARAM>(hFont), TRUE);
        if (m_hFont != nullptr)
        {
            DeleteObject(m_hFont);
        }
        m_hFont = hFont;
    }
    HIMAGELIST hImages = m_icons.Create(m_hInstance, GetSystemMetricForDpi(SM_CXICON, nDpi),
                                        GetSystemMetricForDpi(SM_CYICON, nDpi))
                             ? m_icons.m_hImageList
                             : nullptr;
    SendMessageW(m_hWnd, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(hImages));
}

void CKavelorListView::OnDpiChanged(UINT nDpi, const CUSBEnumerateExList& devices)
{
    if (m_hWnd == nullptr)
    {
        return;
    }
    SetupIcons(nDpi);
    FillList(devices);
}

// Every item goes in at position 0, so the auto-arranged icons show in the reverse order of the walk. The
// list is refilled after every changed scan and on every drive notification: the selected drive stays
// selected (and with it the commands the user is about to choose), and the view stays where it was.
void CKavelorListView::FillList(const CUSBEnumerateExList& devices)
{
    if (m_hWnd == nullptr)
    {
        return;
    }
    CDriveListItem selected;
    DEVINST dnSelected = 0;
    BOOL bSelected = FALSE;
    if (GetSelectedDevInst(dnSelected))
    {
        for (const CDriveListItem& entry : m_items)
        {
            if (entry.dnDevInst == dnSelected)
            {
                selected = entry;
                bSelected = TRUE;
                break;
            }
        }
    }
    POINT before = {};
    SendMessageW(m_hWnd, LVM_GETORIGIN, 0, reinterpret_cast<LPARAM>(&before));

    SendMessageW(m_hWnd, WM_SETREDRAW, FALSE, 0);
    SendMessageW(m_hWnd, LVM_DELETEALLITEMS, 0, 0);
    m_items = MakeDriveListItems(devices);
    for (const CDriveListItem& entry : m_items)
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
    if (bSelected)
    {
        SelectSameDrive(selected);
    }
    POINT after = {};
    SendMessageW(m_hWnd, LVM_GETORIGIN, 0, reinterpret_cast<LPARAM>(&after));
    if (after.x != before.x || after.y != before.y)
    {
        SendMessageW(m_hWnd, LVM_SCROLL, static_cast<WPARAM>(before.x - after.x), before.y - after.y);
    }
    SendMessageW(m_hWnd, WM_SETREDRAW, TRUE, 0);
    // The grey text of an empty list is centred: all of it is drawn again.
    InvalidateRect(m_hWnd, nullptr, TRUE);
}

void CKavelorListView::SelectSameDrive(const CDriveListItem& selected)
{
    int nAt = FindSameDriveListItem(m_items, selected);
    if (nAt < 0)
    {
        return;
    }
    LVFINDINFOW find = {};
    find.flags = LVFI_PARAM;
    find.lParam = static_cast<LPARAM>(m_items[static_cast<size_t>(nAt)].dnDevInst);
    int nItem = static_cast<int>(
        SendMessageW(m_hWnd, LVM_FINDITEMW, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&find)));
    if (nItem < 0)
    {
        return;
    }
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    state.state = LVIS_SELECTED | LVIS_FOCUSED;
    SendMessageW(m_hWnd, LVM_SETITEMSTATE, static_cast<WPARAM>(nItem), reinterpret_cast<LPARAM>(&state));
}

// Over what the control painted (its background only, without items), in the control's font and
// background, so that repeated paints do not thicken the text.
void CKavelorListView::DrawEmptyText()
{
    RECT client = {};
    GetClientRect(m_hWnd, &client);
    HDC hdc = GetDC(m_hWnd);
    if (hdc == nullptr)
    {
        return;
    }
    HFONT hFont = reinterpret_cast<HFONT>(SendMessageW(m_hWnd, WM_GETFONT, 0, 0));
    HGDIOBJ hOldFont = hFont != nullptr ? SelectObject(hdc, hFont) : nullptr;
    COLORREF background = static_cast<COLORREF>(SendMessageW(m_hWnd, LVM_GETBKCOLOR, 0, 0));
    SetBkColor(hdc, background == CLR_NONE ? GetSysColor(COLOR_WINDOW) : background);
    SetBkMode(hdc, OPAQUE);
    SetTextColor(hdc, GetSysColor(COLOR_GRAYTEXT));
    TEXTMETRICW metrics = {};
    GetTextMetricsW(hdc, &metrics);
    RECT text = client;
    text.left += metrics.tmAveCharWidth;
    text.right -= metrics.tmAveCharWidth;
    text.top += metrics.tmHeight;
    DrawTextW(hdc, m_strEmptyText.c_str(), -1, &text, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
    if (hOldFont != nullptr)
    {
        SelectObject(hdc, hOldFont);
    }
    ReleaseDC(m_hWnd, hdc);
}

LRESULT CALLBACK CKavelorListView::SubclassProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam,
                                                UINT_PTR uIdSubclass, DWORD_PTR dwRefData)
{
    CKavelorListView* pView = reinterpret_cast<CKavelorListView*>(dwRefData);
    switch (nMsg)
    {
    case WM_PAINT: {
        LRESULT result = DefSubclassProc(hWnd, nMsg, wParam, lParam);
        if (SendMessageW(hWnd, LVM_GETITEMCOUNT, 0, 0) == 0 && !pView->m_strEmptyText.empty())
        {
            pView->DrawEmptyText();
        }
        return result;
    }
    case WM_SIZE:
        InvalidateRect(hWnd, nullptr, TRUE);
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(hWnd, SubclassProc, uIdSubclass);
        break;
    default:
        break;
    }
    return DefSubclassProc(hWnd, nMsg, wParam, lParam);
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

void CKavelorListView::OnContextMenu()
{
    DEVINST dnDevInst = 0;
    if (GetSelectedDevInst(dnDevInst))
    {
        TrackListContextMenu(m_hInstance, m_hWnd, GetParent(m_hWnd),
                             [this](UINT nId) { return IsCommandEnabled(nId); });
    }
}
} // namespace Kavelor
