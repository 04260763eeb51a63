// winsim: the start and PnP of the mass-storage function driver model's functional device object (see
// mass_storage_driver.h), and the driver's entry, AddDevice and dispatch. At start the FDO reads the device
// and configuration descriptors, selects the configuration with the pipes of the Bulk-Only interface, asks
// Get Max LUN, runs INQUIRY and READ CAPACITY(10) for every unit through the exchange engine and creates a
// child PDO per unit; it reports the children still present as bus relations in unit order, fails the
// waiting request blocks when its device leaves, and at removal waits for the running exchange before it
// frees what it holds.
#include "winsim/usb/mass_storage_internal.h"

#include <map>
#include <mutex>

#include <usbdlib.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace winsim::usb::msd
{

PdoExtension* PdoOf(PDEVICE_OBJECT device)
{
    return static_cast<PdoExtension*>(device->DeviceExtension);
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

namespace
{

ULONG KindOf(PDEVICE_OBJECT device)
{
    return *static_cast<ULONG*>(device->DeviceExtension);
}

FdoExtension* FdoOf(PDEVICE_OBJECT device)
{
    return static_cast<FdoExtension*>(device->DeviceExtension);
}

// ---- Synchronous helpers (PASSIVE_LEVEL only: start-up) ---------------------------------------------

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned)
    {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes an IRP down and waits for it: the start of a function driver runs after its lower stack started.
NTSTATUS ForwardAndWait(FdoExtension* fdo, PIRP irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(fdo->lower, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

// One URB, sent and waited for, the way a driver configures its device at start.
NTSTATUS SubmitUrbAndWait(FdoExtension* fdo, PURB urb)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, fdo->lower, nullptr, 0, nullptr,
                                             0, TRUE, &event, &iosb);
    if (irp == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IofCallDriver(fdo->lower, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

// ---- Start: configuration and units -------------------------------------------------------------------

NTSTATUS ReadDescriptor(FdoExtension* fdo, UCHAR type, PVOID buffer, ULONG length, ULONG* got)
{
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, USHORT(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)), type, 0, 0, buffer,
                                 nullptr, length, nullptr);
    NTSTATUS status = SubmitUrbAndWait(fdo, &urb);
    *got = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

// Reads the descriptors, finds the Bulk-Only interface and selects the configuration with its pipes.
NTSTATUS SelectConfiguration(FdoExtension* fdo)
{
    USB_DEVICE_DESCRIPTOR device{};
    ULONG got = 0;
    NTSTATUS status = ReadDescriptor(fdo, USB_DEVICE_DESCRIPTOR_TYPE, &device, sizeof device, &got);
    if (!NT_SUCCESS(status) || got != sizeof device || device.bNumConfigurations == 0)
    {
        return NT_SUCCESS(status) ? STATUS_DEVICE_PROTOCOL_ERROR : status;
    }
    USB_CONFIGURATION_DESCRIPTOR head{};
    status = ReadDescriptor(fdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, &head, sizeof head, &got);
    if (!NT_SUCCESS(status) || got != sizeof head || head.wTotalLength < sizeof head)
    {
        return NT_SUCCESS(status) ? STATUS_DEVICE_PROTOCOL_ERROR : status;
    }
    auto* configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, head.wTotalLength, kPoolTag));
    if (configuration == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ReadDescriptor(fdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration, head.wTotalLength, &got);
    if (!NT_SUCCESS(status) || got != head.wTotalLength)
    {
        ExFreePoolWithTag(configuration, kPoolTag);
        return NT_SUCCESS(status) ? STATUS_DEVICE_PROTOCOL_ERROR : status;
    }
    // Walk the descriptors for the first mass-storage interface and count its endpoints.
    const auto* bytes = reinterpret_cast<const UCHAR*>(configuration);
    const USB_INTERFACE_DESCRIPTOR* interfaceDescriptor = nullptr;
    ULONG endpoints = 0;
    for (ULONG offset = 0; offset + 2 <= got && bytes[offset] >= 2;)
    {
        const UCHAR length = bytes[offset];
        const UCHAR type = bytes[offset + 1];
        if (offset + length > got)
        {
            break;
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR))
        {
            if (interfaceDescriptor != nullptr)
            {
                break;
            }
            const auto* candidate = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(bytes + offset);
            if (candidate->bInterfaceClass == 0x08 && candidate->bInterfaceProtocol == 0x50)
            {
                interfaceDescriptor = candidate;
            }
        }
        else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && interfaceDescriptor != nullptr)
        {
            ++endpoints;
        }
        offset += length;
    }
    if (interfaceDescriptor == nullptr || endpoints < 2)
    {
        ExFreePoolWithTag(configuration, kPoolTag);
        return STATUS_DEVICE_PROTOCOL_ERROR;
    }
    const ULONG size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, endpoints);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
    if (urb == nullptr)
    {
        ExFreePoolWithTag(configuration, kPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, size);
    UsbBuildSelectConfigurationRequest(urb, USHORT(size), configuration);
    USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
    info.Length = USHORT(GET_USBD_INTERFACE_SIZE(endpoints));
    info.InterfaceNumber = interfaceDescriptor->bInterfaceNumber;
    info.AlternateSetting = interfaceDescriptor->bAlternateSetting;
    info.NumberOfPipes = endpoints;
    for (ULONG i = 0; i < endpoints; ++i)
    {
        info.Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    status = SubmitUrbAndWait(fdo, urb);
    if (NT_SUCCESS(status))
    {
        // The pipe handles are the bus driver's answer; the endpoint addresses say which is which.
        fdo->interfaceNumber = info.InterfaceNumber;
        for (ULONG i = 0; i < info.NumberOfPipes && i < endpoints; ++i)
        {
            const USBD_PIPE_INFORMATION& pipe = info.Pipes[i];
            if (pipe.PipeType == UsbdPipeTypeBulk && (pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK))
            {
                fdo->bulkIn = pipe.PipeHandle;
            }
            else if (pipe.PipeType == UsbdPipeTypeBulk)
            {
                fdo->bulkOut = pipe.PipeHandle;
            }
            else if (pipe.PipeType == UsbdPipeTypeInterrupt)
            {
                fdo->interruptIn = pipe.PipeHandle;
            }
        }
        if (fdo->bulkIn == nullptr || fdo->bulkOut == nullptr)
        {
            status = STATUS_DEVICE_PROTOCOL_ERROR;
        }
    }
    ExFreePoolWithTag(urb, kPoolTag);
    if (NT_SUCCESS(status))
    {
        fdo->configuration = configuration;
    }
    else
    {
        ExFreePoolWithTag(configuration, kPoolTag);
    }
    return status;
}

// Get Max LUN; a device that stalls it has one unit, as the Bulk-Only Transport allows.
UCHAR GetMaxLun(FdoExtension* fdo)
{
    UCHAR* maxLun = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 1, kPoolTag));
    if (maxLun == nullptr)
    {
        return 0;
    }
    *maxLun = 0;
    PrepareClassRequest(fdo, kRequestGetMaxLun, maxLun, 1,
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    URB urb = fdo->urb;
    const NTSTATUS status = SubmitUrbAndWait(fdo, &urb);
    UCHAR result =
        NT_SUCCESS(status) && urb.UrbControlVendorClassRequest.TransferBufferLength == 1 ? *maxLun : 0;
    ExFreePoolWithTag(maxLun, kPoolTag);
    return result < kMaxLuns ? result : UCHAR(kMaxLuns - 1);
}

NTSTATUS CreateChild(FdoExtension* fdo, UCHAR lun, const UCHAR* inquiry, ULONG inquiryLength)
{
    PDEVICE_OBJECT pdo = nullptr;
    const bool removable = inquiryLength > 1 && (inquiry[1] & 0x80) != 0;
    NTSTATUS status = IoCreateDevice(
        fdo->self->DriverObject, sizeof(PdoExtension), nullptr, FILE_DEVICE_MASS_STORAGE,
        FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN | (removable ? FILE_REMOVABLE_MEDIA : 0),
        FALSE, &pdo);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    auto* extension = PdoOf(pdo);
    extension->kind = kPdoKind;
    extension->fdo = fdo;
    extension->self = pdo;
    extension->lun = lun;
    IoInitializeRemoveLock(&extension->removeLock, kPoolTag, 0, 0);
    extension->inquiryLength = inquiryLength < kInquiryLength ? inquiryLength : kInquiryLength;
    std::memcpy(extension->inquiry, inquiry, extension->inquiryLength);
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_DIRECT_IO | DO_POWER_PAGABLE;
    pdo->AlignmentRequirement = 0;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    // The PnP manager's store: the enumerator a child of this driver is found under.
    SetDevicePropertyString(pdo, DevicePropertyEnumeratorName, u"USBSTOR");
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
    fdo->queue->children.push_back(pdo);
    fdo->queue->missing.push_back(false);
    KeReleaseSpinLock(&fdo->lock, irql);
    return STATUS_SUCCESS;
}

// Discovers the units: Get Max LUN, then INQUIRY and READ CAPACITY(10) for each, and a child for each.
NTSTATUS StartUnits(FdoExtension* fdo)
{
    fdo->maxLun = GetMaxLun(fdo);
    auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kInquiryLength, kPoolTag));
    if (buffer == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = STATUS_SUCCESS;
    for (UCHAR lun = 0; lun <= fdo->maxLun && NT_SUCCESS(status); ++lun)
    {
        RtlZeroMemory(buffer, kInquiryLength);
        const UCHAR inquiry[6] = {scsi::kInquiry, 0, 0, 0, UCHAR(kInquiryLength), 0};
        ULONG got = 0;
        const UCHAR result = RunOwnCommand(fdo, lun, inquiry, sizeof inquiry, buffer, kInquiryLength, &got);
        if (SRB_STATUS(result) == SRB_STATUS_NO_DEVICE)
        {
            status = STATUS_DEVICE_NOT_CONNECTED;
            break;
        }
        UCHAR inquiryData[kInquiryLength];
        std::memcpy(inquiryData, buffer, kInquiryLength);
        const ULONG inquiryLength = SRB_STATUS(result) == SRB_STATUS_SUCCESS ? got : 0;
        // READ CAPACITY(10) here only primes the unit; the disk class driver asks again for itself.
        const UCHAR capacity[10] = {scsi::kReadCapacity10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        RunOwnCommand(fdo, lun, capacity, sizeof capacity, buffer, 8, &got);
        status = CreateChild(fdo, lun, inquiryData, inquiryLength);
    }
    ExFreePoolWithTag(buffer, kPoolTag);
    return status;
}

NTSTATUS StartFdo(FdoExtension* fdo, PIRP irp)
{
    NTSTATUS status = ForwardAndWait(fdo, irp);
    if (NT_SUCCESS(status) && !fdo->started)
    {
        status = SelectConfiguration(fdo);
        if (NT_SUCCESS(status))
        {
            status = StartUnits(fdo);
        }
        if (NT_SUCCESS(status))
        {
            fdo->started = TRUE;
        }
    }
    return CompleteIrp(irp, status, irp->IoStatus.Information);
}

// Bus relations: the children still present, in unit order, each referenced for the PnP manager, added
// to whatever a driver above already reported.
NTSTATUS QueryBusRelations(FdoExtension* fdo, PIRP irp)
{
    std::vector<PDEVICE_OBJECT> present;
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
        for (size_t i = 0; i < fdo->queue->children.size(); ++i)
        {
            if (!fdo->queue->missing[i])
            {
                present.push_back(fdo->queue->children[i]);
            }
        }
        KeReleaseSpinLock(&fdo->lock, irql);
    }
    auto* previous = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    const ULONG previousCount = previous != nullptr ? previous->Count : 0;
    const ULONG count = previousCount + ULONG(present.size());
    const size_t size = sizeof(DEVICE_RELATIONS) + (count > 0 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kPoolTag));
    if (relations == nullptr)
    {
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = count;
    for (ULONG i = 0; i < previousCount; ++i)
    {
        relations->Objects[i] = previous->Objects[i];
    }
    for (size_t i = 0; i < present.size(); ++i)
    {
        ObfReferenceObject(present[i]);
        relations->Objects[previousCount + i] = present[i];
    }
    if (previous != nullptr)
    {
        ExFreePool(previous);
    }
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(fdo->lower, irp);
}

void DeleteChildren(FdoExtension* fdo)
{
    std::vector<PDEVICE_OBJECT> children;
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
        children.swap(fdo->queue->children);
        fdo->queue->missing.clear();
        KeReleaseSpinLock(&fdo->lock, irql);
    }
    for (PDEVICE_OBJECT child : children)
    {
        IoDeleteDevice(child);
    }
}

