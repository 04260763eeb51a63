// The comparison of two scan results, by which the main window decides whether to refill its list.
#include "trayapp/ScanResultCompare.h"

namespace Kavelor
{
bool IsSameTreeData(const CUSBEnumerateExTreeData& a, const CUSBEnumerateExTreeData& b)
{
    return a.dnDevInst == b.dnDevInst && a.chDriveLetter == b.chDriveLetter &&
           a.strDeviceInstanceId == b.strDeviceInstanceId && a.strEnumeratorName == b.strEnumeratorName &&
           a.strFriendlyName == b.strFriendlyName && a.strDeviceDesc == b.strDeviceDesc &&
           a.strClassGuid == b.strClassGuid && a.lstLowerFilters == b.lstLowerFilters &&
           a.lstUpperFilters == b.lstUpperFilters && a.ulStatus == b.ulStatus &&
           a.ulProblemNumber == b.ulProblemNumber;
}

bool IsSameTree(const CUSBEnumerateExTree& a, const CUSBEnumerateExTree& b)
{
    if (!IsSameTreeData(a.data, b.data) || (a.pParent == nullptr) != (b.pParent == nullptr) ||
        a.children.size() != b.children.size())
    {
        return false;
    }
    for (size_t at = 0; at < a.children.size(); ++at)
    {
        if (!IsSameTree(a.children[at], b.children[at]))
        {
            return false;
        }
    }
    return true;
}

bool IsSameDevice(const CUSBEnumerateExData& a, const CUSBEnumerateExData& b)
{
    return a.wVendorId == b.wVendorId && a.wProductId == b.wProductId && a.strExtra == b.strExtra &&
           a.strLocation == b.strLocation && a.strSerialNumber == b.strSerialNumber &&
           IsSameTree(a.treeDevice, b.treeDevice);
}

bool IsSameResult(const CUSBEnumerateExList& a, const CUSBEnumerateExList& b)
{
    if (a.size() != b.size())
    {
        return false;
    }
    for (auto left = a.begin(), right = b.begin(); left != a.end(); ++left, ++right)
    {
        if (!IsSameDevice(*left, *right))
        {
            return false;
        }
    }
    return true;
}
} // namespace Kavelor
