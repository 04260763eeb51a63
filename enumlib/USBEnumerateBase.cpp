// The host-controller and hub walk (see USBEnumerateBase.h).
#include "enumlib/USBEnumerateBase.h"

#include "enumlib/DevNodeProperty.h"
#include "enumlib/DeviceInfoSet.h"

#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace Kavelor
{
namespace
{
// GUID_DEVINTERFACE_USB_HOST_CONTROLLER
const GUID HOST_CONTROLLER_INTERFACE = {
    0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};

WString FormatPath(const WCHAR* prefix, const WString& name)
{
    return WString(prefix) + name;
}
} // namespace

bool IsHostControllerService(const WString& strService)
{
    return ToUpper(strService) == WString(TEXT("UHCD"));
}

bool IsHostControllerDesc(const WString& strDescription)
{
    WString upper = ToUpper(strDescription);
    return Contains(upper, TEXT("USB")) && (Contains(upper, TEXT("ホスト")) || Contains(upper, TEXT("HOST")));
}

bool IsHubDevNode(const WString& strService, const WString& strDescription)
{
    if (ToUpper(strService) == WString(TEXT("USBHUB")))
    {
        return true;
    }
    WString upper = ToUpper(strDescription);
    return Contains(upper, TEXT("ルート ハブ")) || Contains(upper, TEXT("ROOT HUB")) ||
           Contains(upper, TEXT("汎用 USB ハブ"));
}

CUSBEnumerateBase::CUSBEnumerateBase()
{
    m_controllers.reserve(10);
}

CUSBEnumerateBase::~CUSBEnumerateBase() = default;

void CUSBEnumerateBase::Enumerate()
{
    m_controllers.clear();
    m_walkedHubs.clear();
    EnumerateLegacyNames();
    EnumerateHostControllerInterface();
    EnumerateDevNodeScan();
}

void CUSBEnumerateBase::EnumerateLegacyNames()
{
    for (int n = 0; n <= 9; ++n)
    {
        WCHAR digit[2] = {static_cast<WCHAR>('0' + n), 0};
        OpenAndRegisterController(FormatPath(TEXT("\\\\.\\HCD"), digit));
    }
}

void CUSBEnumerateBase::EnumerateHostControllerInterface()
{
    CDeviceInfoSet set(SetupDiGetClassDevsW(&HOST_CONTROLLER_INTERFACE, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.IsOpen())
    {
        return;
    }
    for (DWORD index = 0;; ++index)
    {
        SP_DEVICE_INTERFACE_DATA interfaceData = {};
        interfaceData.cbSize = sizeof interfaceData;
        if (!SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &HOST_CONTROLLER_INTERFACE, index,
                                         &interfaceData))
        {
            break;
        }
        WString path;
        if (set.GetInterfacePath(&interfaceData, path))
        {
            OpenAndRegisterController(path);
        }
    }
}

void CUSBEnumerateBase::EnumerateDevNodeScan()
{
    CDeviceInfoSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!set.IsOpen())
    {
        return;
    }
    for (DWORD index = 0;; ++index)
    {
        SP_DEVINFO_DATA deviceData = {};
        deviceData.cbSize = sizeof deviceData;
        if (!SetupDiEnumDeviceInfo(set.Get(), index, &deviceData))
        {
            break;
        }
        DEVINST node = deviceData.DevInst;
        DEVINST child = 0;
        if (CM_Get_Child(&child, node, 0) != CR_SUCCESS || child == 0)
        {
            continue;
        }
        WString service;
        GetDevNodeString(CM_DRP_SERVICE, node, service);
        bool hostController = IsHostControllerService(service);
        if (!hostController)
        {
            WString description;
            GetDevNodeString(CM_DRP_DEVICEDESC, node, description);
            hostController = IsHostControllerDesc(description);
        }
        // An unreadable driver key is an empty string, as every property here: the controller is still
        // walked rather than dropped with every device behind it. Routes 1 and 2 register only keys they
        // read, so the empty key marks no controller they walked.
        WString driverKey;
        if (hostController)
        {
            GetDevNodeString(CM_DRP_DRIVER, node, driverKey);
        }
        if (hostController && RegisterController(driverKey))
        {
            EnumerateDevNodeChildren(node);
        }
    }
}

