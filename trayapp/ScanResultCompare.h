// Whether a new scan result differs from the one the main window shows. Two lists are equal when they
// hold equal records in the same order; records compare their IDs, their three strings and their device
// trees node by node (payload, presence of a parent, children in order). Strings compare exactly: a
// changed case is a change.
#pragma once

#include "enumlib/EnumerateData.h"

namespace Kavelor
{
bool IsSameTreeData(const CUSBEnumerateExTreeData& a, const CUSBEnumerateExTreeData& b);
bool IsSameTree(const CUSBEnumerateExTree& a, const CUSBEnumerateExTree& b);
bool IsSameDevice(const CUSBEnumerateExData& a, const CUSBEnumerateExData& b);
bool IsSameResult(const CUSBEnumerateExList& a, const CUSBEnumerateExList& b);
} // namespace Kavelor
