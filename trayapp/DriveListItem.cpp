// The items of the device list, one per drive letter.
#include "trayapp/DriveListItem.h"

#include "enumlib/FilterState.h"
#include "enumlib/WideString.h"

namespace Kavelor
{
int OverlayForFilterState(int nFilterState)
{
    switch (nFilterState)
    {
    case FILTER_STATE_DEVICE_OFF:
        return OVERLAY_DEVICE_OFF;
    case FILTER_STATE_STORAGE_OFF:
        return OVERLAY_STORAGE_OFF;
    default:
        return OVERLAY_NONE;
    }
}

namespace
{
WCHAR UpperLetter(WCHAR chLetter)
{
    return chLetter >= 'a' && chLetter <= 'z' ? static_cast<WCHAR>(chLetter - 'a' + 'A') : chLetter;
}
} // namespace

WString DriveItemText(WCHAR chDriveLetter)
{
    const WCHAR szText[] = {'(', UpperLetter(chDriveLetter), ':', ')', 0};
    return szText;
}

std::vector<CDriveListItem> MakeDriveListItems(const CUSBEnumerateExList& devices)
{
    std::vector<CDriveListItem> items;
    for (const CUSBEnumerateExData& record : devices)
    {
        int nOverlay = OverlayForFilterState(GetFilterState(record));
        for (const CUSBEnumerateExTree* node = &record.treeDevice; node != nullptr;
             node = node->NextPreOrder())
        {
            if (node->data.chDriveLetter == 0)
            {
                continue;
            }
            CDriveListItem item;
            item.chDriveLetter = node->data.chDriveLetter;
            item.strText = DriveItemText(node->data.chDriveLetter);
            item.nOverlay = nOverlay;
            item.dnDevInst = node->data.dnDevInst;
            item.strDeviceId = record.treeDevice.data.strDeviceInstanceId;
            items.push_back(item);
        }
    }
    return items;
}

int FindSameDriveListItem(const std::vector<CDriveListItem>& items, const CDriveListItem& selected)
{
    for (size_t at = 0; at < items.size(); ++at)
    {
        if (UpperLetter(items[at].chDriveLetter) == UpperLetter(selected.chDriveLetter) &&
            EqualsNoCase(items[at].strDeviceId, selected.strDeviceId))
        {
            return static_cast<int>(at);
        }
    }
    return -1;
}
} // namespace Kavelor
