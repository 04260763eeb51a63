// winsim/machine: the Setup API stand-ins. A device information set is a snapshot of the machine taken by
// SetupDiGetClassDevsW: all devices (present ones with DIGCF_PRESENT) in creation order, devices of one
// setup class, or the device interfaces of one interface class on present devices. Checked as misuse: a
// set handle that is not open, a cbSize that is not the platform's size, a detail buffer shorter than the
// size claimed for it, an element that does not belong to the set. The class installer's
// DIF_PROPERTYCHANGE restarts the device through the machine's onRestart hook (the PnP manager, which
// rebuilds its stacks from the filter lists); a refused stop, or a volume of the device in use when no
// manager is installed, is reported as DI_NEEDRESTART in the install parameters, as Windows does. Device
// registry properties of an element read as through the Configuration Manager; a property the node does not
// have fails with ERROR_INVALID_DATA, as on Windows.
// An empty set made by SetupDiCreateDeviceInfoList takes single devices by instance ID through
// SetupDiOpenDeviceInfoW, a device that left included; an unknown ID fails with ERROR_NO_SUCH_DEVINST, and
// open flags other than 0 are not simulated (a violation).
#include "winsim/machine/machine.h"

#include <setupapi.h>

#include <algorithm>
#include <cstring>

using namespace winsim::machine;

namespace
{
struct InterfaceEntry
{
    DevNode* node;
    GUID classGuid;
    WString path;
};

struct DeviceInfoSet
{
    std::vector<DevNode*> devices;
    std::vector<InterfaceEntry> interfaces;
    std::map<DevNode*, SP_PROPCHANGE_PARAMS> classInstallParams;
    std::map<DevNode*, DWORD> installFlags;
};

DeviceInfoSet& SetOf(Machine& machine, HDEVINFO set, const char* call)
{
    Machine::OpenObject* object = machine.LookupHandle(set);
    if (object == nullptr || object->kind != Machine::OpenObject::Kind::DeviceInfoSet)
    {
        Violation("%s: %p is not an open device information set", call, set);
    }
    return *static_cast<DeviceInfoSet*>(object->payload.get());
}

void RequireSize(DWORD actual, size_t expected, const char* what, const char* call)
{
    if (actual != expected)
    {
        Violation("%s: %s cbSize %u, the platform's size is %zu", call, what, actual, expected);
    }
}

void FillDevInfo(PSP_DEVINFO_DATA data, DevNode* node)
{
    GUID classGuid{};
    ParseGuid(node->GetString(CM_DRP_CLASSGUID).value_or(WString()), &classGuid);
    data->ClassGuid = classGuid;
    data->DevInst = node->handle;
    data->Reserved = reinterpret_cast<ULONG_PTR>(node);
}

// The device an SP_DEVINFO_DATA names, checked to be an element of the set.
DevNode* ElementOf(DeviceInfoSet& set, PSP_DEVINFO_DATA data, const char* call)
{
    if (data == nullptr)
    {
        Violation("%s: the simulated PC needs the element (no set-wide parameters)", call);
    }
    RequireSize(data->cbSize, sizeof(SP_DEVINFO_DATA), "SP_DEVINFO_DATA", call);
    DevNode* node = reinterpret_cast<DevNode*>(data->Reserved);
    for (DevNode* device : set.devices)
    {
        if (device == node)
        {
            return node;
        }
    }
    Violation("%s: the SP_DEVINFO_DATA is not an element of this set", call);
}
} // namespace

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    UNREFERENCED_PARAMETER(hwndParent);
    if (Enumerator != nullptr)
    {
        Violation("SetupDiGetClassDevsW: the simulated PC does not filter by enumerator");
    }
    if ((Flags & ~(DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE)) != 0)
    {
        Violation("SetupDiGetClassDevsW: flags 0x%x", Flags);
    }
    bool presentOnly = (Flags & DIGCF_PRESENT) != 0;
    auto set = std::make_shared<DeviceInfoSet>();
    if ((Flags & DIGCF_DEVICEINTERFACE) != 0)
    {
        if (ClassGuid == nullptr)
        {
            Violation("SetupDiGetClassDevsW: DIGCF_DEVICEINTERFACE needs an interface class");
        }
        for (const GUID& failing : machine.failingInterfaceSets)
        {
            if (SameGuid(failing, *ClassGuid))
            {
                SetLastError(ERROR_INVALID_PARAMETER);
                return INVALID_HANDLE_VALUE;
            }
        }
        for (const auto& node : machine.DevNodes())
        {
            for (const DeviceInterface& iface : node->interfaces)
            {
                if (SameGuid(iface.classGuid, *ClassGuid) && (node->present || !presentOnly))
                {
                    set->interfaces.push_back(InterfaceEntry{node.get(), iface.classGuid, iface.path});
                    if (set->devices.empty() || set->devices.back() != node.get())
                    {
                        set->devices.push_back(node.get());
                    }
                }
            }
        }
    }
    else
    {
        if ((Flags & DIGCF_ALLCLASSES) == 0 && ClassGuid == nullptr)
        {
            Violation("SetupDiGetClassDevsW: no class and no DIGCF_ALLCLASSES");
        }
        if (machine.failAllDevicesSet)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        for (const auto& node : machine.DevNodes())
        {
            GUID classGuid{};
            bool classMatches =
                (Flags & DIGCF_ALLCLASSES) != 0 ||
                (ParseGuid(node->GetString(CM_DRP_CLASSGUID).value_or(WString()), &classGuid) &&
                 SameGuid(classGuid, *ClassGuid));
            if (classMatches && (node->present || !presentOnly))
            {
                set->devices.push_back(node.get());
            }
        }
    }
    Machine::OpenObject object;
    object.kind = Machine::OpenObject::Kind::DeviceInfoSet;
    object.payload = set;
    return machine.OpenHandle(std::move(object));
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    SetOf(machine, DeviceInfoSet, "SetupDiDestroyDeviceInfoList");
    machine.CloseOpenHandle(DeviceInfoSet);
    return TRUE;
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    UNREFERENCED_PARAMETER(hwndParent);
    if (ClassGuid != nullptr)
    {
        Violation("SetupDiCreateDeviceInfoList: sets bound to a setup class are not simulated");
    }
    Machine::OpenObject object;
    object.kind = Machine::OpenObject::Kind::DeviceInfoSet;
    object.payload = std::make_shared<DeviceInfoSet>();
    return machine.OpenHandle(std::move(object));
}

