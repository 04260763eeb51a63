// CDeviceInfoSet: owns a Setup API device information set and destroys it on every path, also when an
// out-of-memory exception leaves the walk; reads the device path of an interface of the set with the
// two-call size pattern.
#pragma once

#include "enumlib/WideString.h"

#include <windows.h>
#include <setupapi.h>

#include <vector>

namespace Kavelor
{
class CDeviceInfoSet
{
public:
    explicit CDeviceInfoSet(HDEVINFO hSet) : m_hSet(hSet) {}
    ~CDeviceInfoSet()
    {
        if (IsOpen())
        {
            SetupDiDestroyDeviceInfoList(m_hSet);
        }
    }
    CDeviceInfoSet(const CDeviceInfoSet&) = delete;
    CDeviceInfoSet& operator=(const CDeviceInfoSet&) = delete;

    bool IsOpen() const { return m_hSet != INVALID_HANDLE_VALUE && m_hSet != nullptr; }
    HDEVINFO Get() const { return m_hSet; }
    // Hands the set to a caller that destroys it itself; this object no longer does.
    HDEVINFO Detach()
    {
        HDEVINFO hSet = m_hSet;
        m_hSet = INVALID_HANDLE_VALUE;
        return hSet;
    }

    // The device path of an interface of the set, and (when pDeviceData is given) the device it belongs
    // to. False when the interface has no detail or it cannot be read.
    bool GetInterfacePath(SP_DEVICE_INTERFACE_DATA* pInterfaceData, WString& strPath,
                          SP_DEVINFO_DATA* pDeviceData = nullptr);

private:
    HDEVINFO m_hSet;
    std::vector<BYTE> m_detailBuffer; // one buffer for every read of the set; it only grows
};
} // namespace Kavelor
