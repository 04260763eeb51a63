// CUSBEnumerateEx: the device list both applications work with. The walk of CUSBEnumerateBase calls it for
// every non-hub device; each becomes one CUSBEnumerateExData holding the tree of the device nodes that
// belong to the device (interfaces, USBSTOR disks, the volumes that depend on them) with their properties
// and drive letters. With m_bTargetOnly set only supported USB mass-storage devices are listed.
#pragma once

#include "enumlib/EnumerateData.h"
#include "enumlib/SupportedDevices.h"
#include "enumlib/USBEnumerateBase.h"

namespace Kavelor
{
// True when the record's IDs are in the table (or the table is empty).
bool IsSupportedDevice(const CUSBEnumerateData& record, const SUPPORTED_DEVICE* pTable = g_supportedDevices);
// True when the root is a USB device node with a USBSTOR node somewhere below it.
bool IsMassStorageDevice(const CUSBEnumerateExData& record);
// Vendor and product ID and serial number from a "USB\VID_x&PID_y\serial" instance ID (a generated
// serial, one with "&", reads as empty), and the location information. False only for node 0.
bool ParseUsbInstanceId(DEVINST dnDevInst, WORD& wVendorId, WORD& wProductId, WString& strSerialNumber,
                        WString& strLocation);

class CUSBEnumerateEx : public CUSBEnumerateBase
{
public:
    explicit CUSBEnumerateEx(CUSBEnumerateExList* pDeviceList);
    ~CUSBEnumerateEx() override;

    // Refills the caller's list: volumes first (for the drive letters), then the walk.
    void Enumerate() override;

    BOOL m_bTargetOnly;

protected:
    void OnDevNodeDevice(DEVINST dnDevInst) override;
    void OnPortDevice(CUSBIoControl& hub, ULONG ulPort,
                      const USB_NODE_CONNECTION_INFORMATION_EX& info) override;

    virtual CONFIGRET BuildTree(DEVINST dnDevInst, bool bWithSiblings, CUSBEnumerateExTree* pNode);
    virtual void FillTreeData(DEVINST dnDevInst, CUSBEnumerateExTree* pNode);
    virtual int AddDevice(const CUSBEnumerateExData& record);
    virtual int IsTargetDevice(const CUSBEnumerateExData& record);

    CUSBEnumerateExList* m_pDeviceList;
    CVolumeEnumerateList m_volumes;

private:
    void AppendRemovalRelations(CUSBEnumerateExTree* pNode);
};
} // namespace Kavelor
