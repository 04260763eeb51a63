// The dispatch entry, pass-through, power and Plug and Play for both roles. Every request holds the remove
// lock while the filter can still touch it, so that removal waits for it; the lock is taken only in the
// three entries (the common one, and power and Plug and Play, which keep entries of their own), never again
// on the paths below them. What the filter does not take over goes down unchanged.
#include "driver/kavfiltr.h"

namespace
{
FilterExtension* ExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<FilterExtension*>(device->DeviceExtension);
}

// Start must finish in the lower drivers before the filter looks at the started device, so the IRP is
// kept (more processing required) and the dispatch routine waits for it at PASSIVE_LEVEL.
NTSTATUS SignalStartCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned)
    {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS StartDevice(FilterExtension* extension, PIRP irp)
{
    KEVENT started;
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalStartCompletion, &started, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(extension->lowerDevice, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    if (NT_SUCCESS(status))
    {
        extension->previousPnpState = extension->pnpState;
        extension->pnpState = Started;
        if (extension->role == RoleUsbDevice)
        {
            ResetUnitCounters(reinterpret_cast<UsbFilterExtension*>(extension));
        }
        if (extension->lowerDevice->Characteristics & FILE_REMOVABLE_MEDIA)
        {
            extension->selfDevice->Characteristics |= FILE_REMOVABLE_MEDIA;
        }
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(&extension->removeLock, irp);
    return status;
}

// The USB side's counters are written once more while the device node still has its key.
void PublishAtStop(FilterExtension* extension)
{
    if (extension->role == RoleUsbDevice)
    {
        PublishUnitCountersAtStop(reinterpret_cast<UsbFilterExtension*>(extension));
    }
}

// Removal waits until every request holding the lock has finished (including those on the worker), so
// the role's resources can be freed without anything still using them.
NTSTATUS RemoveDevice(FilterExtension* extension, PIRP irp)
{
    IoReleaseRemoveLockAndWait(&extension->removeLock, irp);
    PublishAtStop(extension);
    IoSkipCurrentIrpStackLocation(irp);
    IoCallDriver(extension->lowerDevice, irp);
    extension->previousPnpState = extension->pnpState;
    extension->pnpState = Deleted;
    IoDetachDevice(extension->lowerDevice);
    if (extension->role == RoleUsbDevice)
    {
        UsbRoleRelease(reinterpret_cast<UsbFilterExtension*>(extension));
    }
    else
    {
        UnregisterDiskFilter(reinterpret_cast<DiskFilterExtension*>(extension));
        DiskRoleRelease(reinterpret_cast<DiskFilterExtension*>(extension));
    }
    IoDeleteDevice(extension->selfDevice);
    return STATUS_SUCCESS;
}

// The paging flag must match the device above us on the way down and the device below us on the way up,
// or the power manager may call a pageable path at the wrong time.
NTSTATUS UsageNotificationCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID)
{
    FilterExtension* extension = ExtensionOf(device);
    if (irp->PendingReturned)
    {
        IoMarkIrpPending(irp);
    }
    if (!(extension->lowerDevice->Flags & DO_POWER_PAGABLE))
    {
        device->Flags &= ~DO_POWER_PAGABLE;
    }
    IoReleaseRemoveLock(&extension->removeLock, irp);
    return STATUS_SUCCESS;
}

NTSTATUS DeviceUsageNotification(FilterExtension* extension, PIRP irp)
{
    PDEVICE_OBJECT device = extension->selfDevice;
    if (device->AttachedDevice == nullptr || (device->AttachedDevice->Flags & DO_POWER_PAGABLE))
    {
        device->Flags |= DO_POWER_PAGABLE;
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UsageNotificationCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(extension->lowerDevice, irp);
}

// Keeps a copy of the USB device's children: a disk is filtered only when it is one of them, and its
// position in the list is the logical unit it serves.
NTSTATUS BusRelationsCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID)
{
    auto* extension = static_cast<UsbFilterExtension*>(device->DeviceExtension);
    if (irp->PendingReturned)
    {
        IoMarkIrpPending(irp);
    }
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    if (NT_SUCCESS(irp->IoStatus.Status) && relations != nullptr)
    {
        SIZE_T size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + sizeof(PDEVICE_OBJECT) * relations->Count;
        if (size < sizeof(DEVICE_RELATIONS))
        {
            size = sizeof(DEVICE_RELATIONS);
        }
        auto* copy = static_cast<PDEVICE_RELATIONS>(
            ExAllocatePoolWithTag(KavfiltrNonPagedPool, size, KAVFILTR_POOL_TAG));
        if (copy != nullptr)
        {
            copy->Count = relations->Count;
            for (ULONG index = 0; index < relations->Count; ++index)
            {
                copy->Objects[index] = relations->Objects[index];
            }
        }
        // Without pool the old copy goes too: a stale list could name a child that is no longer the unit.
        ReplaceBusRelations(extension, copy);
    }
    IoReleaseRemoveLock(&extension->head.removeLock, irp);
    return STATUS_SUCCESS;
}

// Only bus relations are watched, on their way up; their completion routine releases the remove lock.
NTSTATUS QueryDeviceRelations(FilterExtension* extension, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type != BusRelations)
    {
        return PassDown(extension, irp);
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, BusRelationsCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(extension->lowerDevice, irp);
}

void EnterState(FilterExtension* extension, PnpState state)
{
    extension->previousPnpState = extension->pnpState;
    extension->pnpState = state;
}

void CancelState(FilterExtension* extension, PnpState pendingState)
{
    if (extension->pnpState == pendingState)
    {
        extension->pnpState = extension->previousPnpState;
    }
}
} // namespace

// Completes a request the filter cannot pass on, with the reason as its status.
NTSTATUS CompleteWithStatus(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The shared tail of every request the filter does not change: down the stack without a completion
// routine, so the lock can be released as soon as the lower driver has it.
NTSTATUS PassDown(FilterExtension* extension, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(extension->lowerDevice, irp);
    IoReleaseRemoveLock(&extension->removeLock, irp);
    return status;
}

// The entry of every major function but power and Plug and Play. The remove lock is taken here, once, for
// each request of either role, and goes with it: whoever finishes with the request releases it (the pass-down
// tail, a completion routine, the worker), and removal releases its own and waits for all the others.
NTSTATUS DispatchIrp(PDEVICE_OBJECT device, PIRP irp)
{
    FilterExtension* extension = ExtensionOf(device);
    NTSTATUS status = IoAcquireRemoveLock(&extension->removeLock, irp);
    if (!NT_SUCCESS(status))
    {
        return CompleteWithStatus(irp, status);
    }
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction)
    {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (extension->role == RoleUsbDevice)
        {
            return DispatchUrb(device, irp);
        }
        break;
    case IRP_MJ_READ:
        if (extension->role == RoleStorageDisk)
        {
            return DispatchDiskRead(device, irp);
        }
        break;
    case IRP_MJ_WRITE:
        if (extension->role == RoleStorageDisk)
        {
            return DispatchDiskWrite(device, irp);
        }
        break;
    default:
        break;
    }
    return PassDown(extension, irp);
}

// Power IRPs must let the power manager start the next one before they go down, also when they fail here.
// That failure path is why power keeps its own entry and takes the lock itself: in the common entry a
// request that cannot take the lock is only completed.
NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    FilterExtension* extension = ExtensionOf(device);
    NTSTATUS status = IoAcquireRemoveLock(&extension->removeLock, irp);
    PoStartNextPowerIrp(irp);
    if (!NT_SUCCESS(status))
    {
        return CompleteWithStatus(irp, status);
    }
    IoSkipCurrentIrpStackLocation(irp);
    status = PoCallDriver(extension->lowerDevice, irp);
    IoReleaseRemoveLock(&extension->removeLock, irp);
    return status;
}

