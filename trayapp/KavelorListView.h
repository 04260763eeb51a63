// CKavelorListView: the device list below the toolbar — one large icon per drive letter of each supported
// USB stick, with the overlay of its device's filter state, and the per-device commands Enable, Disable
// and Properties from the toolbar, its context menu or a double click. Each item carries the device-node
// handle of its drive node; what the commands do is decided by the main window's logic.
#pragma once

#include "enumlib/EnumerateData.h"
#include "trayapp/DriveLetterIconList.h"

#include <windows.h>

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
    HINSTANCE m_hInstance;
    CKavelorWndCore& m_core;
    CDriveLetterIconList m_icons;
};
} // namespace Kavelor
