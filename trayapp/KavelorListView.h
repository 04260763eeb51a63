// CKavelorListView: the device list below the toolbar — one large icon per drive letter of each supported
// USB stick, with the overlay of its device's filter state, and the per-device commands Enable, Disable
// and Properties from the toolbar, its context menu or a double click. Each item carries the device-node
// handle of its drive node; what the commands do is decided by the main window's logic. A refill keeps
// the selected drive selected (found again by its device's USB node and its letter) and the view where it
// was scrolled to; an empty list says in grey why it is empty.
#pragma once

#include "enumlib/EnumerateData.h"
#include "trayapp/DriveLetterIconList.h"
#include "trayapp/DriveListItem.h"

#include <windows.h>

#include <vector>

namespace Kavelor
{
class CKavelorWndCore;

class CKavelorListView
{
public:
    CKavelorListView(HINSTANCE hInstance, CKavelorWndCore& core);
    ~CKavelorListView();
    CKavelorListView(const CKavelorListView&) = delete;
    CKavelorListView& operator=(const CKavelorListView&) = delete;

    BOOL Create(HWND hParent, UINT nId);
    void FillList(const CUSBEnumerateExList& devices);
    // The window moved to a monitor of another DPI: icons and font at the new size, the items again.
    void OnDpiChanged(UINT nDpi, const CUSBEnumerateExList& devices);
    // The device-node handle of the selected item; false when none is selected.
    BOOL GetSelectedDevInst(DEVINST& dnDevInst) const;
    BOOL GetSelectedDevice(CUSBEnumerateExData* pRecord, CUSBEnumerateExTree* pNode) const;
    // The commands this view handles (32776 to 32778); false for any other.
    BOOL OnCommand(UINT nId);
    BOOL IsCommandEnabled(UINT nId) const;
    void OnDoubleClick();
    void OnContextMenu();
    void Destroy();

    HWND m_hWnd;

private:
    static LRESULT CALLBACK SubclassProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam,
                                         UINT_PTR uIdSubclass, DWORD_PTR dwRefData);
    void SetupIcons(UINT nDpi);
    void SelectSameDrive(const CDriveListItem& selected);
    void DrawEmptyText();

    HINSTANCE m_hInstance;
    CKavelorWndCore& m_core;
    CDriveLetterIconList m_icons;
    // The items of the last fill, in the order they went in.
    std::vector<CDriveListItem> m_items;
    WString m_strEmptyText;
    HFONT m_hFont;
};
} // namespace Kavelor
