// IScanRequests: what the main window asks of the enumeration thread — one more scan, and a copy of the
// latest result. The thread is its implementation; the window's logic knows only this, so it runs the same
// against a scan that a test performs on the spot.
#pragma once

#include "enumlib/EnumerateData.h"

#include <windows.h>

namespace Kavelor
{
class IScanRequests
{
public:
    virtual ~IScanRequests() = default;
    virtual BOOL RequestScan() = 0;
    virtual void CopyResults(CUSBEnumerateExList& results) = 0;
};
} // namespace Kavelor
