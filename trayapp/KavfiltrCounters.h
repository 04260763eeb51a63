// CKavfiltrCounters: what Kavfiltr counted for one device, summed over the device's logical units, as the
// driver leaves it under the USB node's hardware key (driver/kavfiltr_counters.h). Read with the rights of
// any user: the hardware key is opened for reading only, which a user without administrator rights may.
#pragma once

#include "enumlib/WideString.h"

#include <cstdint>

namespace Kavelor
{
// The driver numbers a device's units "0" to "15", the largest number of logical units a Bulk-Only device
// can report.
const DWORD KAVFILTR_MAX_UNITS = 16;

struct CKavfiltrCounters
{
    // A key of at least one unit exists: the driver has published since it last found the key missing.
    bool bPublished = false;
    // READ(10) and WRITE(10) commands the function driver asked for, and those that reached the device.
    uint64_t ullClassCommands = 0;
    uint64_t ullDeviceCommands = 0;
    // Bytes of the function driver's reads answered from the read-ahead.
    uint64_t ullCachedBytes = 0;
};

// The counters under the hardware key of the device node with this instance ID. A value that is missing,
// not a REG_QWORD or not eight bytes long counts as 0; sums stop at the largest value instead of wrapping.
// False when the device or its hardware key cannot be opened (the counters stay empty).
bool ReadKavfiltrCounters(const WString& strUsbInstanceId, CKavfiltrCounters& counters);
} // namespace Kavelor
