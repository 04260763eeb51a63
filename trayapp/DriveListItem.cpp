// The items of the device list, one per drive letter.
#include "trayapp/DriveListItem.h"

#include "enumlib/FilterState.h"

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

WString DriveItemText(WCHAR chDriveLetter)
{
    WCHAR chUpper = chDriveLetter >= 'a' && chDriveLetter <= 'z'
                        ? static_cast<WCHAR>(chDriveLetter - 'a' + 'A')
                        : chDriveLetter;
    const WCHAR szText[] = {'(', chUpper, ':', ')', 0};
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
            items.push_back(item);
        }
    }
    return items;
}
} // namespace Kavelor
