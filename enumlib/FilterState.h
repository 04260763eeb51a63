// The filter state of a device record: whether "Kavfiltr" is registered on the USB device node (lower
// filters, with the marker friendly name) and on every USBSTOR node below it (upper filters). The state is
// read live from the Configuration Manager at the time of the call; the filter lists stored in the tree
// are a snapshot and are not used.
#pragma once

#include "enumlib/EnumerateData.h"
#include "enumlib/SupportedDevices.h"

namespace Kavelor
{
const int FILTER_STATE_NOT_TARGET = 0;
const int FILTER_STATE_ENABLED = 1;
const int FILTER_STATE_DEVICE_OFF = 2;
const int FILTER_STATE_STORAGE_OFF = 3;

// The filter driver's service name, as it stands in the filter lists.
extern const WCHAR FILTER_NAME[];

bool DevNodeListContains(DEVINST dnDevInst, ULONG ulProperty, const WString& strValue);
bool IsLowerFilterEnabled(DEVINST dnDevInst);
bool IsUpperFilterEnabled(DEVINST dnDevInst);
int GetFilterState(const CUSBEnumerateExData& record, const SUPPORTED_DEVICE* pTable = g_supportedDevices);
} // namespace Kavelor
