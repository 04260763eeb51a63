// winsim: driver objects, device objects and device stacks, the PnP manager's property store per
// physical device object, and loading and unloading drivers. Device objects are reference-counted
// objects: IoDeleteDevice unlinks them at once and frees them when the last reference goes. Checks:
// deleting a device that still has a device attached above it or is still attached to a lower one,
// deleting a device whose extension holds an unreleased remove lock, detaching a device with nothing
// attached, querying a property of a device that is not a physical device object, an AddDevice that
// leaves DO_DEVICE_INITIALIZING set, and a driver unloaded with device objects, pool or threads left.
#include "winsim/kernel/kernel_state.h"

#include <algorithm>
#include <list>
#include <map>
#include <mutex>
#include <set>

namespace winsim
{
namespace
{

constexpr ULONG kDeviceTag = PoolTag("Devi");

struct DriverRecord
{
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
    std::u16string serviceKey;
};

struct DeviceState
{
    std::mutex lock;
    std::list<std::unique_ptr<DriverRecord>> drivers;
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> lowerOf; // attached device -> device it is attached to
    std::map<PDEVICE_OBJECT, std::map<int, std::vector<UCHAR>>> properties;
    bool failNextAttach = false;
};

DeviceState& Devices()
{
    static DeviceState state;
    return state;
}

// Device objects themselves are freed by the object manager's reset; here the drivers go.
void ResetDevices()
{
    auto& devices = Devices();
    std::lock_guard<std::mutex> lock(devices.lock);
    devices.drivers.clear();
    devices.lowerOf.clear();
    devices.properties.clear();
    devices.failNextAttach = false;
}

detail::ResetHook g_reset(80, ResetDevices);

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void CheckPassive(const char* routine)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    {
        detail::BugCheck(IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " above PASSIVE_LEVEL",
                         KeGetCurrentIrql());
    }
}

// A driver routine must give back the processor as it got it.
void CheckRoutineReturn(const char* routine, KIRQL irql, size_t locks)
{
    auto& thread = detail::CurrentThreadState();
    if (thread.irql != irql)
    {
        detail::IoViolationCheck(IoRule::IrqlNotRestored,
                                 std::string(routine) + " returned at a different IRQL", irql, thread.irql);
    }
    if (thread.heldLocks.size() != locks)
    {
        detail::IoViolationCheck(IoRule::SpinLockHeldOnReturn,
                                 std::string(routine) + " returned holding a spin lock",
                                 ULONG_PTR(thread.heldLocks.empty() ? nullptr : thread.heldLocks.back()));
    }
}

std::vector<PDEVICE_OBJECT> DeviceList(PDRIVER_OBJECT driver)
{
    std::vector<PDEVICE_OBJECT> list;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice)
    {
        list.push_back(device);
    }
    return list;
}

} // namespace

void FailNextAttach()
{
    std::lock_guard<std::mutex> lock(Devices().lock);
    Devices().failNextAttach = true;
}

PDRIVER_OBJECT LoadDriver(const std::u16string& name, const DriverEntryRoutine& entry)
{
    CheckPassive("LoadDriver");
    auto record = std::make_unique<DriverRecord>();
    record->name = u"\\Driver\\" + name;
    record->serviceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name;
    PDRIVER_OBJECT driver = &record->object;
    driver->Type = 4;
    driver->Size = CSHORT(sizeof(DRIVER_OBJECT));
    driver->DriverExtension = &record->extension;
    record->extension.DriverObject = driver;
    RtlInitUnicodeString(&driver->DriverName, record->name.c_str());
    RtlInitUnicodeString(&record->extension.ServiceKeyName, name.c_str());
    for (auto& routine : driver->MajorFunction)
    {
        routine = InvalidDeviceRequest;
    }
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, record->serviceKey.c_str());
    {
        std::lock_guard<std::mutex> lock(Devices().lock);
        Devices().drivers.push_back(std::move(record));
    }
    NTSTATUS status;
    {
        detail::DriverScope scope(driver);
        status = entry(driver, &registryPath);
        CheckRoutineReturn("DriverEntry", PASSIVE_LEVEL, 0);
    }
    // The entry's copy of the service key is the record's own string, which lives with the driver.
    registryPath.Buffer = nullptr;
    if (!NT_SUCCESS(status))
    {
        std::lock_guard<std::mutex> lock(Devices().lock);
        Devices().drivers.remove_if(
            [driver](const std::unique_ptr<DriverRecord>& r) { return &r->object == driver; });
        return nullptr;
    }
    return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver)
{
    CheckPassive("UnloadDriver");
    if (driver->DriverUnload != nullptr)
    {
        detail::DriverScope scope(driver);
        driver->DriverUnload(driver);
        CheckRoutineReturn("DriverUnload", PASSIVE_LEVEL, 0);
    }
    if (driver->DeviceObject != nullptr)
    {
        detail::IoViolationCheck(IoRule::DriverUnloadLeak, "driver unloaded with device objects left",
                                 ULONG_PTR(driver), ULONG_PTR(driver->DeviceObject));
    }
    if (detail::RunningThreadsOfDriver(driver) != 0)
    {
        detail::BugCheck(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS,
                         "driver unloaded while its system threads still run", ULONG_PTR(driver));
    }
    if (const size_t blocks = detail::PoolBlocksOfDriver(driver))
    {
        detail::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "driver unloaded without freeing its pool", 0x62,
                         ULONG_PTR(driver), blocks);
    }
    std::lock_guard<std::mutex> lock(Devices().lock);
    Devices().drivers.remove_if(
        [driver](const std::unique_ptr<DriverRecord>& r) { return &r->object == driver; });
}

NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
{
    CheckPassive("AddDevice");
    const auto before = DeviceList(driver);
    NTSTATUS status;
    {
        detail::DriverScope scope(driver);
        status = driver->DriverExtension->AddDevice(driver, physicalDevice);
        CheckRoutineReturn("AddDevice", PASSIVE_LEVEL, 0);
    }
    for (PDEVICE_OBJECT device : DeviceList(driver))
    {
        if (std::find(before.begin(), before.end(), device) == before.end() &&
            (device->Flags & DO_DEVICE_INITIALIZING) != 0)
        {
            detail::IoViolationCheck(IoRule::DeviceStillInitializing,
                                     "AddDevice left DO_DEVICE_INITIALIZING set on its device",
                                     ULONG_PTR(device));
        }
    }
    return status;
}

void SetDeviceProperty(PDEVICE_OBJECT physicalDevice, DEVICE_REGISTRY_PROPERTY property, const void* data,
                       ULONG size)
{
    std::lock_guard<std::mutex> lock(Devices().lock);
    auto* bytes = static_cast<const UCHAR*>(data);
    Devices().properties[physicalDevice][property] = std::vector<UCHAR>(bytes, bytes + size);
}

void SetDevicePropertyString(PDEVICE_OBJECT physicalDevice, DEVICE_REGISTRY_PROPERTY property,
                             const std::u16string& value)
{
    SetDeviceProperty(physicalDevice, property, value.c_str(), ULONG((value.size() + 1) * sizeof(WCHAR)));
}

void RemoveDeviceProperty(PDEVICE_OBJECT physicalDevice, DEVICE_REGISTRY_PROPERTY property)
{
    std::lock_guard<std::mutex> lock(Devices().lock);
    Devices().properties[physicalDevice].erase(property);
}

namespace detail
{

void ForgetDeviceProperties(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lock(Devices().lock);
    Devices().properties.erase(device);
}

} // namespace detail
} // namespace winsim

using namespace winsim;

