// The three Configuration Manager calls that the property dialog and the main window's filter state make,
// for the Wine these tests run on: Wine 8 answers CM_Locate_DevNodeW with CR_FAILURE,
// CM_Get_DevNode_Registry_PropertyW with CR_FAILURE and CM_Get_DevNode_Status with CR_SUCCESS but no
// status, although its setup API finds the same device nodes in the Enum key. Where Wine's own
// CM_Locate_DevNodeW finds the USB node, all three are Wine's; else they are answered here from the setup
// API: a node is located by its instance ID, its registry properties are the setup API's (CM_DRP_x is
// SPDRP_x + 1), and a node present in the Enum key counts as started without a problem, as a device Wine
// lists is. The windows' code and every other call they make stay Wine's. The stick's record is built here
// too, from the nodes located through these calls.
#include "tests/wine/propdialog/config_manager_stand_in.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdio>
#include <vector>

namespace propdialog
{
namespace
{
using LocateFn = CONFIGRET(WINAPI*)(PDEVINST, DEVINSTID_W, ULONG);
using PropertyFn = CONFIGRET(WINAPI*)(DEVINST, ULONG, PULONG, PVOID, PULONG, ULONG);
using StatusFn = CONFIGRET(WINAPI*)(PULONG, PULONG, DEVINST, ULONG);

LocateFn wine_locate = nullptr;
PropertyFn wine_property = nullptr;
StatusFn wine_status = nullptr;
bool stand_in = false;
// The nodes located so far, kept open for the program's life; a devnode is its index + 1, never 0, which
// the product reads as "no node".
HDEVINFO node_set = INVALID_HANDLE_VALUE;
std::vector<SP_DEVINFO_DATA> nodes;

// GetProcAddress gives a pointer of no particular type; the export's own type is restored through void*.
template <typename Fn> Fn Export(HMODULE hModule, const char* pszName)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(hModule, pszName)));
}

const SP_DEVINFO_DATA* Node(DEVINST dnDevInst)
{
    return dnDevInst >= 1 && dnDevInst <= nodes.size() ? &nodes[dnDevInst - 1] : nullptr;
}

CONFIGRET WINAPI Locate(PDEVINST pdnDevInst, DEVINSTID_W pDeviceId, ULONG ulFlags)
{
    if (!stand_in)
    {
        return wine_locate(pdnDevInst, pDeviceId, ulFlags);
    }
    if (pdnDevInst == nullptr || pDeviceId == nullptr || pDeviceId[0] == 0)
    {
        return CR_INVALID_POINTER;
    }
    SP_DEVINFO_DATA node = {};
    node.cbSize = sizeof(node);
    if (!SetupDiOpenDeviceInfoW(node_set, pDeviceId, nullptr, 0, &node))
    {
        return CR_NO_SUCH_DEVNODE;
    }
    nodes.push_back(node);
    *pdnDevInst = static_cast<DEVINST>(nodes.size());
    return CR_SUCCESS;
}

CONFIGRET WINAPI Property(DEVINST dnDevInst, ULONG ulProperty, PULONG pulType, PVOID pBuffer,
                          PULONG pulLength, ULONG ulFlags)
{
    if (!stand_in)
    {
        return wine_property(dnDevInst, ulProperty, pulType, pBuffer, pulLength, ulFlags);
    }
    const SP_DEVINFO_DATA* pNode = Node(dnDevInst);
    if (pNode == nullptr || pulLength == nullptr || ulProperty == 0)
    {
        return CR_INVALID_DEVNODE;
    }
    SP_DEVINFO_DATA node = *pNode;
    DWORD dwType = 0;
    DWORD cbNeeded = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(node_set, &node, ulProperty - 1, &dwType,
                                           static_cast<BYTE*>(pBuffer), *pulLength, &cbNeeded))
    {
        *pulLength = cbNeeded;
        return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? CR_BUFFER_SMALL : CR_NO_SUCH_VALUE;
    }
    *pulLength = cbNeeded;
    if (pulType != nullptr)
    {
        *pulType = dwType;
    }
    return CR_SUCCESS;
}

