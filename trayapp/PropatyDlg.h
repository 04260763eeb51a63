// CPropatyDlg: the property dialog of one drive — volume name, file system and capacity of the drive
// root, whether the speed-up is on, and the USB vendor and product IDs. It works on copies of the record
// and the node, so a device that leaves while the dialog is open changes nothing in it.
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
};

// What the shell and the volume report about a drive root; nothing for a drive without medium.
CVolumeFacts ReadVolumeFacts(WCHAR chDriveLetter);
} // namespace Kavelor
