// The property dialog's texts: the shell's display name or "(E:)" in the caption, "不明" for an unknown
// file system, the capacity in three digits, the speed-up state and the USB IDs; the commands the speed-up
// saved and the data it served from the read-ahead, or why it has nothing to show.
#include "trayapp/PropertyValues.h"

#include "enumlib/FilterState.h"
#include "trayapp/DriveListItem.h"
#include "trayapp/FormatByteSize.h"
#include "trayapp/KavfiltrCounters.h"
#include "trayapp/ResourceText.h"
#include "trayapp/ServiceControl.h"
#include "trayapp/res/resource.h"

#include <cstdio>

namespace Kavelor
{
namespace
{
// Counts are scaled down to this before the share is computed, so that a count times 1000 stays far inside
// 64 bits; the share of such counts is the same to the tenth of a percent.
const uint64_t kShareScaleLimit = 1ull << 40;
// Beyond eleven device commands per class command the share shows as -1000.0%: the text stays short even
// for counts nobody's driver wrote.
const uint64_t kDeviceCommandsPerClassLimit = 11;

// The driver runs for the device only when the USB node is started without a problem: a listed filter that
// fails to load leaves the node with a problem code and no stack.
bool IsUsbNodeRunning(const WString& strInstanceId)
{
    // An empty ID would locate the root of the tree, which is always started.
    if (strInstanceId.empty())
    {
        return false;
    }
    DEVINST dnDevInst = 0;
    if (CM_Locate_DevNodeW(&dnDevInst, const_cast<WCHAR*>(strInstanceId.c_str()), CM_LOCATE_DEVNODE_NORMAL) !=
        CR_SUCCESS)
    {
        return false;
    }
    ULONG ulStatus = 0;
    ULONG ulProblem = 0;
    if (CM_Get_DevNode_Status(&ulStatus, &ulProblem, dnDevInst, 0) != CR_SUCCESS)
    {
        return false;
    }
    return (ulStatus & DN_STARTED) != 0 && (ulStatus & DN_HAS_PROBLEM) == 0;
}

CSpeedUpValues SpeedUpNote(HINSTANCE hInstance, UINT nTextId)
{
    CSpeedUpValues values;
    values.strNote = LoadText(hInstance, nTextId);
    return values;
}
} // namespace

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

WString FormatCommandsSaved(uint64_t ullClassCommands, uint64_t ullDeviceCommands)
{
    uint64_t ullClass = ullClassCommands;
    uint64_t ullDevice = ullDeviceCommands;
    while (ullClass > kShareScaleLimit)
    {
        ullClass >>= 1;
        ullDevice >>= 1;
    }
    if (ullDevice / kDeviceCommandsPerClassLimit >= ullClass)
    {
        ullDevice = ullClass * kDeviceCommandsPerClassLimit;
    }
    // Both below 2^44 now: the difference times 1000 fits, and C++ division truncates toward zero.
    int64_t llPermille = (static_cast<int64_t>(ullClass) - static_cast<int64_t>(ullDevice)) * 1000 /
                         static_cast<int64_t>(ullClass);
    int64_t llMagnitude = llPermille < 0 ? -llPermille : llPermille;
    char szText[32] = {};
    std::snprintf(szText, sizeof(szText), "%s%u.%u%%", llPermille < 0 ? "-" : "",
                  static_cast<unsigned>(llMagnitude / 10), static_cast<unsigned>(llMagnitude % 10));
    return WidenAscii(szText);
}

CSpeedUpValues MakeSpeedUpValues(HINSTANCE hInstance, const CUSBEnumerateExData& device)
{
    // Whatever a device that is not filtered once counted is not its speed-up now.
    if (GetFilterState(device) != FILTER_STATE_ENABLED)
    {
        return SpeedUpNote(hInstance, IDS_SPEEDUP_OFF);
    }
    const WString& strInstanceId = device.treeDevice.data.strDeviceInstanceId;
    if (!IsServiceInstalled(FILTER_NAME) || !IsUsbNodeRunning(strInstanceId))
    {
        return SpeedUpNote(hInstance, IDS_SPEEDUP_NO_DRIVER);
    }
    CKavfiltrCounters counters;
    if (!ReadKavfiltrCounters(strInstanceId, counters))
    {
        return SpeedUpNote(hInstance, IDS_SPEEDUP_UNREADABLE);
    }
    // No command yet: a share of nothing would be a made-up number.
    if (!counters.bPublished || counters.ullClassCommands == 0)
    {
        return SpeedUpNote(hInstance, IDS_SPEEDUP_NO_DATA);
    }
    CSpeedUpValues values;
    values.strCommandsSaved = FormatCommandsSaved(counters.ullClassCommands, counters.ullDeviceCommands);
    values.strCachedData = FormatByteSize(counters.ullCachedBytes);
    return values;
}
} // namespace Kavelor