NTSTATUS FdoPnp(FdoExtension* fdo, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = IoAcquireRemoveLock(&fdo->removeLock, irp);
    if (!NT_SUCCESS(status))
    {
        return CompleteIrp(irp, status);
    }
    switch (sp->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
        status = StartFdo(fdo, irp);
        IoReleaseRemoveLock(&fdo->removeLock, irp);
        return status;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == BusRelations)
        {
            status = QueryBusRelations(fdo, irp);
            IoReleaseRemoveLock(&fdo->removeLock, irp);
            return status;
        }
        break;
    case IRP_MN_SURPRISE_REMOVAL: {
        FailWaiting(fdo);
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
        for (size_t i = 0; i < fdo->queue->missing.size(); ++i)
        {
            fdo->queue->missing[i] = true;
        }
        KeReleaseSpinLock(&fdo->lock, irql);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_REMOVE_DEVICE: {
        FailWaiting(fdo);
        // The running exchange holds the lock until its request completes.
        IoReleaseRemoveLockAndWait(&fdo->removeLock, irp);
        StopWatchdog(fdo); // nothing runs any more
        // Detached before the removal goes down, so that a lower filter deletes its device with nothing
        // attached above it (the simulated kernel does not keep a device "delete pending" as Windows does).
        PDEVICE_OBJECT lower = fdo->lower;
        IoDetachDevice(lower);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IofCallDriver(lower, irp);
        DeleteChildren(fdo);
        if (fdo->configuration != nullptr)
        {
            ExFreePoolWithTag(fdo->configuration, kPoolTag);
        }
        IoFreeIrp(fdo->urbIrp);
        IoFreeMdl(fdo->senseMdl);
        ExFreePoolWithTag(fdo->senseBuffer, kPoolTag);
        delete fdo->queue;
        IoDeleteDevice(fdo->self);
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    status = IofCallDriver(fdo->lower, irp);
    IoReleaseRemoveLock(&fdo->removeLock, irp);
    return status;
}

// ---- Driver -------------------------------------------------------------------------------------------

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (KindOf(device) == kPdoKind)
    {
        PdoExtension* pdo = PdoOf(device);
        switch (sp->MajorFunction)
        {
        case IRP_MJ_SCSI:
            return PdoScsi(pdo, irp);
        case IRP_MJ_PNP:
            return PdoPnp(pdo, irp);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            return CompleteIrp(irp, STATUS_SUCCESS);
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            return CompleteIrp(irp, STATUS_SUCCESS);
        default:
            return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
        }
    }
    FdoExtension* fdo = FdoOf(device);
    if (sp->MajorFunction == IRP_MJ_PNP)
    {
        return FdoPnp(fdo, irp);
    }
    NTSTATUS status = IoAcquireRemoveLock(&fdo->removeLock, irp);
    if (!NT_SUCCESS(status))
    {
        if (sp->MajorFunction == IRP_MJ_POWER)
        {
            PoStartNextPowerIrp(irp);
        }
        return CompleteIrp(irp, status);
    }
    if (sp->MajorFunction == IRP_MJ_POWER)
    {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        status = PoCallDriver(fdo->lower, irp);
    }
    else
    {
        IoSkipCurrentIrpStackLocation(irp);
        status = IofCallDriver(fdo->lower, irp);
    }
    IoReleaseRemoveLock(&fdo->removeLock, irp);
    return status;
}

std::mutex g_optionsLock;
std::map<PDRIVER_OBJECT, MassStorageOptions> g_options;

MassStorageOptions OptionsOf(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> guard(g_optionsLock);
    const auto found = g_options.find(driver);
    return found != g_options.end() ? found->second : MassStorageOptions{};
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    auto* fdo =
        new (device->DeviceExtension) FdoExtension{}; // trivially destructible: IoDeleteDevice frees it
    fdo->kind = kFdoKind;
    fdo->self = device;
    fdo->physical = physical;
    fdo->senseBuffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kSenseLength, kPoolTag));
    fdo->senseMdl = fdo->senseBuffer != nullptr
                        ? IoAllocateMdl(fdo->senseBuffer, kSenseLength, FALSE, FALSE, nullptr)
                        : nullptr;
    fdo->queue = new (std::nothrow) FdoQueue;
    if (fdo->senseMdl == nullptr || fdo->queue == nullptr)
    {
        delete fdo->queue;
        if (fdo->senseMdl != nullptr)
        {
            IoFreeMdl(fdo->senseMdl);
        }
        if (fdo->senseBuffer != nullptr)
        {
            ExFreePoolWithTag(fdo->senseBuffer, kPoolTag);
        }
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(fdo->senseMdl);
    KeInitializeSpinLock(&fdo->lock);
    IoInitializeRemoveLock(&fdo->removeLock, kPoolTag, 0, 0);
    fdo->lower = IoAttachDeviceToDeviceStack(device, physical);
    if (fdo->lower == nullptr)
    {
        delete fdo->queue;
        IoFreeMdl(fdo->senseMdl);
        ExFreePoolWithTag(fdo->senseBuffer, kPoolTag);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->urbIrp = IoAllocateIrp(fdo->lower->StackSize, FALSE);
    if (fdo->urbIrp == nullptr)
    {
        IoDetachDevice(fdo->lower);
        delete fdo->queue;
        IoFreeMdl(fdo->senseMdl);
        ExFreePoolWithTag(fdo->senseBuffer, kPoolTag);
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    fdo->timeoutMs = OptionsOf(driver).commandTimeoutMs;
    status = StartWatchdog(fdo);
    if (!NT_SUCCESS(status))
    {
        IoFreeIrp(fdo->urbIrp);
        IoDetachDevice(fdo->lower);
        delete fdo->queue;
        IoFreeMdl(fdo->senseMdl);
        ExFreePoolWithTag(fdo->senseBuffer, kPoolTag);
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

} // namespace

} // namespace winsim::usb::msd

namespace winsim::usb
{

NTSTATUS MassStorageDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& routine : driver->MajorFunction)
    {
        routine = msd::Dispatch;
    }
    driver->DriverExtension->AddDevice = msd::AddDevice;
    driver->DriverUnload = [](PDRIVER_OBJECT unloaded) {
        std::lock_guard<std::mutex> guard(msd::g_optionsLock);
        msd::g_options.erase(unloaded);
    };
    return STATUS_SUCCESS;
}

void SetMassStorageOptions(PDRIVER_OBJECT driver, const MassStorageOptions& options)
{
    std::lock_guard<std::mutex> guard(msd::g_optionsLock);
    msd::g_options[driver] = options;
}

MassStorageCounters GetMassStorageCounters(PDEVICE_OBJECT fdo)
{
    if (fdo == nullptr || fdo->DeviceExtension == nullptr || msd::KindOf(fdo) != msd::kFdoKind)
    {
        throw std::logic_error("winsim usb: not a device of the mass-storage function driver");
    }
    msd::FdoExtension* extension = msd::FdoOf(fdo);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&extension->lock);
    const MassStorageCounters counters = extension->counters;
    KeReleaseSpinLock(&extension->lock, irql);
    return counters;
}

} // namespace winsim::usb
