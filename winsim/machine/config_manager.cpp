// winsim/machine: the Configuration Manager stand-ins (CM_*) over the machine's device-node tree. Only
// present nodes are in the tree, as on Windows; a phantom is found only with CM_LOCATE_DEVNODE_PHANTOM.
// Answers are Windows' CONFIGRET codes, including CR_BUFFER_SMALL with the needed length and
// CR_NO_SUCH_VALUE for a property that does not exist. Checked as misuse: nonzero reserved flags, null
// out pointers, a buffer length without a buffer, and a property number out of range. Writes follow the
// registry's byte-length rules: a length in bytes, even, covering a string's terminator or a
// multi-string's two closing 0 characters; a null buffer with length 0 deletes. Every write is logged on
// the machine (Machine::propertyWrites) so tests see what the product wrote and what it did not.
#include "winsim/machine/machine.h"

#include <cstring>

using namespace winsim::machine;

namespace
{
DevNode* PresentNode(Machine& machine, DEVINST dnDevInst)
{
    DevNode* node = machine.FindDevNode(dnDevInst);
    return node != nullptr && node->present ? node : nullptr;
}

void RequireNoFlags(ULONG ulFlags, const char* call)
{
    if (ulFlags != 0)
    {
        Violation("%s: reserved flags 0x%x must be 0", call, ulFlags);
    }
}

void RequireOut(const void* pointer, const char* call)
{
    if (pointer == nullptr)
    {
        Violation("%s: null out pointer", call);
    }
}

// Text of a wide string argument; a missing terminator within MAX_DEVICE_ID_LEN is not an instance ID.
bool ReadId(PCWSTR text, WString* id)
{
    id->clear();
    for (size_t at = 0; at < MAX_DEVICE_ID_LEN; ++at)
    {
        if (text[at] == 0)
        {
            return true;
        }
        *id += text[at];
    }
    return false;
}

WString RemovalList(Machine& machine, const DevNode& node)
{
    WString list;
    for (const WString& id : node.removalRelations)
    {
        UNREFERENCED_PARAMETER(machine);
        list += id;
        list += u'\0';
    }
    list += u'\0';
    return list;
}

CONFIGRET ListFor(Machine& machine, PCWSTR pszFilter, ULONG ulFlags, WString* list, const char* call)
{
    if (ulFlags != CM_GETIDLIST_FILTER_REMOVALRELATIONS)
    {
        Violation("%s: the simulated PC answers only CM_GETIDLIST_FILTER_REMOVALRELATIONS (flags 0x%x)", call,
                  ulFlags);
    }
    WString id;
    if (pszFilter == nullptr || !ReadId(pszFilter, &id) || id.empty())
    {
        return CR_INVALID_DEVICE_ID;
    }
    DevNode* node = machine.FindDevNode(id);
    if (node == nullptr || !node->present)
    {
        return CR_NO_SUCH_DEVNODE;
    }
    *list = RemovalList(machine, *node);
    return CR_SUCCESS;
}
} // namespace

CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST pdnDevInst, DEVINSTID_W pDeviceID, ULONG ulFlags)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    RequireOut(pdnDevInst, "CM_Locate_DevNodeW");
    if ((ulFlags & ~CM_LOCATE_DEVNODE_PHANTOM) != 0)
    {
        Violation("CM_Locate_DevNodeW: flags 0x%x", ulFlags);
    }
    *pdnDevInst = 0;
    WString id;
    if (pDeviceID != nullptr && !ReadId(pDeviceID, &id))
    {
        return CR_INVALID_DEVICE_ID;
    }
    if (id.empty())
    {
        *pdnDevInst = machine.Root().handle;
        return CR_SUCCESS;
    }
    DevNode* node = machine.FindDevNode(id);
    if (node == nullptr || (!node->present && (ulFlags & CM_LOCATE_DEVNODE_PHANTOM) == 0))
    {
        return CR_NO_SUCH_DEVNODE;
    }
    *pdnDevInst = node->handle;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    RequireOut(pdnDevInst, "CM_Get_Child");
    RequireNoFlags(ulFlags, "CM_Get_Child");
    *pdnDevInst = 0;
    DevNode* node = PresentNode(machine, dnDevInst);
    if (node == nullptr)
    {
        return CR_INVALID_DEVNODE;
    }
    for (DevNode* child : node->children)
    {
        if (child->present)
        {
            *pdnDevInst = child->handle;
            return CR_SUCCESS;
        }
    }
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    RequireOut(pdnDevInst, "CM_Get_Sibling");
    RequireNoFlags(ulFlags, "CM_Get_Sibling");
    *pdnDevInst = 0;
    DevNode* node = PresentNode(machine, dnDevInst);
    if (node == nullptr)
    {
        return CR_INVALID_DEVNODE;
    }
    if (node->parent == nullptr)
    {
        return CR_NO_SUCH_DEVNODE;
    }
    const std::vector<DevNode*>& siblings = node->parent->children;
    bool after = false;
    for (DevNode* sibling : siblings)
    {
        if (after && sibling->present)
        {
            *pdnDevInst = sibling->handle;
            return CR_SUCCESS;
        }
        after = after || sibling == node;
    }
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    RequireOut(pdnDevInst, "CM_Get_Parent");
    RequireNoFlags(ulFlags, "CM_Get_Parent");
    *pdnDevInst = 0;
    DevNode* node = PresentNode(machine, dnDevInst);
    if (node == nullptr)
    {
        return CR_INVALID_DEVNODE;
    }
    if (node->parent == nullptr)
    {
        return CR_NO_SUCH_DEVNODE;
    }
    *pdnDevInst = node->parent->handle;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST dnDevInst, PWCHAR Buffer, ULONG BufferLen, ULONG ulFlags)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    RequireOut(Buffer, "CM_Get_Device_IDW");
    RequireNoFlags(ulFlags, "CM_Get_Device_IDW");
    DevNode* node = machine.FindDevNode(dnDevInst);
    if (node == nullptr)
    {
        return CR_INVALID_DEVNODE;
    }
    if (node->instanceId.size() + 1 > BufferLen)
    {
        return CR_BUFFER_SMALL;
    }
    std::memcpy(Buffer, node->instanceId.c_str(), (node->instanceId.size() + 1) * sizeof(WCHAR));
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_ID_List_SizeW(PULONG pulLen, PCWSTR pszFilter, ULONG ulFlags)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    RequireOut(pulLen, "CM_Get_Device_ID_List_SizeW");
    *pulLen = 0;
    WString list;
    CONFIGRET result = ListFor(machine, pszFilter, ulFlags, &list, "CM_Get_Device_ID_List_SizeW");
    if (result == CR_SUCCESS)
    {
        *pulLen = static_cast<ULONG>(list.size());
    }
    return result;
}

CONFIGRET WINAPI CM_Get_Device_ID_ListW(PCWSTR pszFilter, PWCHAR Buffer, ULONG BufferLen, ULONG ulFlags)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    RequireOut(Buffer, "CM_Get_Device_ID_ListW");
    if (BufferLen == 0)
    {
        Violation("CM_Get_Device_ID_ListW: buffer length 0");
    }
    WString list;
    CONFIGRET result = ListFor(machine, pszFilter, ulFlags, &list, "CM_Get_Device_ID_ListW");
    if (result != CR_SUCCESS)
    {
        return result;
    }
    if (list.size() > BufferLen)
    {
        return CR_BUFFER_SMALL;
    }
    std::memcpy(Buffer, list.data(), list.size() * sizeof(WCHAR));
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                       ULONG ulFlags)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    RequireOut(pulStatus, "CM_Get_DevNode_Status");
    RequireOut(pulProblemNumber, "CM_Get_DevNode_Status");
    RequireNoFlags(ulFlags, "CM_Get_DevNode_Status");
    DevNode* node = PresentNode(machine, dnDevInst);
    if (node == nullptr)
    {
        return CR_NO_SUCH_DEVINST;
    }
    *pulStatus = node->status | (node->problem != 0 ? DN_HAS_PROBLEM : 0);
    *pulProblemNumber = node->problem;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyW(DEVINST dnDevInst, ULONG ulProperty, PULONG pulRegDataType,
                                                   PVOID Buffer, PULONG pulLength, ULONG ulFlags)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    RequireOut(pulLength, "CM_Get_DevNode_Registry_PropertyW");
    RequireNoFlags(ulFlags, "CM_Get_DevNode_Registry_PropertyW");
    if (ulProperty < CM_DRP_MIN || ulProperty > CM_DRP_MAX)
    {
        Violation("CM_Get_DevNode_Registry_PropertyW: property %u out of range", ulProperty);
    }
    if (Buffer == nullptr && *pulLength != 0)
    {
        Violation("CM_Get_DevNode_Registry_PropertyW: length %u given without a buffer", *pulLength);
    }
    DevNode* node = machine.FindDevNode(dnDevInst);
    if (node == nullptr)
    {
        return CR_INVALID_DEVNODE;
    }
    if (node->unreadableProperties.count(ulProperty) != 0)
    {
        return CR_REGISTRY_ERROR;
    }
    auto found = node->properties.find(ulProperty);
    if (found == node->properties.end())
    {
        return CR_NO_SUCH_VALUE;
    }
    const PropertyValue& value = found->second;
    if (pulRegDataType != nullptr)
    {
        *pulRegDataType = value.type;
    }
    ULONG size = static_cast<ULONG>(value.data.size());
    if (Buffer == nullptr || *pulLength < size)
    {
        *pulLength = size;
        return CR_BUFFER_SMALL;
    }
    // An empty value may have no storage at all: there is nothing to copy from.
    if (size != 0)
    {
        std::memcpy(Buffer, value.data.data(), size);
    }
    *pulLength = size;
    return CR_SUCCESS;
}

