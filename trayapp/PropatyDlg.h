// CPropatyDlg: the property dialog of one drive — volume name, file system and capacity of the drive
// root, whether the speed-up is on, the USB vendor and product IDs, and what the speed-up saved the device,
// read again every second while the dialog is open. It works on copies of the record and the node, so a
// device that leaves while the dialog is open changes nothing in it but the speed-up group's note.
#pragma once

#include "enumlib/EnumerateData.h"
#include "trayapp/Dialog.h"
#include "trayapp/PropertyValues.h"

namespace Kavelor
{
class CPropatyDlg : public CDialog
{
public:
    CPropatyDlg(HINSTANCE hInstance, const CUSBEnumerateExData& device, const CUSBEnumerateExTree& node);

    CUSBEnumerateExData m_device;
    // A copy of the node that holds the drive letter.
    CUSBEnumerateExTree m_pNode;

protected:
    BOOL OnInitDialog() override;
    INT_PTR DialogProc(UINT nMsg, WPARAM wParam, LPARAM lParam) override;

private:
    void OnTimer(UINT_PTR nIdEvent);
    void OnDestroy();
    void ShowSpeedUp();

    UINT_PTR m_nSpeedUpTimer;
    // What the speed-up group's three texts show now; all empty in the dialog's template.
    CSpeedUpValues m_speedUpShown;
};

// What the shell and the volume report about a drive root; nothing for a drive without medium.
CVolumeFacts ReadVolumeFacts(WCHAR chDriveLetter);
} // namespace Kavelor
