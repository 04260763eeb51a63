// Restarting a device node through its class installer, so that the Plug and Play manager builds its
// device stacks again from the filter lists as they are now: the property change (DIF_PROPERTYCHANGE,
// DICS_PROPCHANGE) on the node's element of the set of present devices. A restart the system accepts but
// cannot complete now (a volume of the device is in use, so the stop is refused) or that wants a reboot
// is reported through needRestart.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

namespace Kavelor
{
// The element of the node in a set of all (present, when bPresentOnly) devices, matched by instance ID
// ignoring case, or by DEVINST when the ID cannot be read. On true the caller owns hDevInfo and must
// destroy it; on false there is nothing to destroy.
bool FindDeviceInfo(DEVINST dnDevInst, BOOL bPresentOnly, HDEVINFO& hDevInfo, SP_DEVINFO_DATA& devInfoData);

// True when the class installer applied the change. needRestart (set to 0 by the caller) becomes 1 only
// when the install parameters say a restart or reboot is still needed.
bool RestartDevice(DEVINST dnDevInst, DWORD dwScope, DWORD dwStateChange, int& needRestart);
} // namespace Kavelor
