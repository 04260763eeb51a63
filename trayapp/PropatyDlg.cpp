// CPropatyDlg: the volume facts read from the system, the texts made by MakePropertyValues.
#include "trayapp/PropatyDlg.h"

#include "trayapp/res/resource.h"

#include <shellapi.h>

namespace Kavelor
{
namespace
{
const DWORD kVolumeTextChars = 512;
} // namespace

CPropatyDlg::CPropatyDlg(HINSTANCE hInstance, const CUSBEnumerateExData& device,
                         const CUSBEnumerateExTree& node)
    : CDialog(hInstance, IDD_PROPERTIES), m_device(device), m_pNode(node)
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
    return TRUE;
}
} // namespace Kavelor
