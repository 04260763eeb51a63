// The devices the product ships support for: one vendor, three consecutive products.
#include "enumlib/SupportedDevices.h"

namespace Kavelor
{
const SUPPORTED_DEVICE g_supportedDevices[] = {
    {0x3A7E, 0x3A7E, 0x1201, 0x1203},
    {0, 0, 0, 0},
};
} // namespace Kavelor
