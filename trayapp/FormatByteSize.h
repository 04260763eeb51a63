// A byte count as the property dialog shows it: three significant digits and a unit without a blank
// (999バイト, 0.97KB, 14.9GB, 100KB). Units step by 1024; the digits are truncated to two decimals first,
// so 1000 bytes are 0.97KB, not 0.98KB.
#pragma once

#include "enumlib/WideString.h"

#include <cstdint>

namespace Kavelor
{
WString FormatByteSize(uint64_t bytes);
} // namespace Kavelor
