// Driver entry and AddDevice: Kavfiltr is loaded as a filter into the stacks of USB device nodes and of
// the USBSTOR disk nodes below them. It decides from the enumerator of the physical device object which
// role it plays, and filters a disk only when its own USB parent is filtered by this driver.
#include "driver/kavfiltr.h"

POOL_TYPE KavfiltrNonPagedPool = NonPagedPool;

namespace
{
// The image leaves no state behind and creates no device of its own, so unloading needs no work.
void FilterUnload(PDRIVER_OBJECT) {}

// Compares a counted name with a literal without relying on a terminating NUL in the property buffer.
BOOLEAN NameEquals(const WCHAR* name, ULONG bytes, PCWSTR expected)
{
    ULONG characters = bytes / sizeof(WCHAR);
    ULONG length = 0;
    while (length < characters && name[length] != 0)
    {
        ++length;
    }
    UNICODE_STRING actual;
    actual.Buffer = const_cast<PWCHAR>(name);
    actual.Length = static_cast<USHORT>(length * sizeof(WCHAR));
    actual.MaximumLength = actual.Length;
    UNICODE_STRING wanted;
    RtlInitUnicodeString(&wanted, expected);
    return RtlCompareUnicodeString(&actual, &wanted, TRUE) == 0;
}

// The USB-side filter whose device this disk belongs to: the disk's physical device object appears in the
// bus relations it captured. Null when the USB parent is not filtered. AddDevice runs on the PnP manager's
// serialised path, so the driver's device list is not changing underneath.
UsbFilterExtension* FindFilteredUsbParent(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
{
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice)
    {
        auto* extension = static_cast<FilterExtension*>(device->DeviceExtension);
        if (extension->role != RoleUsbDevice)
        {
            continue;
        }
        auto* usb = reinterpret_cast<UsbFilterExtension*>(extension);
        BOOLEAN child = FALSE;
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->relationsLock);
        PDEVICE_RELATIONS relations = usb->busRelations;
        for (ULONG index = 0; relations != nullptr && index < relations->Count && !child; ++index)
        {
            child = relations->Objects[index] == physicalDevice;
        }
        KeReleaseSpinLock(&usb->relationsLock, irql);
        if (child)
        {
            return usb;
        }
    }
    return nullptr;
}

// From Windows XP on, the filter takes the type of the device it attaches above, so that the I/O
// manager treats the stack as before; Windows 2000 gets the neutral type.
DEVICE_TYPE FilterDeviceType(PDEVICE_OBJECT physicalDevice)
{
    if (!IsSystemVersionAtLeast(0x05010000))
    {
        return FILE_DEVICE_UNKNOWN;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(physicalDevice);
    DEVICE_TYPE type = top->DeviceType;
    ObDereferenceObject(top);
    return type;
}

NTSTATUS InitializeRole(FilterRole role, FilterExtension* extension)
{
    return role == RoleUsbDevice ? UsbRoleInitialize(reinterpret_cast<UsbFilterExtension*>(extension))
                                 : DiskRoleInitialize(reinterpret_cast<DiskFilterExtension*>(extension));
}
} // namespace

typedef BOOLEAN (*RtlIsNtDdiVersionAvailableRoutine)(ULONG version);

// The version test of the system, looked up by name so that the driver also loads where the routine is
// not exported; there the kernel's own version numbers stand in for it.
BOOLEAN IsSystemVersionAtLeast(ULONG version)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, TEXT("RtlIsNtDdiVersionAvailable"));
    auto routine = reinterpret_cast<RtlIsNtDdiVersionAvailableRoutine>(MmGetSystemRoutineAddress(&name));
    if (routine != nullptr)
    {
        return routine(version);
    }
    ULONG major = 0;
    ULONG minor = 0;
    PsGetVersion(&major, &minor, nullptr, nullptr);
    if ((version & 0xFFFF) != 0)
    {
        return FALSE;
    }
    return (((major << 8) | minor) << 16) >= version;
}