extern "C"
{

    NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                            PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics,
                            BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject)
    {
        CheckPassive("IoCreateDevice");
        const size_t headSize = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
        auto* memory = static_cast<UCHAR*>(
            ExAllocatePoolWithTag(NonPagedPool, headSize + DeviceExtensionSize + 1, kDeviceTag));
        if (memory == nullptr)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(memory, headSize + DeviceExtensionSize + 1);
        auto* device = reinterpret_cast<PDEVICE_OBJECT>(memory);
        device->Type = 3;
        device->Size = USHORT(headSize + DeviceExtensionSize);
        device->DriverObject = DriverObject;
        device->Flags =
            DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (DeviceName ? DO_DEVICE_HAS_NAME : 0);
        device->Characteristics = DeviceCharacteristics;
        device->DeviceType = DeviceType;
        device->StackSize = 1;
        device->SectorSize = DeviceType == FILE_DEVICE_DISK ? 512 : 0;
        device->DeviceExtension = DeviceExtensionSize != 0 ? memory + headSize : nullptr;
        detail::RegisterObject(device, detail::ObjectKind::Device,
                               [device] { ExFreePoolWithTag(device, kDeviceTag); });
        {
            std::lock_guard<std::mutex> lock(Devices().lock);
            device->NextDevice = DriverObject->DeviceObject;
            DriverObject->DeviceObject = device;
        }
        *DeviceObject = device;
        return STATUS_SUCCESS;
    }

    VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
    {
        CheckPassive("IoDeleteDevice");
        {
            // A device may still have a device attached above it: on IRP_MN_REMOVE_DEVICE every driver
            // passes the request down before it detaches, so the lower ones delete first. The attachment
            // holds a reference, and the memory stays until the device above detaches.
            std::lock_guard<std::mutex> lock(Devices().lock);
            if (Devices().lowerOf.count(DeviceObject) != 0)
            {
                detail::IoViolationCheck(IoRule::DeviceDeletedWhileAttached,
                                         "IoDeleteDevice on a device still attached to a lower device",
                                         ULONG_PTR(DeviceObject), ULONG_PTR(Devices().lowerOf[DeviceObject]));
            }
            PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
            while (*link != nullptr && *link != DeviceObject)
            {
                link = &(*link)->NextDevice;
            }
            if (*link == nullptr)
            {
                detail::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                                 "IoDeleteDevice on a device that was already deleted", 0x1030,
                                 ULONG_PTR(DeviceObject));
            }
            *link = DeviceObject->NextDevice;
            Devices().properties.erase(DeviceObject);
        }
        ForgetDeviceInstancePath(DeviceObject);
        if (DeviceObject->DeviceExtension != nullptr)
        {
            detail::ForgetRemoveLocksIn(DeviceObject->DeviceExtension,
                                        DeviceObject->Size -
                                            size_t(static_cast<UCHAR*>(DeviceObject->DeviceExtension) -
                                                   reinterpret_cast<UCHAR*>(DeviceObject)),
                                        true);
        }
        detail::MarkObjectForDeletion(DeviceObject);
    }

    PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
    {
        CheckPassive("IoAttachDeviceToDeviceStack");
        std::lock_guard<std::mutex> lock(Devices().lock);
        if (Devices().failNextAttach)
        {
            Devices().failNextAttach = false;
            return nullptr;
        }
        PDEVICE_OBJECT top = TargetDevice;
        while (top->AttachedDevice != nullptr)
        {
            top = top->AttachedDevice;
        }
        top->AttachedDevice = SourceDevice;
        SourceDevice->StackSize = CCHAR(top->StackSize + 1);
        SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
        SourceDevice->SectorSize = top->SectorSize;
        Devices().lowerOf[SourceDevice] = top;
        ObfReferenceObject(top); // dropped by IoDetachDevice
        return top;
    }

    VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
    {
        {
            std::lock_guard<std::mutex> lock(Devices().lock);
            PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
            if (above == nullptr)
            {
                detail::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                                 "IoDetachDevice on a device with nothing attached", 0x1031,
                                 ULONG_PTR(TargetDevice));
            }
            Devices().lowerOf.erase(above);
            TargetDevice->AttachedDevice = nullptr;
        }
        // A device deleted while this one was attached to it goes now.
        ObfDereferenceObject(TargetDevice);
    }

    PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
    {
        std::lock_guard<std::mutex> lock(Devices().lock);
        PDEVICE_OBJECT top = DeviceObject;
        while (top->AttachedDevice != nullptr)
        {
            top = top->AttachedDevice;
        }
        return top;
    }

    PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
    {
        PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
        ObfReferenceObject(top);
        return top;
    }

    PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject)
    {
        PDEVICE_OBJECT lower = nullptr;
        {
            std::lock_guard<std::mutex> lock(Devices().lock);
            auto it = Devices().lowerOf.find(DeviceObject);
            if (it != Devices().lowerOf.end())
            {
                lower = it->second;
            }
        }
        if (lower != nullptr)
        {
            ObfReferenceObject(lower);
        }
        return lower;
    }

    // The PnP manager answers from the device node's registry values; only physical device objects have one.
    NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                 ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
    {
        CheckPassive("IoGetDeviceProperty");
        if ((DeviceObject->Flags & DO_BUS_ENUMERATED_DEVICE) == 0)
        {
            detail::BugCheck(PNP_DETECTED_FATAL_ERROR, "IoGetDeviceProperty on a device that is not a PDO",
                             0x2, ULONG_PTR(DeviceObject));
        }
        std::lock_guard<std::mutex> lock(Devices().lock);
        auto& store = Devices().properties[DeviceObject];
        auto it = store.find(DeviceProperty);
        if (it == store.end())
        {
            *ResultLength = 0;
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        *ResultLength = ULONG(it->second.size());
        if (BufferLength < it->second.size() || (PropertyBuffer == nullptr && !it->second.empty()))
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(PropertyBuffer, it->second.data(), it->second.size());
        return STATUS_SUCCESS;
    }

} // extern "C"
