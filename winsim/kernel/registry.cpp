// winsim: the part of the registry a device driver reaches, the hardware key of its device ("Device
// Parameters" under the device's instance path), opened with IoOpenDeviceRegistryKey and written with
// ZwCreateKey and ZwSetValueKey. The keys live in winsim/registry, where user mode reads them too.
//
// What it checks, as Windows and its verifier do: every call at PASSIVE_LEVEL; IoOpenDeviceRegistryKey only
// on a physical device object; a handle used for what it was opened for (no value set through a handle
// without KEY_SET_VALUE, no subkey created without KEY_CREATE_SUB_KEY, no value read without
// KEY_QUERY_VALUE), only open registry handles, and handles closed (the open-handle count shows a leak).
// A knob fails every N-th value write, changing nothing.
#include "winsim/kernel/kernel_state.h"
#include "winsim/kernel/winsim_kernel.h"
#include "winsim/registry/registry_store.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace winsim
{
namespace
{

struct OpenKey
{
    std::u16string instancePath;
    std::u16string subkey;
    ACCESS_MASK access;
};

struct DriverRegistry
{
    std::mutex lock;
    std::map<PDEVICE_OBJECT, std::u16string> instancePaths;
    ULONG failEvery = 0;
    size_t writes = 0;
    size_t failedWrites = 0;
    size_t keyOpens = 0;
};

DriverRegistry& TheRegistry()
{
    static DriverRegistry registry;
    return registry;
}

void ResetRegistry()
{
    DriverRegistry& registry = TheRegistry();
    {
        std::lock_guard<std::mutex> lock(registry.lock);
        registry.instancePaths.clear();
        registry.failEvery = 0;
        registry.writes = 0;
        registry.failedWrites = 0;
        registry.keyOpens = 0;
    }
    registry::Reset();
}

detail::ResetHook g_reset(85, ResetRegistry);

std::u16string FromUnicode(const UNICODE_STRING* name)
{
    if (name == nullptr || name->Buffer == nullptr)
    {
        return std::u16string();
    }
    return std::u16string(reinterpret_cast<const char16_t*>(name->Buffer), name->Length / sizeof(WCHAR));
}

void CheckPassive(const char* routine)
{
    if (detail::CurrentThreadState().irql > PASSIVE_LEVEL)
    {
        detail::BugCheck(IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " above PASSIVE_LEVEL",
                         detail::CurrentThreadState().irql);
    }
}

// The key a registry handle stands for; a handle that is not an open registry key is the caller's bug.
OpenKey* KeyOfHandle(HANDLE handle, const char* routine)
{
    auto* open = static_cast<OpenKey*>(detail::ObjectOfHandle(handle, detail::ObjectKind::RegistryKey));
    if (open == nullptr)
    {
        detail::BugCheck(0x93 /* INVALID_KERNEL_HANDLE */,
                         std::string(routine) + " on a handle that is not an open registry key",
                         ULONG_PTR(handle));
    }
    return open;
}

HANDLE OpenHandle(const std::u16string& instancePath, const std::u16string& subkey, ACCESS_MASK access)
{
    auto* open = new OpenKey{instancePath, subkey, access};
    return detail::OpenObjectHandle(
        open, detail::ObjectKind::RegistryKey, [open] { delete open; }, true);
}

} // namespace

void SetDeviceInstancePath(PDEVICE_OBJECT physicalDevice, const std::u16string& instancePath)
{
    DriverRegistry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.lock);
    registry.instancePaths[physicalDevice] = instancePath;
}

void ForgetDeviceInstancePath(PDEVICE_OBJECT physicalDevice)
{
    DriverRegistry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.lock);
    registry.instancePaths.erase(physicalDevice);
}

void FailRegistryWritesEvery(ULONG n)
{
    DriverRegistry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.lock);
    registry.failEvery = n;
    registry.writes = 0;
}

size_t FailedRegistryWrites()
{
    DriverRegistry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.lock);
    return registry.failedWrites;
}

size_t DeviceKeyOpens()
{
    DriverRegistry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.lock);
    return registry.keyOpens;
}

} // namespace winsim

using namespace winsim;

