// winsim/machine: advapi32's registry calls on the keys user mode can reach here, the hardware keys of device
// nodes (SetupDiOpenDevRegKey) and the keys below them; the keys themselves are winsim/registry's, where
// drivers write them.
//
// What it checks, as Windows does: a key is opened with rights the process's token has (a user without
// administrator rights opens a device's hardware key for reading only: ERROR_ACCESS_DENIED otherwise), a
// value is set only through a handle opened for it, a subkey opens only when it exists, the two-call size
// pattern of RegQueryValueExW, and every handle is an open registry key and closed with RegCloseKey.
#include "winsim/machine/machine.h"
#include "winsim/registry/registry_store.h"

#include <cstring>

using namespace winsim::machine;
namespace registry = winsim::registry;

namespace
{

const ACCESS_MASK kChangingRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

Machine::OpenObject& KeyOf(Machine& machine, HKEY key, const char* call)
{
    Machine::OpenObject* object = machine.LookupHandle(key);
    if (object == nullptr || object->kind != Machine::OpenObject::Kind::RegistryKey)
    {
        Violation("%s: %p is not an open registry key", call, static_cast<void*>(key));
    }
    return *object;
}

HKEY OpenKeyHandle(Machine& machine, const WString& instanceId, const WString& subkey, REGSAM access)
{
    Machine::OpenObject object;
    object.kind = Machine::OpenObject::Kind::RegistryKey;
    object.path = instanceId;
    object.subkey = subkey;
    object.access = access;
    return static_cast<HKEY>(machine.OpenHandle(object));
}

WString Text(LPCWSTR text)
{
    return text == nullptr ? WString() : WString(reinterpret_cast<const char16_t*>(text));
}

} // namespace

namespace winsim::machine
{

HKEY OpenDeviceKey(Machine& machine, const DevNode& node, REGSAM access, LONG* error)
{
    if ((access & kChangingRights) != 0 && !machine.security.administrators)
    {
        *error = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    registry::CreateKey(node.instanceId, u"");
    *error = ERROR_SUCCESS;
    return OpenKeyHandle(machine, node.instanceId, u"", access);
}

} // namespace winsim::machine

extern "C"
{

    LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                              PHKEY phkResult)
    {
        Machine& machine = Current();
        std::lock_guard<std::recursive_mutex> lock(machine.Lock());
        Machine::OpenObject& parent = KeyOf(machine, hKey, "RegOpenKeyExW");
        if (ulOptions != 0 || phkResult == nullptr)
        {
            Violation("RegOpenKeyExW: options %u, result %p", ulOptions, static_cast<void*>(phkResult));
        }
        if ((samDesired & kChangingRights) != 0 && !machine.security.administrators)
        {
            return ERROR_ACCESS_DENIED;
        }
        WString name = Text(lpSubKey);
        WString subkey =
            parent.subkey.empty() || name.empty() ? parent.subkey + name : parent.subkey + u"\\" + name;
        if (!registry::KeyExists(parent.path, subkey))
        {
            return ERROR_FILE_NOT_FOUND;
        }
        *phkResult = OpenKeyHandle(machine, parent.path, subkey, samDesired);
        return ERROR_SUCCESS;
    }

    LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                 LPBYTE lpData, LPDWORD lpcbData)
    {
        Machine& machine = Current();
        std::lock_guard<std::recursive_mutex> lock(machine.Lock());
        Machine::OpenObject& key = KeyOf(machine, hKey, "RegQueryValueExW");
        if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        {
            Violation("RegQueryValueExW: reserved %p, data %p without a size", static_cast<void*>(lpReserved),
                      static_cast<void*>(lpData));
        }
        if ((key.access & KEY_QUERY_VALUE) == 0)
        {
            return ERROR_ACCESS_DENIED;
        }
        auto value = registry::Read(key.path, key.subkey, Text(lpValueName));
        if (!value)
        {
            return ERROR_FILE_NOT_FOUND;
        }
        if (lpType != nullptr)
        {
            *lpType = value->type;
        }
        if (lpcbData == nullptr)
        {
            return ERROR_SUCCESS;
        }
        DWORD room = *lpcbData;
        *lpcbData = DWORD(value->data.size());
        if (lpData == nullptr)
        {
            return ERROR_SUCCESS;
        }
        if (room < value->data.size())
        {
            return ERROR_MORE_DATA;
        }
        std::memcpy(lpData, value->data.data(), value->data.size());
        return ERROR_SUCCESS;
    }

    LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                               const BYTE* lpData, DWORD cbData)
    {
        Machine& machine = Current();
        std::lock_guard<std::recursive_mutex> lock(machine.Lock());
        Machine::OpenObject& key = KeyOf(machine, hKey, "RegSetValueExW");
        if (Reserved != 0 || (lpData == nullptr && cbData != 0))
        {
            Violation("RegSetValueExW: reserved %u, %u bytes without data", Reserved, cbData);
        }
        if ((key.access & KEY_SET_VALUE) == 0)
        {
            return ERROR_ACCESS_DENIED;
        }
        registry::Value value;
        value.type = dwType;
        value.data.assign(lpData, lpData + cbData);
        registry::Write(key.path, key.subkey, Text(lpValueName), value);
        return ERROR_SUCCESS;
    }

    LONG WINAPI RegCloseKey(HKEY hKey)
    {
        Machine& machine = Current();
        std::lock_guard<std::recursive_mutex> lock(machine.Lock());
        KeyOf(machine, hKey, "RegCloseKey");
        machine.CloseOpenHandle(hKey);
        return ERROR_SUCCESS;
    }

} // extern "C"
