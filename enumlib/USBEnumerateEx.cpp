// The device list with device-node trees (see USBEnumerateEx.h).
#include "enumlib/USBEnumerateEx.h"

#include "enumlib/DevNodeProperty.h"
#include "enumlib/VolumeEnumerate.h"

#include <vector>

namespace Kavelor
{
namespace
{
bool IsSpace(WCHAR ch)
{
    return ch == ' ' || (ch >= '\t' && ch <= '\r');
}

int HexDigit(WCHAR ch)
{
    if (ch >= '0' && ch <= '9')
    {
        return ch - '0';
    }
    if (ch >= 'a' && ch <= 'f')
    {
        return ch - 'a' + 10;
    }
    if (ch >= 'A' && ch <= 'F')
    {
        return ch - 'A' + 10;
    }
    return -1;
}

// One "%x" conversion as the scanf family does it: blanks, a sign, an optional 0x, at least one digit.
bool ScanHex(const WString& text, size_t& at, unsigned& value)
{
    while (at < text.size() && IsSpace(text[at]))
    {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
    {
        negative = text[at] == '-';
        ++at;
    }
    if (at + 2 < text.size() && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X') &&
        HexDigit(text[at + 2]) >= 0)
    {
        at += 2;
    }
    if (at >= text.size() || HexDigit(text[at]) < 0)
    {
        return false;
    }
    value = 0;
    while (at < text.size() && HexDigit(text[at]) >= 0)
    {
        value = value * 16 + static_cast<unsigned>(HexDigit(text[at]));
        ++at;
    }
    if (negative)
    {
        value = 0u - value;
    }
    return true;
}

bool ScanLiteral(const WString& text, size_t& at, const WCHAR* literal)
{
    for (; *literal != 0; ++literal, ++at)
    {
        if (at >= text.size() || text[at] != *literal)
        {
            return false;
        }
    }
    return true;
}

// "USB\VID_%x&PID_%x\%s": true when all three fields convert.
bool ScanUsbInstanceId(const WString& id, unsigned& vendor, unsigned& product, WString& serial)
{
    size_t at = 0;
    if (!ScanLiteral(id, at, TEXT("USB\\VID_")) || !ScanHex(id, at, vendor) ||
        !ScanLiteral(id, at, TEXT("&PID_")) || !ScanHex(id, at, product) || !ScanLiteral(id, at, TEXT("\\")))
    {
        return false;
    }
    while (at < id.size() && IsSpace(id[at]))
    {
        ++at;
    }
    size_t end = at;
    while (end < id.size() && !IsSpace(id[end]))
    {
        ++end;
    }
    if (end == at)
    {
        return false;
    }
    serial = id.substr(at, end - at);
    return true;
}

bool IsEnumerator(const CUSBEnumerateExTree& node, const WCHAR* name)
{
    return EqualsNoCase(node.data.strEnumeratorName, name);
}

// Whether the node is already somewhere in the tree that pNode belongs to.
bool IsInTree(const CUSBEnumerateExTree* pNode, DEVINST dnDevInst)
{
    const CUSBEnumerateExTree* root = pNode;
    while (root->pParent != nullptr)
    {
        root = root->pParent;
    }
    for (const CUSBEnumerateExTree* node = root; node != nullptr; node = node->NextPreOrder())
    {
        if (node->data.dnDevInst == dnDevInst)
        {
            return true;
        }
    }
    return false;
}
} // namespace

bool IsSupportedDevice(const CUSBEnumerateData& record, const SUPPORTED_DEVICE* pTable)
{
    const SUPPORTED_DEVICE* entry = pTable;
    auto isEnd = [](const SUPPORTED_DEVICE* e) {
        return e->wVendorIdLow == 0 && e->wVendorIdHigh == 0 && e->wProductIdLow == 0 &&
               e->wProductIdHigh == 0;
    };
    if (isEnd(entry))
    {
        return true;
    }
    for (; !isEnd(entry); ++entry)
    {
        if (entry->wVendorIdLow <= record.wVendorId && record.wVendorId <= entry->wVendorIdHigh &&
            entry->wProductIdLow <= record.wProductId && record.wProductId <= entry->wProductIdHigh)
        {
            return true;
        }
    }
    return false;
}

bool IsMassStorageDevice(const CUSBEnumerateExData& record)
{
    if (!IsEnumerator(record.treeDevice, TEXT("USB")))
    {
        return false;
    }
    for (const CUSBEnumerateExTree* node = record.treeDevice.NextPreOrder(); node != nullptr;
         node = node->NextPreOrder())
    {
        if (IsEnumerator(*node, TEXT("USBSTOR")))
        {
            return true;
        }
    }
    return false;
}

bool ParseUsbInstanceId(DEVINST dnDevInst, WORD& wVendorId, WORD& wProductId, WString& strSerialNumber,
                        WString& strLocation)
{
    if (dnDevInst == 0)
    {
        return false;
    }
    WString id;
    if (!GetDeviceInstanceId(dnDevInst, id))
    {
        return true;
    }
    unsigned vendor = 0;
    unsigned product = 0;
    WString serial;
    if (ScanUsbInstanceId(id, vendor, product, serial))
    {
        wVendorId = static_cast<WORD>(vendor);
        wProductId = static_cast<WORD>(product);
        // Windows makes up "n&hash&0&port" for a device without serial number: that is no serial.
        strSerialNumber = serial.find('&') == WString::npos ? serial : WString();
    }
    WString location;
    if (GetDevNodeString(CM_DRP_LOCATION_INFORMATION, dnDevInst, location))
    {
        strLocation = location;
    }
    return true;
}

CUSBEnumerateEx::CUSBEnumerateEx(CUSBEnumerateExList* pDeviceList)
    : m_bTargetOnly(0), m_pDeviceList(pDeviceList)
{
}

CUSBEnumerateEx::~CUSBEnumerateEx() = default;

void CUSBEnumerateEx::Enumerate()
{
    CVolumeEnumerate volumes(&m_volumes);
    volumes.Enumerate();
    m_pDeviceList->clear();
    CUSBEnumerateBase::Enumerate();
}

void CUSBEnumerateEx::OnPortDevice(CUSBIoControl& hub, ULONG ulPort,
                                   const USB_NODE_CONNECTION_INFORMATION_EX& info)
{
    if (info.ConnectionStatus != DeviceConnected)
    {
        return;
    }
    CUSBEnumerateExData record;
    record.wVendorId = info.DeviceDescriptor.idVendor;
    record.wProductId = info.DeviceDescriptor.idProduct;
    WString driverKey;
    if (!hub.GetNodeConnectionDriverKeyName(ulPort, driverKey))
    {
        return;
    }
    BuildTree(FindDevNodeByDriverKey(driverKey), false, &record.treeDevice);
    AddDevice(record);
}

void CUSBEnumerateEx::OnDevNodeDevice(DEVINST dnDevInst)
{
    CUSBEnumerateExData record;
    if (!ParseUsbInstanceId(dnDevInst, record.wVendorId, record.wProductId, record.strSerialNumber,
                            record.strLocation))
    {
        return;
    }
    BuildTree(dnDevInst, false, &record.treeDevice);
    AddDevice(record);
}

CONFIGRET CUSBEnumerateEx::BuildTree(DEVINST dnDevInst, bool bWithSiblings, CUSBEnumerateExTree* pNode)
{
    FillTreeData(dnDevInst, pNode);

    DEVINST child = 0;
    CONFIGRET result = CM_Get_Child(&child, dnDevInst, 0);
    if (result == CR_SUCCESS && child != 0)
    {
        // The child's call also appends the child's following siblings to pNode.
        BuildTree(child, true, pNode->AppendChild(CUSBEnumerateExTreeData()));
    }

    AppendRemovalRelations(pNode);

    // pNode may move while its siblings are appended; it is not used after this point.
    if (bWithSiblings && pNode->pParent != nullptr)
    {
        DEVINST sibling = 0;
        result = CM_Get_Sibling(&sibling, dnDevInst, 0);
        if (result == CR_SUCCESS && sibling != 0)
        {
            CUSBEnumerateExTree* parent = pNode->pParent;
            BuildTree(sibling, true, parent->AppendChild(CUSBEnumerateExTreeData()));
        }
    }
    return result;
}

// Removal relations become children after the device-node children (a disk's volumes below the disk). A
// relation that names a node on the path from the root to pNode would close a cycle and grow the tree
// without end; it is left out. A relation that names a node already elsewhere in the tree (a volume that
// spans two disks) is shown again, but not followed again: nodes that name each other would otherwise
// grow the tree by every order in which they can be chained.
void CUSBEnumerateEx::AppendRemovalRelations(CUSBEnumerateExTree* pNode)
{
    const WString& id = pNode->data.strDeviceInstanceId;
    ULONG length = 0;
    if (id.empty() ||
        CM_Get_Device_ID_List_SizeW(&length, id.c_str(), CM_GETIDLIST_FILTER_REMOVALRELATIONS) !=
            CR_SUCCESS ||
        length == 0)
    {
        return;
    }
    std::vector<WCHAR> list(length + 1, 0);
    if (CM_Get_Device_ID_ListW(id.c_str(), list.data(), length, CM_GETIDLIST_FILTER_REMOVALRELATIONS) !=
        CR_SUCCESS)
    {
        return;
    }
    for (size_t at = 0; at < length && list[at] != 0;)
    {
        WString relation = TextInBuffer(&list[at], length - at);
        at += relation.size() + 1;
        DEVINST related = 0;
        if (CM_Locate_DevNodeW(&related, const_cast<WCHAR*>(relation.c_str()), CM_LOCATE_DEVNODE_NORMAL) !=
                CR_SUCCESS ||
            related == 0)
        {
            continue;
        }
        bool onPath = false;
        for (const CUSBEnumerateExTree* node = pNode; node != nullptr && !onPath; node = node->pParent)
        {
            onPath = node->data.dnDevInst == related;
        }
        if (onPath)
        {
            continue;
        }
        if (IsInTree(pNode, related))
        {
            FillTreeData(related, pNode->AppendChild(CUSBEnumerateExTreeData()));
        }
        else
        {
            BuildTree(related, false, pNode->AppendChild(CUSBEnumerateExTreeData()));
        }
    }
}

void CUSBEnumerateEx::FillTreeData(DEVINST dnDevInst, CUSBEnumerateExTree* pNode)
{
    CUSBEnumerateExTreeData& data = pNode->data;
    WString text;
    if (GetDeviceInstanceId(dnDevInst, text))
    {
        data.strDeviceInstanceId = text;
    }
    for (const CVolumeEnumerateData& volume : m_volumes)
    {
        if (EqualsNoCase(volume.strDeviceInstanceId, data.strDeviceInstanceId) &&
            !data.strDeviceInstanceId.empty())
        {
            data.chDriveLetter = volume.chDriveLetter;
        }
    }
    if (GetDevNodeString(CM_DRP_ENUMERATOR_NAME, dnDevInst, text))
    {
        data.strEnumeratorName = text;
    }
    if (GetDevNodeString(CM_DRP_DEVICEDESC, dnDevInst, text))
    {
        data.strDeviceDesc = text;
    }
    if (GetDevNodeString(CM_DRP_FRIENDLYNAME, dnDevInst, text))
    {
        data.strFriendlyName = text;
    }
    if (GetDevNodeString(CM_DRP_CLASSGUID, dnDevInst, text))
    {
        data.strClassGuid = text;
    }
    std::list<WString> filters;
    if (GetDevNodeStringList(dnDevInst, CM_DRP_UPPERFILTERS, filters))
    {
        data.lstUpperFilters = filters;
    }
    if (GetDevNodeStringList(dnDevInst, CM_DRP_LOWERFILTERS, filters))
    {
        data.lstLowerFilters = filters;
    }
    data.dnDevInst = dnDevInst;
    ULONG status = 0;
    ULONG problem = 0;
    if (dnDevInst != 0 && CM_Get_DevNode_Status(&status, &problem, dnDevInst, 0) == CR_SUCCESS)
    {
        data.ulStatus = status;
        data.ulProblemNumber = problem;
    }
}

int CUSBEnumerateEx::AddDevice(const CUSBEnumerateExData& record)
{
    if (m_bTargetOnly)
    {
        int target = IsTargetDevice(record);
        if (target != 1)
        {
            return target;
        }
    }
    m_pDeviceList->push_back(record);
    return static_cast<int>(m_pDeviceList->size());
}

int CUSBEnumerateEx::IsTargetDevice(const CUSBEnumerateExData& record)
{
    return IsSupportedDevice(record) && IsMassStorageDevice(record) ? 1 : 0;
}
} // namespace Kavelor