// Plug and Play has its own entry in the driver's table, as power has: the routine that owns the device's
// life cycle is the one the I/O manager calls, and no other major function can reach removal. It takes the
// remove lock as the common entry does.
NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    NTSTATUS status = IoAcquireRemoveLock(&ExtensionOf(device)->removeLock, irp);
    if (!NT_SUCCESS(status))
    {
        return CompleteWithStatus(irp, status);
    }
    return HandlePnp(device, irp);
}

// Plug and Play requests of one device arrive one at a time; the state only records the transitions,
// every request is still passed down in every state. The entry holds the remove lock for the request:
// start releases it once the lower drivers have started, removal releases it and waits for every other
// holder.
NTSTATUS HandlePnp(PDEVICE_OBJECT device, PIRP irp)
{
    FilterExtension* extension = ExtensionOf(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
        return StartDevice(extension, irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(extension, irp);
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return DeviceUsageNotification(extension, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (extension->role == RoleUsbDevice)
        {
            return QueryDeviceRelations(extension, irp);
        }
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        EnterState(extension, RemovePending);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        CancelState(extension, RemovePending);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        PublishAtStop(extension);
        EnterState(extension, Stopped);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
        EnterState(extension, StopPending);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_CANCEL_STOP_DEVICE:
        CancelState(extension, StopPending);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        PublishAtStop(extension);
        EnterState(extension, SurpriseRemoved);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    return PassDown(extension, irp);
}
