// The supported-device table: vendor ID and product ID ranges (both inclusive) of the USB mass-storage
// devices the speed-up is offered for. An entry of four zeros ends the table; a table whose first entry is
// all zero admits every device.
#pragma once

#include <windows.h>

namespace Kavelor
{
struct SUPPORTED_DEVICE
{
    WORD wVendorIdLow;
    WORD wVendorIdHigh;
    WORD wProductIdLow;
    WORD wProductIdHigh;
};

extern const SUPPORTED_DEVICE g_supportedDevices[];
} // namespace Kavelor
