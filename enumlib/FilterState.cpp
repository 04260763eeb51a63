// Filter state of a device (see FilterState.h).
#include "enumlib/FilterState.h"

#include "enumlib/DevNodeProperty.h"
#include "enumlib/USBEnumerateEx.h"

namespace Kavelor
{
const WCHAR FILTER_NAME[] = TEXT("Kavfiltr");

bool DevNodeListContains(DEVINST dnDevInst, ULONG ulProperty, const WString& strValue)
{
    std::list<WString> values;
    if (!GetDevNodeStringList(dnDevInst, ulProperty, values))
    {
        return false;
    }
    for (const WString& value : values)
    {
        if (EqualsNoCase(value, strValue))
        {
            return true;
        }
    }
    return false;
}

// The USB device node counts as enabled only with the friendly name that registration sets beside the
// lower-filter entry.
bool IsLowerFilterEnabled(DEVINST dnDevInst)
{
    WString friendlyName;
    return GetDevNodeString(CM_DRP_FRIENDLYNAME, dnDevInst, friendlyName) && !friendlyName.empty() &&
           DevNodeListContains(dnDevInst, CM_DRP_LOWERFILTERS, FILTER_NAME);
}

bool IsUpperFilterEnabled(DEVINST dnDevInst)
{
    return DevNodeListContains(dnDevInst, CM_DRP_UPPERFILTERS, FILTER_NAME);
}

int GetFilterState(const CUSBEnumerateExData& record, const SUPPORTED_DEVICE* pTable)
{
    if (!IsSupportedDevice(record, pTable) || !IsMassStorageDevice(record))
    {
        return FILTER_STATE_NOT_TARGET;
    }
    if (!IsLowerFilterEnabled(record.treeDevice.data.dnDevInst))
    {
        return FILTER_STATE_DEVICE_OFF;
    }
    for (const CUSBEnumerateExTree* node = record.treeDevice.NextPreOrder(); node != nullptr;
         node = node->NextPreOrder())
    {
        if (EqualsNoCase(node->data.strEnumeratorName, TEXT("USBSTOR")) &&
            !IsUpperFilterEnabled(node->data.dnDevInst))
        {
            return FILTER_STATE_STORAGE_OFF;
        }
    }
    return FILTER_STATE_ENABLED;
}
} // namespace Kavelor