void CUSBEnumerateBase::OpenAndRegisterController(const WString& strPath)
{
    bool isNew = false;
    {
        CUSBIoControl controller;
        if (!controller.Open(strPath))
        {
            return;
        }
        WString driverKey;
        isNew = controller.GetHcdDriverKeyName(driverKey) && RegisterController(driverKey);
    }
    if (isNew)
    {
        EnumerateHostController(strPath);
    }
}

bool CUSBEnumerateBase::RegisterController(const WString& strDriverKey)
{
    WString upper = ToUpper(strDriverKey);
    if (std::find(m_controllers.begin(), m_controllers.end(), upper) != m_controllers.end())
    {
        return false;
    }
    m_controllers.push_back(upper);
    return true;
}

void CUSBEnumerateBase::EnumerateHostController(const WString& strPath)
{
    WString rootHubName;
    {
        CUSBIoControl controller;
        if (!controller.Open(strPath) || !controller.GetRootHubName(rootHubName))
        {
            return;
        }
    }
    EnumerateHub(rootHubName);
}

void CUSBEnumerateBase::EnumerateHub(const WString& strHubName)
{
    WString upperName = ToUpper(strHubName);
    if (std::find(m_walkedHubs.begin(), m_walkedHubs.end(), upperName) != m_walkedHubs.end())
    {
        return;
    }
    CUSBIoControl hub;
    if (!hub.Open(FormatPath(TEXT("\\\\.\\"), strHubName)))
    {
        return;
    }
    USB_NODE_INFORMATION nodeInfo = {};
    ULONG ports = 0;
    if (hub.Control(IOCTL_USB_GET_NODE_INFORMATION, &nodeInfo, sizeof nodeInfo, &nodeInfo, sizeof nodeInfo))
    {
        ports = nodeInfo.u.HubInformation.HubDescriptor.bNumberOfPorts;
    }
    m_walkedHubs.push_back(upperName);
    for (ULONG port = 1; port <= ports; ++port)
    {
        EnumeratePort(hub, port);
    }
    hub.Close();
}

void CUSBEnumerateBase::EnumeratePort(CUSBIoControl& hub, ULONG ulPort)
{
    USB_CONNECTION_INFO_BUFFER buffer;
    if (!hub.GetNodeConnectionInfo(ulPort, buffer))
    {
        return;
    }
    if (buffer.info.DeviceIsHub)
    {
        OnPortHub(hub, ulPort, buffer.info);
    }
    else
    {
        OnPortDevice(hub, ulPort, buffer.info);
    }
}

void CUSBEnumerateBase::OnDevNodeHub(DEVINST) {}

void CUSBEnumerateBase::OnPortHub(CUSBIoControl& hub, ULONG ulPort, const USB_NODE_CONNECTION_INFORMATION_EX&)
{
    WString name;
    hub.GetNodeConnectionName(ulPort, name);
    EnumerateHub(name);
}

void CUSBEnumerateBase::OnDevNodeDevice(DEVINST) {}

void CUSBEnumerateBase::OnPortDevice(CUSBIoControl&, ULONG, const USB_NODE_CONNECTION_INFORMATION_EX&) {}

void CUSBEnumerateBase::EnumerateDevNodeChildren(DEVINST dnDevInst)
{
    DEVINST child = 0;
    if (CM_Get_Child(&child, dnDevInst, 0) == CR_SUCCESS && child != 0)
    {
        EnumerateDevNode(child);
    }
}

void CUSBEnumerateBase::EnumerateDevNode(DEVINST dnDevInst)
{
    WString service;
    WString description;
    GetDevNodeString(CM_DRP_SERVICE, dnDevInst, service);
    GetDevNodeString(CM_DRP_DEVICEDESC, dnDevInst, description);
    if (IsHubDevNode(service, description))
    {
        OnDevNodeHub(dnDevInst);
        DEVINST child = 0;
        if (CM_Get_Child(&child, dnDevInst, 0) == CR_SUCCESS && child != 0)
        {
            EnumerateDevNode(child);
        }
    }
    else
    {
        OnDevNodeDevice(dnDevInst);
    }
    DEVINST sibling = 0;
    if (CM_Get_Sibling(&sibling, dnDevInst, 0) == CR_SUCCESS && sibling != 0)
    {
        EnumerateDevNode(sibling);
    }
}
} // namespace Kavelor
