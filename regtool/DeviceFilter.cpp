// The node operations that switch the speed-up on and off (see DeviceFilter.h).
#include "regtool/DeviceFilter.h"

#include "regtool/FilterList.h"

#include "enumlib/DevNodeProperty.h"
#include "enumlib/FilterState.h"
#include "enumlib/USBEnumerateEx.h"

#include <cfgmgr32.h>

namespace Kavelor
{
const WCHAR FILTER_FRIENDLY_NAME[] = TEXT("USB 大容量記憶装置（Kavelor 有効）");

int EnableLowerFilter(DEVINST dnDevInst)
{
    // The marker first: a device whose lower filters hold the entry but whose name is not set would not
    // count as enabled, and the next Reg would set it.
    if (!SetDevNodeString(dnDevInst, CM_DRP_FRIENDLYNAME, FILTER_FRIENDLY_NAME))
    {
        return FILTER_ERR_FRIENDLY_NAME;
    }
    if (!AddDevNodeListEntry(dnDevInst, CM_DRP_LOWERFILTERS, FILTER_NAME))
    {
        return FILTER_ERR_LOWER_FILTERS;
    }
    return FILTER_OK;
}

int EnableUpperFilter(DEVINST dnDevInst)
{
    return AddDevNodeListEntry(dnDevInst, CM_DRP_UPPERFILTERS, FILTER_NAME) ? FILTER_OK
                                                                            : FILTER_ERR_UPPER_FILTERS;
}

int DisableLowerFilter(DEVINST dnDevInst)
{
    // A name the user gave the device is theirs: only the marker is taken away. A name that cannot be read
    // (longer than the buffer, or any failure) is not the marker.
    WString friendlyName;
    if (dnDevInst != 0 && GetDevNodeString(CM_DRP_FRIENDLYNAME, dnDevInst, friendlyName) &&
        EqualsNoCase(friendlyName, FILTER_FRIENDLY_NAME))
    {
        if (!DeleteDevNodeProperty(dnDevInst, CM_DRP_FRIENDLYNAME))
        {
            return FILTER_ERR_FRIENDLY_NAME;
        }
    }
    if (!RemoveDevNodeListEntry(dnDevInst, CM_DRP_LOWERFILTERS, FILTER_NAME))
    {
        return FILTER_ERR_LOWER_FILTERS;
    }
    return FILTER_OK;
}

int EnableDeviceFilter(const CUSBEnumerateExData& record)
{
    if (!IsSupportedDevice(record) || !IsMassStorageDevice(record))
    {
        return FILTER_ERR_NOT_TARGET;
    }
    if (GetFilterState(record) == FILTER_STATE_ENABLED)
    {
        return FILTER_OK;
    }
    int result = EnableLowerFilter(record.treeDevice.data.dnDevInst);
    if (result != FILTER_OK)
    {
        return result;
    }
    // The tree as enumerated before the change: the storage nodes in pre-order.
    for (const CUSBEnumerateExTree* node = record.treeDevice.NextPreOrder(); node != nullptr;
         node = node->NextPreOrder())
    {
        if (EqualsNoCase(node->data.strEnumeratorName, TEXT("USBSTOR")))
        {
            result = EnableUpperFilter(node->data.dnDevInst);
            if (result != FILTER_OK)
            {
                return result;
            }
        }
    }
    return FILTER_OK;
}
} // namespace Kavelor