// The element is added once: opening the same device again hands out the element already in the set.
BOOL WINAPI SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND hwndParent,
                                   DWORD OpenFlags, PSP_DEVINFO_DATA DeviceInfoData)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    const char* call = "SetupDiOpenDeviceInfoW";
    UNREFERENCED_PARAMETER(hwndParent);
    ::DeviceInfoSet& set = SetOf(machine, DeviceInfoSet, call);
    if (DeviceInstanceId == nullptr || OpenFlags != 0)
    {
        Violation("%s: instance ID %p, flags 0x%x (only 0 is simulated)", call,
                  static_cast<const void*>(DeviceInstanceId), OpenFlags);
    }
    if (DeviceInfoData != nullptr)
    {
        RequireSize(DeviceInfoData->cbSize, sizeof(SP_DEVINFO_DATA), "SP_DEVINFO_DATA", call);
    }
    DevNode* node = machine.FindDevNode(WString(reinterpret_cast<const char16_t*>(DeviceInstanceId)));
    if (node == nullptr)
    {
        SetLastError(DWORD(ERROR_NO_SUCH_DEVINST));
        return FALSE;
    }
    if (std::find(set.devices.begin(), set.devices.end(), node) == set.devices.end())
    {
        set.devices.push_back(node);
    }
    if (DeviceInfoData != nullptr)
    {
        FillDevInfo(DeviceInfoData, node);
    }
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    ::DeviceInfoSet& set = SetOf(machine, DeviceInfoSet, "SetupDiEnumDeviceInfo");
    if (DeviceInfoData == nullptr)
    {
        Violation("SetupDiEnumDeviceInfo: null SP_DEVINFO_DATA");
    }
    RequireSize(DeviceInfoData->cbSize, sizeof(SP_DEVINFO_DATA), "SP_DEVINFO_DATA", "SetupDiEnumDeviceInfo");
    if (MemberIndex >= set.devices.size())
    {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    FillDevInfo(DeviceInfoData, set.devices[MemberIndex]);
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    ::DeviceInfoSet& set = SetOf(machine, DeviceInfoSet, "SetupDiEnumDeviceInterfaces");
    if (DeviceInterfaceData == nullptr || InterfaceClassGuid == nullptr)
    {
        Violation("SetupDiEnumDeviceInterfaces: null interface class or interface data");
    }
    RequireSize(DeviceInterfaceData->cbSize, sizeof(SP_DEVICE_INTERFACE_DATA), "SP_DEVICE_INTERFACE_DATA",
                "SetupDiEnumDeviceInterfaces");
    DevNode* only =
        DeviceInfoData != nullptr ? ElementOf(set, DeviceInfoData, "SetupDiEnumDeviceInterfaces") : nullptr;
    DWORD seen = 0;
    for (size_t at = 0; at < set.interfaces.size(); ++at)
    {
        const InterfaceEntry& entry = set.interfaces[at];
        if (!SameGuid(entry.classGuid, *InterfaceClassGuid) || (only != nullptr && entry.node != only))
        {
            continue;
        }
        if (seen++ == MemberIndex)
        {
            DeviceInterfaceData->InterfaceClassGuid = entry.classGuid;
            DeviceInterfaceData->Flags = SPINT_ACTIVE;
            DeviceInterfaceData->Reserved = at + 1;
            return TRUE;
        }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet,
                                             PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    const char* call = "SetupDiGetDeviceInterfaceDetailW";
    ::DeviceInfoSet& set = SetOf(machine, DeviceInfoSet, call);
    if (DeviceInterfaceData == nullptr)
    {
        Violation("%s: null interface data", call);
    }
    RequireSize(DeviceInterfaceData->cbSize, sizeof(SP_DEVICE_INTERFACE_DATA), "SP_DEVICE_INTERFACE_DATA",
                call);
    ULONG_PTR at = DeviceInterfaceData->Reserved;
    if (at == 0 || at > set.interfaces.size())
    {
        Violation("%s: the interface data does not come from this set", call);
    }
    const InterfaceEntry& entry = set.interfaces[at - 1];
    DWORD required = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                        (entry.path.size() + 1) * 2);
    if (RequiredSize != nullptr)
    {
        *RequiredSize = required;
    }
    if (DeviceInfoData != nullptr)
    {
        RequireSize(DeviceInfoData->cbSize, sizeof(SP_DEVINFO_DATA), "SP_DEVINFO_DATA", call);
    }
    if (DeviceInterfaceDetailData == nullptr)
    {
        if (DeviceInterfaceDetailDataSize != 0)
        {
            Violation("%s: size %u given without a buffer", call, DeviceInterfaceDetailDataSize);
        }
        if (DeviceInfoData != nullptr)
        {
            FillDevInfo(DeviceInfoData, entry.node);
        }
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    RequireSize(DeviceInterfaceDetailData->cbSize, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W),
                "SP_DEVICE_INTERFACE_DETAIL_DATA_W", call);
    if (DeviceInterfaceDetailDataSize < required)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, entry.path.c_str(), (entry.path.size() + 1) * 2);
    if (DeviceInfoData != nullptr)
    {
        FillDevInfo(DeviceInfoData, entry.node);
    }
    return TRUE;
}

BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                          PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                          DWORD ClassInstallParamsSize)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    const char* call = "SetupDiSetClassInstallParamsW";
    ::DeviceInfoSet& set = SetOf(machine, DeviceInfoSet, call);
    DevNode* node = ElementOf(set, DeviceInfoData, call);
    if (ClassInstallParams == nullptr)
    {
        set.classInstallParams.erase(node);
        return TRUE;
    }
    RequireSize(ClassInstallParams->cbSize, sizeof(SP_CLASSINSTALL_HEADER), "SP_CLASSINSTALL_HEADER", call);
    if (ClassInstallParams->InstallFunction != DIF_PROPERTYCHANGE ||
        ClassInstallParamsSize != sizeof(SP_PROPCHANGE_PARAMS))
    {
        Violation("%s: the simulated PC knows DIF_PROPERTYCHANGE with SP_PROPCHANGE_PARAMS only", call);
    }
    set.classInstallParams[node] = *reinterpret_cast<PSP_PROPCHANGE_PARAMS>(ClassInstallParams);
    return TRUE;
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    const char* call = "SetupDiCallClassInstaller";
    ::DeviceInfoSet& set = SetOf(machine, DeviceInfoSet, call);
    DevNode* node = ElementOf(set, DeviceInfoData, call);
    if (InstallFunction != DIF_PROPERTYCHANGE)
    {
        Violation("%s: function 0x%x is not simulated", call, InstallFunction);
    }
    auto params = set.classInstallParams.find(node);
    if (params == set.classInstallParams.end())
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!node->present)
    {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (params->second.StateChange == DICS_PROPCHANGE)
    {
        ++node->restartCount;
        bool restarted = machine.onRestart ? machine.onRestart(*node) : !machine.VolumeInUseBelow(*node);
        if (restarted)
        {
            ++node->restartsCompleted;
        }
        else
        {
            set.installFlags[node] |= DI_NEEDRESTART;
        }
        set.installFlags[node] |= machine.classInstallerFlags;
    }
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           PSP_DEVINSTALL_PARAMS_W DeviceInstallParams)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    const char* call = "SetupDiGetDeviceInstallParamsW";
    ::DeviceInfoSet& set = SetOf(machine, DeviceInfoSet, call);
    DevNode* node = ElementOf(set, DeviceInfoData, call);
    if (DeviceInstallParams == nullptr)
    {
        Violation("%s: null parameters", call);
    }
    RequireSize(DeviceInstallParams->cbSize, sizeof(SP_DEVINSTALL_PARAMS_W), "SP_DEVINSTALL_PARAMS_W", call);
    DeviceInstallParams->Flags = set.installFlags[node];
    return TRUE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                 DWORD HwProfile, DWORD KeyType, REGSAM samDesired)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    const char* call = "SetupDiOpenDevRegKey";
    DevNode* node = ElementOf(SetOf(machine, DeviceInfoSet, call), DeviceInfoData, call);
    if (Scope != DICS_FLAG_GLOBAL || HwProfile != 0 || KeyType != DIREG_DEV)
    {
        Violation("%s: only the global hardware key (DICS_FLAG_GLOBAL, profile 0, DIREG_DEV) is simulated",
                  call);
    }
    LONG error = ERROR_SUCCESS;
    HKEY key = OpenDeviceKey(machine, *node, samDesired, &error);
    if (key == nullptr)
    {
        SetLastError(DWORD(error));
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return key;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType,
                                              PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                              PDWORD RequiredSize)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    const char* call = "SetupDiGetDeviceRegistryPropertyW";
    ::DeviceInfoSet& set = SetOf(machine, DeviceInfoSet, call);
    DevNode* node = ElementOf(set, DeviceInfoData, call);
    if (Property >= SPDRP_MAXIMUM_PROPERTY)
    {
        Violation("%s: property %u out of range", call, Property);
    }
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0)
    {
        Violation("%s: size %u given without a buffer", call, PropertyBufferSize);
    }
    ULONG length = PropertyBufferSize;
    CONFIGRET result = CM_Get_DevNode_Registry_PropertyW(node->handle, Property + 1, PropertyRegDataType,
                                                         PropertyBuffer, &length, 0);
    if (RequiredSize != nullptr && (result == CR_SUCCESS || result == CR_BUFFER_SMALL))
    {
        *RequiredSize = length;
    }
    switch (result)
    {
    case CR_SUCCESS:
        return TRUE;
    case CR_BUFFER_SMALL:
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    case CR_NO_SUCH_VALUE:
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    default:
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
}
