// CDeviceInfoSet: owns a Setup API device information set and destroys it on every path, also when an
// out-of-memory exception leaves the walk.
#pragma once

#include <windows.h>
#include <setupapi.h>

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

private:
    HDEVINFO m_hSet;
};
} // namespace Kavelor
