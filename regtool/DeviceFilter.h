// Switching the speed-up on and off for one USB mass-storage device in the registry: the filter below the
// function driver of the USB device node (its lower filters) and above the disk class of every USBSTOR node
// below it (their upper filters), and the marker friendly name on the USB device node that tells an
// enabled device apart. Disabling takes the marker and the lower-filter entry off the USB device node only;
// the storage nodes keep theirs. Nothing here undoes a change when a later step fails: that is the caller's
// decision. The restart that makes a change take effect is in DeviceRestart.h.
#pragma once

#include "enumlib/EnumerateData.h"

#include <windows.h>

namespace Kavelor
{
const int FILTER_OK = 0;
const int FILTER_ERR_NOT_TARGET = -1;
const int FILTER_ERR_FRIENDLY_NAME = -3;
const int FILTER_ERR_LOWER_FILTERS = -4;
const int FILTER_ERR_UPPER_FILTERS = -5;

// The friendly name an enabled USB device node carries.
extern const WCHAR FILTER_FRIENDLY_NAME[];

// The marker, then the lower-filter entry, on the USB device node.
int EnableLowerFilter(DEVINST dnDevInst);
// The upper-filter entry on a storage node.
int EnableUpperFilter(DEVINST dnDevInst);
// The marker (only when the name is still the marker) and the lower-filter entry off the USB device node.
int DisableLowerFilter(DEVINST dnDevInst);
// The whole device: nothing for a device already enabled; else the USB device node, then every storage
// node in pre-order, stopping at the first failure.
int EnableDeviceFilter(const CUSBEnumerateExData& record);
} // namespace Kavelor