// Reads the enumerator of the physical device: "USB" for the device node the function driver sits on,
// "USBSTOR" for the disks it enumerates. Anything unreadable is left alone.
FilterRole ClassifyDevice(PDEVICE_OBJECT physicalDevice)
{
    ULONG size = 0;
    IoGetDeviceProperty(physicalDevice, DevicePropertyEnumeratorName, 0, nullptr, &size);
    if (size == 0)
    {
        return RoleNone;
    }
    auto* name = static_cast<WCHAR*>(ExAllocatePoolWithTag(KavfiltrNonPagedPool, size, KAVFILTR_POOL_TAG));
    if (name == nullptr)
    {
        return RoleNone;
    }
    FilterRole role = RoleNone;
    ULONG returned = 0;
    if (NT_SUCCESS(IoGetDeviceProperty(physicalDevice, DevicePropertyEnumeratorName, size, name, &returned)))
    {
        ULONG valid = returned < size ? returned : size;
        if (NameEquals(name, valid, TEXT("USB")))
        {
            role = RoleUsbDevice;
        }
        else if (NameEquals(name, valid, TEXT("USBSTOR")))
        {
            role = RoleStorageDisk;
        }
    }
    ExFreePoolWithTag(name, KAVFILTR_POOL_TAG);
    return role;
}

// AddDevice: attaches a filter device object above the physical device of a USB device node, or of a
// disk node whose USB parent is filtered. A device the driver does not want still starts normally.
NTSTATUS FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice)
{
    FilterRole role = ClassifyDevice(physicalDevice);
    if (role == RoleNone)
    {
        return STATUS_SUCCESS;
    }
    UsbFilterExtension* usbParent = nullptr;
    if (role == RoleStorageDisk)
    {
        usbParent = FindFilteredUsbParent(driver, physicalDevice);
        if (usbParent == nullptr)
        {
            return STATUS_SUCCESS;
        }
    }

    ULONG extensionSize = role == RoleUsbDevice ? sizeof(UsbFilterExtension) : sizeof(DiskFilterExtension);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, extensionSize, nullptr, FilterDeviceType(physicalDevice),
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    auto* extension = static_cast<FilterExtension*>(device->DeviceExtension);
    RtlZeroMemory(extension, extensionSize);
    extension->role = role;
    extension->selfDevice = device;
    extension->physicalDevice = physicalDevice;
    extension->lowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
    NTSTATUS roleStatus = InitializeRole(role, extension);
    if (extension->lowerDevice == nullptr || !NT_SUCCESS(roleStatus))
    {
        if (role == RoleUsbDevice)
        {
            UsbRoleRelease(reinterpret_cast<UsbFilterExtension*>(extension));
        }
        else
        {
            DiskRoleRelease(reinterpret_cast<DiskFilterExtension*>(extension));
        }
        if (extension->lowerDevice != nullptr)
        {
            IoDetachDevice(extension->lowerDevice);
        }
        IoDeleteDevice(device);
        return STATUS_UNSUCCESSFUL;
    }

    PDEVICE_OBJECT lower = extension->lowerDevice;
    device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->DeviceType = lower->DeviceType;
    device->Characteristics = lower->Characteristics;
    IoInitializeRemoveLock(&extension->removeLock, KAVFILTR_POOL_TAG, 1, 100);
    extension->pnpState = NotStarted;
    extension->previousPnpState = NotStarted;
    if (usbParent != nullptr)
    {
        // A full table leaves the disk unknown to the USB side: its pieces then simply pass through.
        RegisterDiskFilter(usbParent, reinterpret_cast<DiskFilterExtension*>(extension));
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// The pool type is chosen before anything is allocated. Every major function goes through the one dispatch
// entry, except power, whose failure path differs, and Plug and Play, which owns the device's life cycle.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    KavfiltrNonPagedPool = IsSystemVersionAtLeast(0x06020000) ? NonPagedPoolNx : NonPagedPool;
    for (ULONG index = 0; index <= IRP_MJ_MAXIMUM_FUNCTION; ++index)
    {
        driver->MajorFunction[index] = DispatchIrp;
    }
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->DriverExtension->AddDevice = FilterAddDevice;
    driver->DriverUnload = FilterUnload;
    return STATUS_SUCCESS;
}
