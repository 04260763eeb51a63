// FormatByteSize: the unit is the first one at which the value falls below 1000 of it.
#include "trayapp/FormatByteSize.h"

#include "trayapp/ResourceText.h"

#include <cstdio>

namespace Kavelor
{
namespace
{
const char* const kUnits[] = {nullptr, "KB", "MB", "GB", "TB", "PB", "EB"};
const int kUnitCount = 7;
// "バイト": the unit below 1000 bytes.
const WCHAR kBytes[] = {0x30D0, 0x30A4, 0x30C8, 0};
} // namespace

WString FormatByteSize(uint64_t bytes)
{
    char szNumber[32] = {};
    if (bytes < 1000)
    {
        std::snprintf(szNumber, sizeof(szNumber), "%u", static_cast<unsigned>(bytes));
        return WidenAscii(szNumber) + kBytes;
    }
    uint64_t v = bytes;
    int i = 1;
    for (; i < kUnitCount; ++i)
    {
        uint64_t q = v / 1024;
        if (q < 100)
        {
            // v < 102400 here, so v * 100 cannot overflow.
            double x = static_cast<double>(v * 100 / 1024) / 100.0;
            std::snprintf(szNumber, sizeof(szNumber), x < 10.0 ? "%.2f" : "%.1f", x);
            break;
        }
        if (q < 1000)
        {
            std::snprintf(szNumber, sizeof(szNumber), "%u", static_cast<unsigned>(q));
            break;
        }
        v = q;
    }
    // 2^64 - 1 bytes are 15.9EB, so the loop always ends inside the table.
    return WidenAscii(szNumber) + WidenAscii(kUnits[i < kUnitCount ? i : kUnitCount - 1]);
}
} // namespace Kavelor
