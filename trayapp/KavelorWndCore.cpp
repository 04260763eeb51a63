// CKavelorWndCore: the scan results, the refresh timer, the re-enable prompt, the busy guards and the
// list's commands.
#include "trayapp/KavelorWndCore.h"

#include "enumlib/FilterState.h"
#include "enumlib/WideString.h"
#include "trayapp/KavelorMessages.h"
#include "trayapp/KavsetJob.h"
#include "trayapp/ResourceText.h"
#include "trayapp/ScanResultCompare.h"
#include "trayapp/res/resource.h"

#include <cfgmgr32.h>

namespace Kavelor
{
namespace
{
// m_bBusy for the span of one modal step. The previous value comes back afterwards rather than 0: a
// re-enable prompt can open inside the modal loop of a property dialog, and when it ends the property
// dialog is still open, so Exit must stay refused until that one ends too.
class CBusyScope
{
public:
    explicit CBusyScope(int& bBusy) : m_bBusy(bBusy), m_bSaved(bBusy) { m_bBusy = 1; }
    ~CBusyScope() { m_bBusy = m_bSaved; }
    CBusyScope(const CBusyScope&) = delete;
    CBusyScope& operator=(const CBusyScope&) = delete;

private:
    int& m_bBusy;
    int m_bSaved;
};

bool HasProblemNode(const CUSBEnumerateExData& record)
{
    for (const CUSBEnumerateExTree* node = &record.treeDevice; node != nullptr; node = node->NextPreOrder())
    {
        if ((node->data.ulStatus & DN_HAS_PROBLEM) != 0)
        {
            return true;
        }
    }
    return false;
}
} // namespace

CKavelorWndCore::CKavelorWndCore(HINSTANCE hInstance, IScanRequests& scan, IKavelorWndUi& ui)
    : m_hWnd(nullptr), m_refreshTimer(0), m_bBusy(0), m_hInstance(hInstance), m_scan(scan), m_ui(ui)
{
}

void CKavelorWndCore::OnScanUpdate()
{
    CUSBEnumerateExList devices;
    m_scan.CopyResults(devices);
    if (IsSameResult(devices, m_devices))
    {
        if (NeedsReenable(nullptr))
        {
            PostMessageW(m_hWnd, WM_REENABLE_PROMPT, 0, 0);
        }
        return;
    }
    m_devices.swap(devices);
    ForgetSettledOffers();
    RefreshList(0);
    // The filter may be missing only for the moment a device restarts: the prompt waits until a further
    // scan sees the same.
    if (NeedsReenable(nullptr))
    {
        m_scan.RequestScan();
    }
}

void CKavelorWndCore::RefreshList(int nMode)
{
    if (!m_ui.HasListView())
    {
        return;
    }
    if (nMode == 1)
    {
        if (m_refreshTimer != 0)
        {
            m_ui.StopRefreshTimer(m_refreshTimer);
            m_refreshTimer = 0;
        }
        m_ui.FillList(m_devices);
    }
    else if (m_refreshTimer == 0)
    {
        m_refreshTimer = m_ui.StartRefreshTimer();
    }
}

BOOL CKavelorWndCore::OnTimer(UINT_PTR nIdEvent)
{
    if (m_refreshTimer == 0 || nIdEvent != m_refreshTimer)
    {
        return FALSE;
    }
    RefreshList(1);
    return TRUE;
}

void CKavelorWndCore::OnRefreshKey()
{
    m_scan.RequestScan();
    RefreshList(1);
}

void CKavelorWndCore::OnReenablePrompt()
{
    // A prompt already open further up the call stack (reached through its modal loop) answers for both.
    bool bFirst = m_reenablePrompt.Update([](int& nValue) {
        if (nValue == 1)
        {
            return false;
        }
        nValue = 1;
        return true;
    });
    if (!bFirst)
    {
        return;
    }
    CUSBEnumerateExData device;
    if (NeedsReenable(&device) && GetFilterState(device) != FILTER_STATE_ENABLED)
    {
        // Offered once per loss of the filter, whatever the answer.
        m_offered.insert(ToUpper(device.treeDevice.data.strDeviceInstanceId));
        CBusyScope busy(m_bBusy);
        // OK, with the shield, goes on to Kavset and the elevation prompt. Closing the box (its close box
        // or Esc, which a box with only OK would report as OK) means "not now". A box that could not be
        // shown at all declines nothing: the elevation prompt still asks.
        int nAnswer = m_ui.ShieldMessageBox(m_hWnd, LoadText(m_hInstance, IDS_REENABLE_NEEDED),
                                            LoadText(m_hInstance, IDS_CAPTION), MB_OKCANCEL, IDOK);
        if (nAnswer != IDCANCEL)
        {
            CKavsetJob job(m_hInstance, KAVSET_MODE_ENABLE, device);
            m_ui.RunWorkingDialog(m_hWnd, job);
            m_scan.RequestScan();
            ShowJobMessage(m_hWnd, job);
        }
    }
    m_reenablePrompt.Set(0);
}

void CKavelorWndCore::OnTrayRightClick()
{
    if (!m_bBusy)
    {
        m_ui.ShowTrayMenu();
    }
}

void CKavelorWndCore::OnExit()
{
    if (!m_bBusy)
    {
        m_ui.CloseMainWindow();
    }
}

void CKavelorWndCore::OnVersion()
{
    CBusyScope busy(m_bBusy);
    m_ui.RunAboutDialog();
}

BOOL CKavelorWndCore::IsListCommandEnabled(UINT nId, BOOL bSelected, DEVINST dnSelected) const
{
    if (!bSelected)
    {
        return FALSE;
    }
    if (nId == ID_COMMAND_PROPERTIES)
    {
        return TRUE;
    }
    CUSBEnumerateExData device;
    if (!FindDeviceByDevInst(dnSelected, &device, nullptr))
    {
        return FALSE;
    }
    int nState = GetFilterState(device);
    switch (nId)
    {
    case ID_COMMAND_ENABLE:
        return nState != FILTER_STATE_ENABLED;
    case ID_COMMAND_DISABLE:
        return nState != FILTER_STATE_DEVICE_OFF;
    default:
        return FALSE;
    }
}

void CKavelorWndCore::OnListCommand(UINT nId, HWND hOwner, BOOL bSelected, DEVINST dnSelected)
{
    CUSBEnumerateExData device;
    CUSBEnumerateExTree node;
    // The list may have changed since the last fill: an item whose device is gone does nothing.
    if (!bSelected || !FindDeviceByDevInst(dnSelected, &device, &node))
    {
        return;
    }
    switch (nId)
    {
    case ID_COMMAND_ENABLE:
        if (GetFilterState(device) != FILTER_STATE_ENABLED)
        {
            RunSetting(hOwner, KAVSET_MODE_ENABLE, device);
        }
        break;
    case ID_COMMAND_DISABLE:
        if (GetFilterState(device) != FILTER_STATE_DEVICE_OFF)
        {
            RunSetting(hOwner, KAVSET_MODE_DISABLE, device);
        }
        break;
    case ID_COMMAND_PROPERTIES: {
        CBusyScope busy(m_bBusy);
        m_ui.RunPropertyDialog(hOwner, device, node);
        break;
    }
    default:
        break;
    }
}

void CKavelorWndCore::RunSetting(HWND hOwner, int nMode, const CUSBEnumerateExData& device)
{
    CBusyScope busy(m_bBusy);
    UINT nTextId = nMode == KAVSET_MODE_ENABLE ? IDS_CONFIRM_ENABLE : IDS_CONFIRM_DISABLE;
    int nAnswer =
        m_ui.ShieldMessageBox(hOwner, LoadText(m_hInstance, nTextId), LoadText(m_hInstance, IDS_CAPTION),
                              MB_YESNO | MB_ICONEXCLAMATION, IDYES);
    if (nAnswer != IDYES)
    {
        return;
    }
    CKavsetJob job(m_hInstance, nMode, device);
    m_ui.RunWorkingDialog(hOwner, job);
    // Whatever Kavset did (or whether it ran at all), the list must show the device as it now is.
    m_scan.RequestScan();
    ShowJobMessage(hOwner, job);
}

void CKavelorWndCore::ShowJobMessage(HWND hOwner, const CKavsetJob& job)
{
    if (!job.m_strMessage.empty())
    {
        MessageBoxW(hOwner, job.m_strMessage.c_str(), LoadText(m_hInstance, IDS_CAPTION).c_str(),
                    job.m_nMessageType);
    }
}

BOOL CKavelorWndCore::NeedsReenable(CUSBEnumerateExData* pCopy) const
{
    for (const CUSBEnumerateExData& record : m_devices)
    {
        if (!HasProblemNode(record) && GetFilterState(record) == FILTER_STATE_STORAGE_OFF &&
            m_offered.count(ToUpper(record.treeDevice.data.strDeviceInstanceId)) == 0)
        {
            if (pCopy != nullptr)
            {
                *pCopy = record;
            }
            return TRUE;
        }
    }
    return FALSE;
}

void CKavelorWndCore::ForgetSettledOffers()
{
    std::set<WString> stillLost;
    for (const CUSBEnumerateExData& record : m_devices)
    {
        WString id = ToUpper(record.treeDevice.data.strDeviceInstanceId);
        if (m_offered.count(id) != 0 && GetFilterState(record) == FILTER_STATE_STORAGE_OFF)
        {
            stillLost.insert(id);
        }
    }
    m_offered.swap(stillLost);
}

// The node is copied as a tree of its own (payload and children): the parent it had lives in m_devices,
// which the next scan result replaces, so a link to it would not outlive the dialog that holds the copy.
BOOL CKavelorWndCore::FindDeviceByDevInst(DEVINST dnDevInst, CUSBEnumerateExData* pRecord,
                                          CUSBEnumerateExTree* pNode) const
{
    for (const CUSBEnumerateExData& record : m_devices)
    {
        for (const CUSBEnumerateExTree* node = &record.treeDevice; node != nullptr;
             node = node->NextPreOrder())
        {
            if (node->data.dnDevInst != dnDevInst)
            {
                continue;
            }
            if (pRecord != nullptr)
            {
                *pRecord = record;
            }
            if (pNode != nullptr)
            {
                *pNode = CUSBEnumerateExTree(*node);
            }
            return TRUE;
        }
    }
    return FALSE;
}
} // namespace Kavelor
