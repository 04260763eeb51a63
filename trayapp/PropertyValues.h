// The texts of the property dialog for one drive: what the volume and the shell report about the drive
// root, turned into the dialog's caption and its six values. The dialog reads the volume facts from the
// system; the texts are made here.
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

// "E:\" for drive E.
WString DriveRoot(WCHAR chDriveLetter);
// The filter state is read live from the Configuration Manager.
CPropertyValues MakePropertyValues(HINSTANCE hInstance, const CUSBEnumerateExData& device,
                                   WCHAR chDriveLetter, const CVolumeFacts& facts);
} // namespace Kavelor