CONFIGRET WINAPI Status(PULONG pulStatus, PULONG pulProblem, DEVINST dnDevInst, ULONG ulFlags)
{
    if (!stand_in)
    {
        return wine_status(pulStatus, pulProblem, dnDevInst, ulFlags);
    }
    if (pulStatus == nullptr || pulProblem == nullptr)
    {
        return CR_INVALID_POINTER;
    }
    if (Node(dnDevInst) == nullptr)
    {
        return CR_INVALID_DEVNODE;
    }
    *pulStatus = DN_DRIVER_LOADED | DN_STARTED;
    *pulProblem = 0;
    return CR_SUCCESS;
}
} // namespace

bool UseConfigManagerStandInUnlessWineLocates(const wchar_t* pszInstanceId)
{
    HMODULE hSetupApi = GetModuleHandleW(L"setupapi.dll");
    wine_locate = Export<LocateFn>(hSetupApi, "CM_Locate_DevNodeW");
    wine_property = Export<PropertyFn>(hSetupApi, "CM_Get_DevNode_Registry_PropertyW");
    wine_status = Export<StatusFn>(hSetupApi, "CM_Get_DevNode_Status");
    node_set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    DEVINST dnDevInst = 0;
    stand_in =
        wine_locate == nullptr || wine_property == nullptr || wine_status == nullptr ||
        wine_locate(&dnDevInst, const_cast<wchar_t*>(pszInstanceId), CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS;
    return stand_in;
}

namespace
{
// The node of the configuration manager for one instance ID, as the enumeration would record it.
Kavelor::CUSBEnumerateExTreeData NodeData(const wchar_t* pszInstanceId, const wchar_t* pszEnumerator)
{
    Kavelor::CUSBEnumerateExTreeData data;
    CM_Locate_DevNodeW(&data.dnDevInst, const_cast<wchar_t*>(pszInstanceId), CM_LOCATE_DEVNODE_NORMAL);
    for (const wchar_t* p = pszInstanceId; *p != 0; ++p)
    {
        data.strDeviceInstanceId.push_back(static_cast<WCHAR>(*p));
    }
    for (const wchar_t* p = pszEnumerator; *p != 0; ++p)
    {
        data.strEnumeratorName.push_back(static_cast<WCHAR>(*p));
    }
    return data;
}
} // namespace

Kavelor::CUSBEnumerateExData StandInStick(const wchar_t* pszUsbId, const wchar_t* pszStorageId,
                                          wchar_t chDriveLetter)
{
    Kavelor::CUSBEnumerateExData device;
    device.wVendorId = 0x3A7E;
    device.wProductId = 0x1201;
    device.treeDevice.data = NodeData(pszUsbId, L"USB");
    Kavelor::CUSBEnumerateExTreeData storage = NodeData(pszStorageId, L"USBSTOR");
    storage.chDriveLetter = static_cast<WCHAR>(chDriveLetter);
    device.treeDevice.AppendChild(storage);
    return device;
}

void PrintUtf8(const char* pszName, const wchar_t* pszText)
{
    char szText[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, pszText, -1, szText, sizeof(szText) - 1, nullptr, nullptr);
    std::printf("%s\t%s\n", pszName, szText);
    std::fflush(stdout);
}
} // namespace propdialog

// The product's calls go through these import pointers: defined here, they take the place of the import
// library's, and reach setupapi.dll through the pointers taken above when Wine answers for itself.
extern "C"
{
    decltype(&CM_Locate_DevNodeW) __imp_CM_Locate_DevNodeW = propdialog::Locate;
    decltype(&CM_Get_DevNode_Registry_PropertyW) __imp_CM_Get_DevNode_Registry_PropertyW =
        propdialog::Property;
    decltype(&CM_Get_DevNode_Status) __imp_CM_Get_DevNode_Status = propdialog::Status;
}