namespace
{
CONFIGRET SetProperty(Machine& machine, DEVINST dnDevInst, ULONG ulProperty, LPCVOID Buffer, ULONG ulLength);
} // namespace

CONFIGRET WINAPI CM_Set_DevNode_Registry_PropertyW(DEVINST dnDevInst, ULONG ulProperty, LPCVOID Buffer,
                                                   ULONG ulLength, ULONG ulFlags)
{
    Machine& machine = Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    RequireNoFlags(ulFlags, "CM_Set_DevNode_Registry_PropertyW");
    if (ulProperty < CM_DRP_MIN || ulProperty > CM_DRP_MAX)
    {
        Violation("CM_Set_DevNode_Registry_PropertyW: property %u out of range", ulProperty);
    }
    if ((Buffer == nullptr) != (ulLength == 0))
    {
        Violation("CM_Set_DevNode_Registry_PropertyW: buffer %p with length %u", Buffer, ulLength);
    }
    PropertyWrite write;
    write.node = dnDevInst;
    write.property = ulProperty;
    write.deleted = Buffer == nullptr;
    if (Buffer != nullptr)
    {
        const BYTE* bytes = static_cast<const BYTE*>(Buffer);
        write.data.assign(bytes, bytes + ulLength);
    }
    write.result = SetProperty(machine, dnDevInst, ulProperty, Buffer, ulLength);
    machine.propertyWrites.push_back(write);
    if (machine.onPropertyWrite)
    {
        machine.onPropertyWrite(write);
    }
    return write.result;
}

namespace
{
CONFIGRET SetProperty(Machine& machine, DEVINST dnDevInst, ULONG ulProperty, LPCVOID Buffer, ULONG ulLength)
{
    DevNode* node = machine.FindDevNode(dnDevInst);
    if (node == nullptr)
    {
        return CR_INVALID_DEVNODE;
    }
    if (node->unwritableProperties.count(ulProperty) != 0)
    {
        return CR_REGISTRY_ERROR;
    }
    if (Buffer == nullptr)
    {
        node->RemoveProperty(ulProperty);
        return CR_SUCCESS;
    }
    DWORD type = REG_SZ;
    if (ulProperty == CM_DRP_UPPERFILTERS || ulProperty == CM_DRP_LOWERFILTERS ||
        ulProperty == CM_DRP_HARDWAREID || ulProperty == CM_DRP_COMPATIBLEIDS)
    {
        type = REG_MULTI_SZ;
        const WCHAR* text = static_cast<const WCHAR*>(Buffer);
        size_t characters = ulLength / sizeof(WCHAR);
        if (ulLength % sizeof(WCHAR) != 0 || characters < 2 || text[characters - 1] != 0 ||
            text[characters - 2] != 0)
        {
            Violation("CM_Set_DevNode_Registry_PropertyW: a multi-string must end with two 0 characters");
        }
    }
    else if (ulProperty != CM_DRP_CONFIGFLAGS && ulProperty != CM_DRP_CAPABILITIES)
    {
        const WCHAR* text = static_cast<const WCHAR*>(Buffer);
        if (ulLength % sizeof(WCHAR) != 0 || text[ulLength / sizeof(WCHAR) - 1] != 0)
        {
            Violation("CM_Set_DevNode_Registry_PropertyW: a string must be written with its terminator");
        }
    }
    else
    {
        type = REG_DWORD;
    }
    const BYTE* bytes = static_cast<const BYTE*>(Buffer);
    node->SetRaw(ulProperty, type, std::vector<BYTE>(bytes, bytes + ulLength));
    return CR_SUCCESS;
}
} // namespace
