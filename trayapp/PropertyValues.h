// The texts of the property dialog for one drive: what the volume and the shell report about the drive
// root, turned into the dialog's caption and its six values; and the speed-up group, what Kavfiltr counted
// for the device. The dialog reads the volume facts from the system; the texts are made here.
#pragma once

#include "enumlib/EnumerateData.h"

#include <windows.h>

#include <cstdint>

namespace Kavelor
{
// What the system reports about the drive root; a drive without medium reports nothing (empty texts, 0).
struct CVolumeFacts
{
    WString strDisplayName;
    WString strVolumeName;
    WString strFileSystem;
    uint64_t ullTotalBytes = 0;
};

struct CPropertyValues
{
    WString strCaption;
    WString strVolumeName;   // 1008
    WString strFileSystem;   // 1009
    WString strCapacity;     // 1010
    WString strKavelorState; // 1011
    WString strVendorId;     // 1012
    WString strProductId;    // 1013
};

// The speed-up group: either both values and no note, or a note that says why there are no values (the
// speed-up off, the driver not running for the device, nothing read or written yet, the counts unreadable)
// and both values empty.
struct CSpeedUpValues
{
    WString strCommandsSaved; // 1017
    WString strCachedData;    // 1019
    WString strNote;          // 1020
};

// "E:\" for drive E.
WString DriveRoot(WCHAR chDriveLetter);
// The filter state is read live from the Configuration Manager.
CPropertyValues MakePropertyValues(HINSTANCE hInstance, const CUSBEnumerateExData& device,
                                   WCHAR chDriveLetter, const CVolumeFacts& facts);
// The share of the function driver's READ(10) and WRITE(10) commands that never reached the device, in
// percent with one decimal truncated toward zero ("37.5%"), so that 100.0% means every one; negative when the
// read-aheads cost more commands than they saved. ullClassCommands must not be 0.
WString FormatCommandsSaved(uint64_t ullClassCommands, uint64_t ullDeviceCommands);
// Read live, as every second while the dialog is open: the filter state and the USB node's status from the
// Configuration Manager, the service from the service control manager, the counts from the hardware key.
// Summed over all units of the device, since the speed-up is switched on and off for the whole device.
CSpeedUpValues MakeSpeedUpValues(HINSTANCE hInstance, const CUSBEnumerateExData& device);
} // namespace Kavelor
