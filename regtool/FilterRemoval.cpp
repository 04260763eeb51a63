// Kavfiltr off every device node of the machine (see FilterRemoval.h).
#include "regtool/FilterRemoval.h"

#include "regtool/DeviceFilter.h"
#include "regtool/DeviceRestart.h"
#include "regtool/FilterList.h"

#include "enumlib/DeviceInfoSet.h"
#include "enumlib/FilterState.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <vector>

namespace Kavelor
{
namespace
{
const int LIST_WITHOUT_FILTER = 0;
const int LIST_NAMES_FILTER = 1;
const int LIST_UNREADABLE = -1;

// A filter list of an element, read through the set (two calls: the size, then the list). A property the
// node does not have is an empty list; any other failure leaves open whether it names the filter.
int ListState(HDEVINFO hDevInfo, SP_DEVINFO_DATA& element, DWORD dwProperty)
{
    std::vector<WCHAR> buffer(128);
    for (;;)
    {
        DWORD dwRequired = 0;
        if (SetupDiGetDeviceRegistryPropertyW(hDevInfo, &element, dwProperty, nullptr,
                                              reinterpret_cast<PBYTE>(buffer.data()),
                                              DWORD(buffer.size() * sizeof(WCHAR)), &dwRequired))
        {
            break;
        }
        DWORD dwError = GetLastError();
        if (dwError == ERROR_INVALID_DATA)
        {
            return LIST_WITHOUT_FILTER;
        }
        if (dwError != ERROR_INSUFFICIENT_BUFFER || dwRequired <= buffer.size() * sizeof(WCHAR))
        {
            return LIST_UNREADABLE;
        }
        buffer.resize(dwRequired / sizeof(WCHAR) + 2);
    }
    // A stored value need not be terminated: the two extra zeros end the last entry and the list.
    buffer.push_back(0);
    buffer.push_back(0);
    for (const WCHAR* pszEntry = buffer.data(); *pszEntry != 0;)
    {
        WString strEntry(pszEntry);
        if (EqualsNoCase(strEntry, FILTER_NAME))
        {
            return LIST_NAMES_FILTER;
        }
        pszEntry += strEntry.size() + 1;
    }
    return LIST_WITHOUT_FILTER;
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
            int lower = ListState(set.Get(), element, SPDRP_LOWERFILTERS);
            int upper = ListState(set.Get(), element, SPDRP_UPPERFILTERS);
            if (lower == LIST_UNREADABLE || upper == LIST_UNREADABLE)
            {
                // It may name the filter: the service must stay.
                bFailed = true;
                continue;
            }
            if (lower == LIST_WITHOUT_FILTER && upper == LIST_WITHOUT_FILTER)
            {
                // Nothing to change; the marker goes only with the lower-filter entry it stands for.
                continue;
            }
            if (DisableLowerFilter(element.DevInst) != FILTER_OK ||
                !RemoveDevNodeListEntry(element.DevInst, CM_DRP_UPPERFILTERS, FILTER_NAME))
            {
                bFailed = true;
                continue;
            }
            named.push_back(element.DevInst);
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
