// CDeviceInfoSet: the interface-detail read (see DeviceInfoSet.h).
#include "enumlib/DeviceInfoSet.h"

#include <algorithm>
#include <cstddef>

namespace Kavelor
{

// The platform's detail header: cbSize is 4 bytes, DevicePath starts right after it; the 64-bit header is
// padded to 8, the 32-bit one is packed to 6. cbSize must be the header's size, not the buffer's.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == (sizeof(void*) == 8 ? 8 : 6),
              "detail header size");

bool CDeviceInfoSet::GetInterfacePath(SP_DEVICE_INTERFACE_DATA* pInterfaceData, WString& strPath,
                                      SP_DEVINFO_DATA* pDeviceData)
{
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(m_hSet, pInterfaceData, nullptr, 0, &required, nullptr);
    if (required == 0)
    {
        return false;
    }
    // The buffer always holds the detail header, whatever size the first call reports.
    size_t size = std::max<size_t>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    if (m_detailBuffer.size() < size)
    {
        m_detailBuffer.resize(size);
    }
    std::fill(m_detailBuffer.begin(), m_detailBuffer.end(), 0);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(m_detailBuffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(m_hSet, pInterfaceData, detail, required, nullptr, pDeviceData))
    {
        return false;
    }
    size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    strPath = TextInBuffer(detail->DevicePath, (required - pathOffset) / sizeof(WCHAR));
    return true;
}

} // namespace Kavelor
