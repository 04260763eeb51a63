// CKavelorWndCore: what Kavelor's main window and its device list decide, apart from their controls — the
// devices shown and when the list is refilled (a changed scan result refills it once, a second later,
// however many follow in that second), when the user is offered to enable a device again (only after one
// more scan returned the same result, never for a device with a problem node, never twice at once, and
// once per loss of the filter), the
// list's commands and when they are allowed, and the busy state that keeps the tray menu and Exit away
// while one of the window's modal steps runs. The controls and dialogs come through IKavelorWndUi.
#pragma once

#include "enumlib/EnumerateData.h"
#include "trayapp/KavelorWndUi.h"
#include "trayapp/ScanRequests.h"
#include "trayapp/SemaphoreValue.h"

#include <windows.h>

#include <set>

namespace Kavelor
{
const UINT_PTR REFRESH_TIMER_ID = 16;
const UINT REFRESH_TIMER_MILLISECONDS = 1000;

class CKavelorWndCore
{
public:
    CKavelorWndCore(HINSTANCE hInstance, IScanRequests& scan, IKavelorWndUi& ui);
    virtual ~CKavelorWndCore() = default;
    CKavelorWndCore(const CKavelorWndCore&) = delete;
    CKavelorWndCore& operator=(const CKavelorWndCore&) = delete;

    // The main window: the re-enable prompt is posted to it and owned by it.
    void Attach(HWND hWnd) { m_hWnd = hWnd; }

    // WM_SCAN_UPDATE from the enumeration thread.
    void OnScanUpdate();
    // 1: refill now from m_devices; 0: refill when the refresh timer fires, starting it unless pending.
    void RefreshList(int nMode);
    // WM_TIMER; true when it was the refresh timer.
    BOOL OnTimer(UINT_PTR nIdEvent);
    // F5: a new scan, and the list rebuilt at once from what is known.
    void OnRefreshKey();
    // WM_REENABLE_PROMPT.
    void OnReenablePrompt();
    void OnTrayRightClick();
    // Command 32774.
    void OnExit();
    // Command 32779.
    void OnVersion();

    // The list view's commands 32776 to 32778 for its selected item (bSelected false: none selected), and
    // their enabling. hOwner is the list view, which owns the confirmation and the messages.
    BOOL IsListCommandEnabled(UINT nId, BOOL bSelected, DEVINST dnSelected) const;
    void OnListCommand(UINT nId, HWND hOwner, BOOL bSelected, DEVINST dnSelected);

    // The first record of m_devices whose storage filter was lost, none of whose nodes has a problem, and
    // that was not offered since it lost the filter.
    BOOL NeedsReenable(CUSBEnumerateExData* pCopy) const;
    // The record (and the node) of m_devices that holds the device node.
    BOOL FindDeviceByDevInst(DEVINST dnDevInst, CUSBEnumerateExData* pRecord,
                             CUSBEnumerateExTree* pNode) const;

    HWND m_hWnd;
    UINT_PTR m_refreshTimer;
    int m_bBusy;
    CUSBEnumerateExList m_devices;
    CSemaphoreValue<int> m_reenablePrompt;

private:
    // Keeps only the offers whose device is still listed without its storage filter: a device repaired, or
    // gone, may be offered again when it loses the filter next time.
    void ForgetSettledOffers();

    void RunSetting(HWND hOwner, int nMode, const CUSBEnumerateExData& device);
    void ShowJobMessage(HWND hOwner, const CKavsetJob& job);

    HINSTANCE m_hInstance;
    IScanRequests& m_scan;
    IKavelorWndUi& m_ui;
    // USB device nodes' instance IDs (upper case) offered for re-enabling while they stay without their
    // storage filter. Without it a Kavset that cannot run (missing, elevation refused, failing) would bring
    // the prompt back after every scan, and the user could never leave it.
    std::set<WString> m_offered;
};
} // namespace Kavelor