extern "C"
{

    // Only a physical device object has a device node, and with it a hardware key.
    NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                     ACCESS_MASK DesiredAccess, PHANDLE DeviceRegKey)
    {
        CheckPassive("IoOpenDeviceRegistryKey");
        if ((DeviceObject->Flags & DO_BUS_ENUMERATED_DEVICE) == 0)
        {
            detail::BugCheck(PNP_DETECTED_FATAL_ERROR,
                             "IoOpenDeviceRegistryKey on a device that is not a PDO", 0x2,
                             ULONG_PTR(DeviceObject));
        }
        if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE)
        {
            return STATUS_INVALID_PARAMETER;
        }
        std::u16string instancePath;
        {
            DriverRegistry& registry = TheRegistry();
            std::lock_guard<std::mutex> lock(registry.lock);
            auto path = registry.instancePaths.find(DeviceObject);
            if (path == registry.instancePaths.end())
            {
                return STATUS_INVALID_DEVICE_REQUEST;
            }
            instancePath = path->second;
            ++registry.keyOpens;
        }
        registry::CreateKey(instancePath, u"");
        *DeviceRegKey = OpenHandle(instancePath, u"", DesiredAccess);
        return STATUS_SUCCESS;
    }

    NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                         ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
    {
        UNREFERENCED_PARAMETER(TitleIndex);
        UNREFERENCED_PARAMETER(Class);
        UNREFERENCED_PARAMETER(CreateOptions);
        CheckPassive("ZwCreateKey");
        // Only keys relative to an open key exist here: a driver reaches its hardware key through the PnP
        // manager, never by an absolute path.
        if (ObjectAttributes == nullptr || ObjectAttributes->RootDirectory == nullptr)
        {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        OpenKey* parent = KeyOfHandle(ObjectAttributes->RootDirectory, "ZwCreateKey");
        std::u16string name = FromUnicode(ObjectAttributes->ObjectName);
        if (name.empty() || name.front() == u'\\')
        {
            return STATUS_OBJECT_NAME_INVALID;
        }
        std::u16string subkey = parent->subkey.empty() ? name : parent->subkey + u"\\" + name;
        bool exists = registry::KeyExists(parent->instancePath, subkey);
        // ZwCreateKey creates the last name of the path only; the keys on the way must exist.
        const size_t last = subkey.rfind(u'\\');
        if (!exists && last != std::u16string::npos &&
            !registry::KeyExists(parent->instancePath, subkey.substr(0, last)))
        {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (!exists)
        {
            if ((parent->access & KEY_CREATE_SUB_KEY) == 0)
            {
                return STATUS_ACCESS_DENIED;
            }
            registry::CreateKey(parent->instancePath, subkey);
        }
        if (Disposition != nullptr)
        {
            *Disposition = exists ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
        }
        *KeyHandle = OpenHandle(parent->instancePath, subkey, DesiredAccess);
        return STATUS_SUCCESS;
    }

    NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                           PVOID Data, ULONG DataSize)
    {
        UNREFERENCED_PARAMETER(TitleIndex);
        CheckPassive("ZwSetValueKey");
        OpenKey* open = KeyOfHandle(KeyHandle, "ZwSetValueKey");
        if ((open->access & KEY_SET_VALUE) == 0)
        {
            return STATUS_ACCESS_DENIED;
        }
        if (Data == nullptr && DataSize != 0)
        {
            return STATUS_INVALID_PARAMETER;
        }
        {
            DriverRegistry& registry = TheRegistry();
            std::lock_guard<std::mutex> lock(registry.lock);
            ++registry.writes;
            if (registry.failEvery != 0 && registry.writes % registry.failEvery == 0)
            {
                ++registry.failedWrites;
                return STATUS_INSUFFICIENT_RESOURCES;
            }
        }
        const auto* bytes = static_cast<const uint8_t*>(Data);
        registry::Value value;
        value.type = Type;
        value.data.assign(bytes, bytes + DataSize);
        registry::Write(open->instancePath, open->subkey, FromUnicode(ValueName), value);
        return STATUS_SUCCESS;
    }

    NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                             ULONG Length, PULONG ResultLength)
    {
        CheckPassive("ZwQueryValueKey");
        OpenKey* open = KeyOfHandle(KeyHandle, "ZwQueryValueKey");
        if ((open->access & KEY_QUERY_VALUE) == 0)
        {
            return STATUS_ACCESS_DENIED;
        }
        if (KeyValueInformationClass != KeyValuePartialInformation)
        {
            return STATUS_INVALID_PARAMETER;
        }
        auto value = registry::Read(open->instancePath, open->subkey, FromUnicode(ValueName));
        if (!value)
        {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        ULONG needed = ULONG(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + value->data.size());
        *ResultLength = needed;
        if (Length < needed)
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        auto* information = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
        information->TitleIndex = 0;
        information->Type = value->type;
        information->DataLength = ULONG(value->data.size());
        std::copy(value->data.begin(), value->data.end(), information->Data);
        return STATUS_SUCCESS;
    }

} // extern "C"
