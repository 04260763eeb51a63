// Reads of device-node properties through the Configuration Manager. Each read either succeeds or leaves
// its output empty; none reports an error further, because a failing read only shortens the enumeration.
#pragma once

#include "enumlib/WideString.h"

#include <windows.h>
#include <cfgmgr32.h>

#include <list>

namespace Kavelor
{
// Size of the buffer single-string properties are read into, in bytes.
const ULONG DEVNODE_STRING_BYTES = 400;

// A string property (CM_DRP_*) of a device node; a value longer than the buffer counts as a failed read.
bool GetDevNodeString(ULONG ulProperty, DEVINST dnDevInst, WString& strValue);

// The device instance ID; one that does not fit MAX_DEVICE_ID_LEN counts as a failed read.
bool GetDeviceInstanceId(DEVINST dnDevInst, WString& strId);

// A multi-string property as a list, up to its first empty string. A property that does not exist is an
// empty list and a successful read.
bool GetDevNodeStringList(DEVINST dnDevInst, ULONG ulProperty, std::list<WString>& lstValues);

// The device node whose driver key (CM_DRP_DRIVER) equals the key ignoring case, or 0.
DEVINST FindDevNodeByDriverKey(const WString& strKey);
} // namespace Kavelor
