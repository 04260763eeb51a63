// The records the enumeration produces and both applications consume: one USB device with the tree of its
// device nodes, and one drive letter with its volume. Plain value types: copying a record copies its whole
// tree, and the copy is independent of the source.
#pragma once

#include "enumlib/Tree.h"
#include "enumlib/WideString.h"

#include <windows.h>
#include <cfgmgr32.h>

#include <list>

namespace Kavelor
{
// One USB device as seen on a hub port.
class CUSBEnumerateData
{
public:
    CUSBEnumerateData() = default;
    CUSBEnumerateData(const CUSBEnumerateData&) = default;
    CUSBEnumerateData(CUSBEnumerateData&&) = default;
    CUSBEnumerateData& operator=(const CUSBEnumerateData&) = default;
    CUSBEnumerateData& operator=(CUSBEnumerateData&&) = default;
    virtual ~CUSBEnumerateData() = default;

    WORD wVendorId = 0;
    WORD wProductId = 0;
    WString strExtra;
    WString strLocation;
    WString strSerialNumber;
};

// One device node of the configuration manager, as a tree payload. A property that cannot be read leaves
// its field as constructed (0 or empty).
class CUSBEnumerateExTreeData
{
public:
    CUSBEnumerateExTreeData() = default;
    CUSBEnumerateExTreeData(const CUSBEnumerateExTreeData&) = default;
    CUSBEnumerateExTreeData(CUSBEnumerateExTreeData&&) = default;
    CUSBEnumerateExTreeData& operator=(const CUSBEnumerateExTreeData&) = default;
    CUSBEnumerateExTreeData& operator=(CUSBEnumerateExTreeData&&) = default;
    virtual ~CUSBEnumerateExTreeData() = default;

    DEVINST dnDevInst = 0;
    WCHAR chDriveLetter = 0;
    WString strDeviceInstanceId;
    WString strEnumeratorName;
    WString strFriendlyName;
    WString strDeviceDesc;
    WString strClassGuid;
    std::list<WString> lstLowerFilters;
    std::list<WString> lstUpperFilters;
    ULONG ulStatus = 0;
    ULONG ulProblemNumber = 0;
};

typedef CTree<CUSBEnumerateExTreeData> CUSBEnumerateExTree;

// A USB device with the tree of the device nodes below it; the root is the USB device's own node.
class CUSBEnumerateExData : public CUSBEnumerateData
{
public:
    CUSBEnumerateExTree treeDevice;
};

// One drive letter and the volume behind it.
class CVolumeEnumerateData
{
public:
    CVolumeEnumerateData() = default;
    CVolumeEnumerateData(const CVolumeEnumerateData&) = default;
    CVolumeEnumerateData(CVolumeEnumerateData&&) = default;
    CVolumeEnumerateData& operator=(const CVolumeEnumerateData&) = default;
    CVolumeEnumerateData& operator=(CVolumeEnumerateData&&) = default;
    virtual ~CVolumeEnumerateData() = default;

    WCHAR chDriveLetter = 0;
    WString strVolumeName;
    WString strInterfacePath;
    WString strDeviceInstanceId;
};

typedef std::list<CUSBEnumerateExData> CUSBEnumerateExList;
typedef std::list<CVolumeEnumerateData> CVolumeEnumerateList;
} // namespace Kavelor
