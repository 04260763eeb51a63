// The property dialog's texts: the shell's display name or "(E:)" in the caption, "不明" for an unknown
// file system, the capacity in three digits, the speed-up state and the USB IDs.
#include "trayapp/PropertyValues.h"

#include "enumlib/FilterState.h"
#include "trayapp/DriveListItem.h"
#include "trayapp/FormatByteSize.h"
#include "trayapp/ResourceText.h"
#include "trayapp/res/resource.h"

namespace Kavelor
{
WString DriveRoot(WCHAR chDriveLetter)
{
    const WCHAR szRoot[] = {chDriveLetter, ':', '\\', 0};
    return szRoot;
}

CPropertyValues MakePropertyValues(HINSTANCE hInstance, const CUSBEnumerateExData& device,
                                   WCHAR chDriveLetter, const CVolumeFacts& facts)
{
    CPropertyValues values;
    WString strDisplayName =
        facts.strDisplayName.empty() ? DriveItemText(chDriveLetter) : facts.strDisplayName;
    values.strCaption = FormatWithText(LoadText(hInstance, IDS_PROPERTIES_CAPTION), strDisplayName);
    values.strVolumeName = facts.strVolumeName;
    values.strFileSystem =
        facts.strFileSystem.empty() ? LoadText(hInstance, IDS_UNKNOWN_FILE_SYSTEM) : facts.strFileSystem;
    values.strCapacity = FormatByteSize(facts.ullTotalBytes);
    values.strKavelorState = LoadText(
        hInstance, GetFilterState(device) == FILTER_STATE_ENABLED ? IDS_STATE_ENABLED : IDS_STATE_DISABLED);
    values.strVendorId = FormatHex4(device.wVendorId);
    values.strProductId = FormatHex4(device.wProductId);
    return values;
}
} // namespace Kavelor
