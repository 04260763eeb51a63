// CPropatyDlg: the volume facts read from the system, the texts made by MakePropertyValues.
#include "trayapp/PropatyDlg.h"

#include "trayapp/ResourceText.h"
#include "trayapp/res/resource.h"

#include <shellapi.h>

namespace Kavelor
{
namespace
{
const DWORD kVolumeTextChars = 512;
// The speed-up group follows the device's I/O at this pace; the reads behind it are a few registry values.
const UINT_PTR kSpeedUpTimerId = 1;
const UINT kSpeedUpRefreshMs = 1000;
} // namespace

CPropatyDlg::CPropatyDlg(HINSTANCE hInstance, const CUSBEnumerateExData& device,
                         const CUSBEnumerateExTree& node)
    : CDialog(hInstance, IDD_PROPERTIES), m_device(device), m_pNode(node), m_nSpeedUpTimer(0)
{
}

CVolumeFacts ReadVolumeFacts(WCHAR chDriveLetter)
{
    CVolumeFacts facts;
    WString strRoot = DriveRoot(chDriveLetter);
    SHFILEINFOW info = {};
    if (SHGetFileInfoW(strRoot.c_str(), 0, &info, sizeof(info), SHGFI_DISPLAYNAME) != 0)
    {
        facts.strDisplayName = TextInBuffer(info.szDisplayName, MAX_PATH);
    }
    // A card reader without card would otherwise make Windows ask the user to insert one.
    UINT nOldMode = SetErrorMode(SEM_FAILCRITICALERRORS);
    WCHAR szVolumeName[kVolumeTextChars] = {};
    WCHAR szFileSystem[kVolumeTextChars] = {};
    // A drive without medium fails here: both texts stay empty.
    if (GetVolumeInformationW(strRoot.c_str(), szVolumeName, kVolumeTextChars, nullptr, nullptr, nullptr,
                              szFileSystem, kVolumeTextChars))
    {
        facts.strVolumeName = TextInBuffer(szVolumeName, kVolumeTextChars);
        facts.strFileSystem = TextInBuffer(szFileSystem, kVolumeTextChars);
    }
    ULARGE_INTEGER total = {};
    if (GetDiskFreeSpaceExW(strRoot.c_str(), nullptr, &total, nullptr))
    {
        facts.ullTotalBytes = total.QuadPart;
    }
    SetErrorMode(nOldMode);
    return facts;
}

BOOL CPropatyDlg::OnInitDialog()
{
    WCHAR chLetter = m_pNode.data.chDriveLetter;
    CPropertyValues values = MakePropertyValues(m_hInstance, m_device, chLetter, ReadVolumeFacts(chLetter));
    SetWindowTextW(m_hWnd, values.strCaption.c_str());
    SetItemText(IDC_VOLUME_NAME, values.strVolumeName.c_str());
    SetItemText(IDC_FILE_SYSTEM, values.strFileSystem.c_str());
    SetItemText(IDC_CAPACITY, values.strCapacity.c_str());
    SetItemText(IDC_KAVELOR_STATE, values.strKavelorState.c_str());
    SetItemText(IDC_VENDOR_ID, values.strVendorId.c_str());
    SetItemText(IDC_PRODUCT_ID, values.strProductId.c_str());
    SetItemText(IDC_SPEEDUP_GROUP, LoadText(m_hInstance, IDS_SPEEDUP_GROUP).c_str());
    SetItemText(IDC_SPEEDUP_SAVED_LABEL, LoadText(m_hInstance, IDS_SPEEDUP_COMMANDS_SAVED).c_str());
    SetItemText(IDC_SPEEDUP_CACHED_LABEL, LoadText(m_hInstance, IDS_SPEEDUP_CACHED_DATA).c_str());
    ShowSpeedUp();
    // Without the timer the group keeps what it showed at the start: still true, only not followed.
    m_nSpeedUpTimer = SetTimer(m_hWnd, kSpeedUpTimerId, kSpeedUpRefreshMs, nullptr);
    return TRUE;
}

INT_PTR CPropatyDlg::DialogProc(UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg)
    {
    case WM_TIMER:
        OnTimer(static_cast<UINT_PTR>(wParam));
        return TRUE;
    case WM_DESTROY:
        OnDestroy();
        break;
    default:
        break;
    }
    return CDialog::DialogProc(nMsg, wParam, lParam);
}

void CPropatyDlg::OnTimer(UINT_PTR nIdEvent)
{
    if (nIdEvent == kSpeedUpTimerId)
    {
        ShowSpeedUp();
    }
}

// The refresh stops before the controls it writes to go; no WM_TIMER reaches a dialog being torn down.
void CPropatyDlg::OnDestroy()
{
    if (m_nSpeedUpTimer != 0)
    {
        KillTimer(m_hWnd, m_nSpeedUpTimer);
        m_nSpeedUpTimer = 0;
    }
}

// Only a text that changed is set again: a static control repaints on every SetWindowText, which would
// flicker once a second while the device is idle.
void CPropatyDlg::ShowSpeedUp()
{
    CSpeedUpValues values = MakeSpeedUpValues(m_hInstance, m_device);
    const struct
    {
        int nId;
        const WString& strNew;
        WString& strShown;
    } items[] = {{IDC_COMMANDS_SAVED, values.strCommandsSaved, m_speedUpShown.strCommandsSaved},
                 {IDC_CACHED_DATA, values.strCachedData, m_speedUpShown.strCachedData},
                 {IDC_SPEEDUP_NOTE, values.strNote, m_speedUpShown.strNote}};
    for (const auto& item : items)
    {
        if (item.strNew != item.strShown)
        {
            SetItemText(item.nId, item.strNew.c_str());
            item.strShown = item.strNew;
        }
    }
}
} // namespace Kavelor
