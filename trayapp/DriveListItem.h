// CDriveListItem: one icon of the device list — a drive letter of a device, the overlay that says the
// speed-up is off (1) or incomplete (2), and the device-node handle of the node with the letter, by which
// the device record is found again. MakeDriveListItems gives them in the order the list view inserts
// them: records in list order, each record's tree in depth-first pre-order.
#pragma once

#include "enumlib/EnumerateData.h"

#include <windows.h>

#include <vector>

namespace Kavelor
{
const int OVERLAY_NONE = 0;
const int OVERLAY_DEVICE_OFF = 1;
const int OVERLAY_STORAGE_OFF = 2;

struct CDriveListItem
{
    WCHAR chDriveLetter = 0;
    WString strText; // "(E:)"
    int nOverlay = OVERLAY_NONE;
    DEVINST dnDevInst = 0;
    // The instance ID of the device's USB node: with the letter, what names the item across scans, where
    // device-node handles may change (a device restarted by Kavset, unplugged and plugged in again).
    WString strDeviceId;
};

// The overlay for a filter state.
int OverlayForFilterState(int nFilterState);
// "(%C:)": the letter in upper case.
WString DriveItemText(WCHAR chDriveLetter);
// Reads each record's filter state live from the Configuration Manager.
std::vector<CDriveListItem> MakeDriveListItems(const CUSBEnumerateExList& devices);
// The item of items that stands for the same drive of the same device as selected (its USB node's
// instance ID and its letter, both without case); -1 when that drive is no longer listed.
int FindSameDriveListItem(const std::vector<CDriveListItem>& items, const CDriveListItem& selected);
} // namespace Kavelor
