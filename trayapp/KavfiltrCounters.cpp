// ReadKavfiltrCounters: the device is reached by its instance ID alone (an empty device information set
// and SetupDiOpenDeviceInfoW), so a read once a second takes no snapshot of all devices.
#include "trayapp/KavfiltrCounters.h"

#include "driver/kavfiltr_counters.h"
#include "enumlib/DeviceInfoSet.h"
#include "trayapp/ResourceText.h"

#include <windows.h>
#include <setupapi.h>

#include <cstdio>

namespace Kavelor
{
namespace
{
// Owns an open registry key; closes it on every path.
class CRegistryKey
{
public:
    CRegistryKey() : m_hKey(nullptr) {}
    explicit CRegistryKey(HKEY hKey) : m_hKey(hKey == INVALID_HANDLE_VALUE ? nullptr : hKey) {}
    ~CRegistryKey()
    {
        if (m_hKey != nullptr)
        {
            RegCloseKey(m_hKey);
        }
    }
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    // Opens a key below `parent` for reading only.
    bool Open(HKEY hParent, const WCHAR* pszSubKey)
    {
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(hParent, pszSubKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        {
            return false;
        }
        m_hKey = hKey;
        return true;
    }
    bool IsOpen() const { return m_hKey != nullptr; }
    HKEY Get() const { return m_hKey; }

private:
    HKEY m_hKey;
};

// The driver writes nothing but REG_QWORD values: anything else under its key is not its count.
uint64_t ReadCount(HKEY hUnit, const WCHAR* pszName)
{
    ULONGLONG ullValue = 0;
    DWORD dwType = REG_NONE;
    DWORD cbData = sizeof(ullValue);
    LONG lResult =
        RegQueryValueExW(hUnit, pszName, nullptr, &dwType, reinterpret_cast<LPBYTE>(&ullValue), &cbData);
    if (lResult != ERROR_SUCCESS || dwType != REG_QWORD || cbData != sizeof(ullValue))
    {
        return 0;
    }
    return ullValue;
}

// A sum of counts taken from the registry, which anyone with administrator rights can write: it saturates.
uint64_t AddCount(uint64_t a, uint64_t b)
{
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}
} // namespace

bool ReadKavfiltrCounters(const WString& strUsbInstanceId, CKavfiltrCounters& counters)
{
    counters = CKavfiltrCounters();
    CDeviceInfoSet set(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!set.IsOpen())
    {
        return false;
    }
    SP_DEVINFO_DATA devInfo = {};
    devInfo.cbSize = sizeof(devInfo);
    if (!SetupDiOpenDeviceInfoW(set.Get(), strUsbInstanceId.c_str(), nullptr, 0, &devInfo))
    {
        return false;
    }
    CRegistryKey device(SetupDiOpenDevRegKey(set.Get(), &devInfo, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ));
    if (!device.IsOpen())
    {
        return false;
    }
    CRegistryKey driver;
    if (!driver.Open(device.Get(), KAVFILTR_COUNTERS_KEY))
    {
        return true;
    }
    for (DWORD dwUnit = 0; dwUnit < KAVFILTR_MAX_UNITS; ++dwUnit)
    {
        char szUnit[8] = {};
        std::snprintf(szUnit, sizeof(szUnit), "%u", static_cast<unsigned>(dwUnit));
        CRegistryKey unit;
        if (!unit.Open(driver.Get(), WidenAscii(szUnit).c_str()))
        {
            continue;
        }
        counters.bPublished = true;
        HKEY hUnit = unit.Get();
        counters.ullClassCommands =
            AddCount(counters.ullClassCommands, AddCount(ReadCount(hUnit, KAVFILTR_CLASS_READ_COMMANDS),
                                                         ReadCount(hUnit, KAVFILTR_CLASS_WRITE_COMMANDS)));
        counters.ullDeviceCommands =
            AddCount(counters.ullDeviceCommands, AddCount(ReadCount(hUnit, KAVFILTR_DEVICE_READ_COMMANDS),
                                                          ReadCount(hUnit, KAVFILTR_DEVICE_WRITE_COMMANDS)));
        counters.ullCachedBytes = AddCount(counters.ullCachedBytes, ReadCount(hUnit, KAVFILTR_CACHED_BYTES));
    }
    return true;
}
} // namespace Kavelor
