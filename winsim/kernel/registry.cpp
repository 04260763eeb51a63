// winsim: the part of the registry a device driver reaches, the hardware key of its device ("Device
// Parameters" under the device's instance path), opened with IoOpenDeviceRegistryKey and written with
// ZwCreateKey and ZwSetValueKey. Keys are kept by instance path, so that what a driver wrote outlives its
// device objects, as the registry outlives a stack; the user-mode stand-ins read the same keys.
//
// What it checks, as Windows and its verifier do: every call at PASSIVE_LEVEL; IoOpenDeviceRegistryKey only
// on a physical device object; a handle used for what it was opened for (no value set through a handle
// without KEY_SET_VALUE, no subkey created without KEY_CREATE_SUB_KEY), only open registry handles, and
// handles closed (the open-handle count shows a leak). A knob fails every N-th value write, changing nothing.
#include "winsim/kernel/kernel_state.h"
#include "winsim/kernel/winsim_kernel.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace winsim
{
namespace
{

struct Key
{
    std::map<std::u16string, RegistryValue> values; // by upper-cased name
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;
};

struct OpenKey
{
    std::shared_ptr<Key> key;
    ACCESS_MASK access;
};

struct Registry
{
    std::mutex lock;
    std::map<std::u16string, std::shared_ptr<Key>> deviceKeys; // by upper-cased instance path
    std::map<PDEVICE_OBJECT, std::u16string> instancePaths;
    ULONG failEvery = 0;
    size_t writes = 0;
    size_t failedWrites = 0;
};

Registry& TheRegistry()
{
    static Registry registry;
    return registry;
}

void ResetRegistry()
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.lock);
    registry.deviceKeys.clear();
    registry.instancePaths.clear();
    registry.failEvery = 0;
    registry.writes = 0;
    registry.failedWrites = 0;
}

detail::ResetHook g_reset(85, ResetRegistry);

std::u16string Upper(std::u16string text)
{
    for (char16_t& c : text)
    {
        if (c >= u'a' && c <= u'z')
        {
            c = char16_t(c - u'a' + u'A');
        }
    }
    return text;
}

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
                         std::string(routine) + " on a handle that is not an "
                                                "open registry key",
                         ULONG_PTR(handle));
    }
    return open;
}

HANDLE OpenHandle(std::shared_ptr<Key> key, ACCESS_MASK access)
{
    auto* open = new OpenKey{std::move(key), access};
    return detail::OpenObjectHandle(
        open, detail::ObjectKind::RegistryKey, [open] { delete open; }, true);
}

std::shared_ptr<Key> DeviceKey(Registry& registry, const std::u16string& instancePath, bool create)
{
    auto found = registry.deviceKeys.find(Upper(instancePath));
    if (found != registry.deviceKeys.end())
    {
        return found->second;
    }
    if (!create)
    {
        return nullptr;
    }
    auto key = std::make_shared<Key>();
    registry.deviceKeys[Upper(instancePath)] = key;
    return key;
}

// The key below `key` named by a relative path of one or more names separated by backslashes.
std::shared_ptr<Key> Below(std::shared_ptr<Key> key, const std::u16string& path, bool create, bool* created)
{
    size_t start = 0;
    while (key != nullptr && start <= path.size())
    {
        size_t end = path.find(u'\\', start);
        std::u16string name =
            Upper(path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start));
        if (!name.empty())
        {
            auto found = key->subkeys.find(name);
            if (found == key->subkeys.end())
            {
                if (!create)
                {
                    return nullptr;
                }
                auto child = std::make_shared<Key>();
                key->subkeys[name] = child;
                if (created != nullptr)
                {
                    *created = true;
                }
                key = child;
            }
            else
            {
                key = found->second;
            }
        }
        if (end == std::u16string::npos)
        {
            break;
        }
        start = end + 1;
    }
    return key;
}

} // namespace

void SetDeviceInstancePath(PDEVICE_OBJECT physicalDevice, const std::u16string& instancePath)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.lock);
    registry.instancePaths[physicalDevice] = instancePath;
}

void ForgetDeviceInstancePath(PDEVICE_OBJECT physicalDevice)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.lock);
    registry.instancePaths.erase(physicalDevice);
}

std::optional<RegistryValue> ReadDeviceParameter(const std::u16string& instancePath,
                                                 const std::u16string& subkey, const std::u16string& value)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.lock);
    auto key = Below(DeviceKey(registry, instancePath, false), subkey, false, nullptr);
    if (key == nullptr)
    {
        return std::nullopt;
    }
    auto found = key->values.find(Upper(value));
    if (found == key->values.end())
    {
        return std::nullopt;
    }
    return found->second;
}

void FailRegistryWritesEvery(ULONG n)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.lock);
    registry.failEvery = n;
    registry.writes = 0;
}

size_t FailedRegistryWrites()
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.lock);
    return registry.failedWrites;
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
        Registry& registry = TheRegistry();
        std::shared_ptr<Key> key;
        {
            std::lock_guard<std::mutex> lock(registry.lock);
            auto path = registry.instancePaths.find(DeviceObject);
            if (path == registry.instancePaths.end())
            {
                return STATUS_INVALID_DEVICE_REQUEST;
            }
            key = DeviceKey(registry, path->second, true);
        }
        *DeviceRegKey = OpenHandle(std::move(key), DesiredAccess);
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
        Registry& registry = TheRegistry();
        std::shared_ptr<Key> key;
        bool created = false;
        {
            std::lock_guard<std::mutex> lock(registry.lock);
            key = Below(parent->key, name, false, nullptr);
            if (key == nullptr)
            {
                if ((parent->access & KEY_CREATE_SUB_KEY) == 0)
                {
                    return STATUS_ACCESS_DENIED;
                }
                key = Below(parent->key, name, true, &created);
            }
        }
        if (Disposition != nullptr)
        {
            *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
        }
        *KeyHandle = OpenHandle(std::move(key), DesiredAccess);
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
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.lock);
        ++registry.writes;
        if (registry.failEvery != 0 && registry.writes % registry.failEvery == 0)
        {
            ++registry.failedWrites;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        const auto* bytes = static_cast<const BYTE*>(Data);
        RegistryValue value;
        value.type = Type;
        value.data.assign(bytes, bytes + DataSize);
        open->key->values[Upper(FromUnicode(ValueName))] = std::move(value);
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
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.lock);
        auto found = open->key->values.find(Upper(FromUnicode(ValueName)));
        if (found == open->key->values.end())
        {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        ULONG needed = ULONG(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + found->second.data.size());
        *ResultLength = needed;
        if (Length < needed)
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        auto* information = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
        information->TitleIndex = 0;
        information->Type = found->second.type;
        information->DataLength = ULONG(found->second.data.size());
        std::copy(found->second.data.begin(), found->second.data.end(), information->Data);
        return STATUS_SUCCESS;
    }

} // extern "C"
