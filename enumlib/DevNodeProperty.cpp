// Device-node property reads (see DevNodeProperty.h).
#include "enumlib/DevNodeProperty.h"

#include <vector>

namespace Kavelor
{
bool GetDevNodeString(ULONG ulProperty, DEVINST dnDevInst, WString& strValue)
{
    strValue.clear();
    if (dnDevInst == 0)
    {
        return false;
    }
    WCHAR buffer[DEVNODE_STRING_BYTES / sizeof(WCHAR)] = {};
    ULONG length = sizeof buffer;
    if (CM_Get_DevNode_Registry_PropertyW(dnDevInst, ulProperty, nullptr, buffer, &length, 0) != CR_SUCCESS)
    {
        return false;
    }
    // A stored value need not end in a terminator; the text stops at the buffer's end then.
    strValue = TextInBuffer(buffer, sizeof buffer / sizeof buffer[0]);
    return true;
}

bool GetDeviceInstanceId(DEVINST dnDevInst, WString& strId)
{
    strId.clear();
    if (dnDevInst == 0)
    {
        return false;
    }
    WCHAR buffer[MAX_DEVICE_ID_LEN] = {};
    if (CM_Get_Device_IDW(dnDevInst, buffer, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
    {
        return false;
    }
    strId = TextInBuffer(buffer, MAX_DEVICE_ID_LEN);
    return true;
}

bool GetDevNodeStringList(DEVINST dnDevInst, ULONG ulProperty, std::list<WString>& lstValues)
{
    lstValues.clear();
    if (dnDevInst == 0)
    {
        return false;
    }
    ULONG length = 0;
    CONFIGRET result = CM_Get_DevNode_Registry_PropertyW(dnDevInst, ulProperty, nullptr, nullptr, &length, 0);
    if (result == CR_NO_SUCH_VALUE)
    {
        return true;
    }
    if (result != CR_BUFFER_SMALL)
    {
        return false;
    }
    // One spare zero character past the reported size: the split below always finds an end, even for a
    // value of odd length or one stored without its closing terminators.
    std::vector<WCHAR> buffer((length + 1) / sizeof(WCHAR) + 1, 0);
    ULONG readLength = length;
    if (length == 0)
    {
        return true;
    }
    if (CM_Get_DevNode_Registry_PropertyW(dnDevInst, ulProperty, nullptr, buffer.data(), &readLength, 0) !=
        CR_SUCCESS)
    {
        return false;
    }
    size_t end = buffer.size() - 1;
    for (size_t at = 0; at < end && buffer[at] != 0;)
    {
        WString item = TextInBuffer(&buffer[at], end - at);
        lstValues.push_back(item);
        at += item.size() + 1;
    }
    return true;
}

DEVINST FindDevNodeByDriverKey(const WString& strKey)
{
    DEVINST node = 0;
    if (CM_Locate_DevNodeW(&node, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS)
    {
        return 0;
    }
    for (;;)
    {
        WString driverKey;
        if (GetDevNodeString(CM_DRP_DRIVER, node, driverKey) && EqualsNoCase(driverKey, strKey))
        {
            return node;
        }
        DEVINST next = 0;
        if (CM_Get_Child(&next, node, 0) == CR_SUCCESS && next != 0)
        {
            node = next;
            continue;
        }
        // No child: the next sibling of this node or of the nearest ancestor that has one.
        while (CM_Get_Sibling(&next, node, 0) != CR_SUCCESS || next == 0)
        {
            DEVINST parent = 0;
            if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS || parent == 0)
            {
                return 0;
            }
            node = parent;
        }
        node = next;
    }
}
} // namespace Kavelor
