// Kavfiltr off every device node of the machine (see FilterRemoval.h).
#include "regtool/FilterRemoval.h"

#include "regtool/DeviceFilter.h"
#include "regtool/DeviceRestart.h"
#include "regtool/FilterList.h"

#include "enumlib/DevNodeProperty.h"
#include "enumlib/DeviceInfoSet.h"
#include "enumlib/FilterState.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <list>
#include <vector>

namespace Kavelor
{
namespace
{
bool ListNamesFilter(DEVINST dnDevInst, ULONG ulProperty)
{
    std::list<WString> lstValues;
    if (!GetDevNodeStringList(dnDevInst, ulProperty, lstValues))
    {
        return false;
    }
    return std::any_of(lstValues.begin(), lstValues.end(),
                       [](const WString& strValue) { return EqualsNoCase(strValue, FILTER_NAME); });
}

// Whether a node above this one is among the restarted: its restart rebuilt this node's stack already.
bool BelowRestarted(DEVINST dnDevInst, const std::vector<DEVINST>& restarted)
{
    DEVINST dnParent = 0;
    for (DEVINST dnNode = dnDevInst; CM_Get_Parent(&dnParent, dnNode, 0) == CR_SUCCESS; dnNode = dnParent)
    {
        if (std::find(restarted.begin(), restarted.end(), dnParent) != restarted.end())
        {
            return true;
        }
    }
    return false;
}

bool IsPresent(DEVINST dnDevInst)
{
    HDEVINFO hDevInfo = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA devInfoData = {};
    devInfoData.cbSize = sizeof devInfoData;
    if (!FindDeviceInfo(dnDevInst, TRUE, hDevInfo, devInfoData))
    {
        return false;
    }
    SetupDiDestroyDeviceInfoList(hDevInfo);
    return true;
}
} // namespace

int RemoveFilterFromAllDevices()
{
    // All devices, not only the present ones: the entries of an unplugged stick must go too, or it would
    // not start when it comes back after the service is gone.
    std::vector<DEVINST> named;
    bool bFailed = false;
    {
        CDeviceInfoSet set(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
        if (!set.IsOpen())
        {
            return REMOVAL_FAILED;
        }
        for (DWORD index = 0;; ++index)
        {
            SP_DEVINFO_DATA element = {};
            element.cbSize = sizeof element;
            if (!SetupDiEnumDeviceInfo(set.Get(), index, &element))
            {
                break;
            }
            bool bNamed = ListNamesFilter(element.DevInst, CM_DRP_LOWERFILTERS) ||
                          ListNamesFilter(element.DevInst, CM_DRP_UPPERFILTERS);
            // A list that cannot be read counts as failed in the editors: it may name the filter.
            if (DisableLowerFilter(element.DevInst) != FILTER_OK ||
                !RemoveDevNodeListEntry(element.DevInst, CM_DRP_UPPERFILTERS, FILTER_NAME))
            {
                bFailed = true;
            }
            else if (bNamed)
            {
                named.push_back(element.DevInst);
            }
        }
    }
    if (bFailed)
    {
        // Nothing is restarted: the caller keeps the service, and the devices cleaned so far simply run
        // without the filter from their next start.
        return REMOVAL_FAILED;
    }

    // The set holds parents before their children, so a USB device node restarts before its disks, whose
    // stacks its restart builds again.
    std::vector<DEVINST> restarted;
    bool bPending = false;
    for (DEVINST dnDevInst : named)
    {
        if (!IsPresent(dnDevInst) || BelowRestarted(dnDevInst, restarted))
        {
            continue;
        }
        int needRestart = 0;
        if (!RestartDevice(dnDevInst, DICS_FLAG_GLOBAL, DICS_PROPCHANGE, needRestart) || needRestart != 0)
        {
            bPending = true;
        }
        restarted.push_back(dnDevInst);
    }
    return bPending ? REMOVAL_RESTART_PENDING : REMOVAL_OK;
}
} // namespace Kavelor
