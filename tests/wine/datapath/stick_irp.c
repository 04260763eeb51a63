// Requests the harness sends itself, as the I/O manager, the Plug and Play manager and the function driver
// would send them: each built on an IRP of the target's stack size and waited for at PASSIVE_LEVEL.
#include "tests/wine/datapath/stick.h"

static NTSTATUS SignalCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    (void)device;
    (void)irp;
    KeSetEvent(context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    // The completion routine signals on every path, so the wait does not depend on what IoCallDriver said.
    IoCallDriver(device, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

// Plug and Play requests start as "not supported", so that a stack where nobody answers says so.
NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR* information, DEVICE_RELATION_TYPE relation)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == NULL)
    {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    if (minor == IRP_MN_QUERY_DEVICE_RELATIONS)
    {
        next->Parameters.QueryDeviceRelations.Type = relation;
    }
    NTSTATUS status = SendAndWait(top, irp);
    if (information != NULL)
    {
        *information = irp->IoStatus.Information;
    }
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return status;
}

NTSTATUS SendUrb(PDEVICE_OBJECT device, PURB urb)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == NULL)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    NTSTATUS status = SendAndWait(device, irp);
    IoFreeIrp(irp);
    return status;
}

PMDL MappedMdl(PVOID buffer, ULONG length)
{
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, NULL);
    if (mdl != NULL)
    {
        mdl->MappedSystemVa = buffer;
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return mdl;
}

// Wine's kernel reads a device's enumerator from the first part of the instance ID that the stack answers,
// so the harness answers with the enumerator in front (Windows keeps the enumerator in the device node).
static NTSTATUS AnswerPnpId(PIRP irp, PCWSTR id)
{
    SIZE_T bytes = (wcslen(id) + 1) * sizeof(WCHAR);
    PWCHAR copy = ExAllocatePoolWithTag(PagedPool, bytes, STICK_TAG);
    if (copy == NULL)
    {
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    RtlCopyMemory(copy, id, bytes);
    return CompleteIrp(irp, STATUS_SUCCESS, (ULONG_PTR)copy);
}

NTSTATUS AnswerPdoPnp(PIRP irp, PCWSTR instanceId, PCWSTR deviceId)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction)
    {
    case IRP_MN_QUERY_ID:
        if (stack->Parameters.QueryId.IdType == BusQueryInstanceID)
        {
            return AnswerPnpId(irp, instanceId);
        }
        if (stack->Parameters.QueryId.IdType == BusQueryDeviceID)
        {
            return AnswerPnpId(irp, deviceId);
        }
        break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        return CompleteIrp(irp, STATUS_SUCCESS, 0);
    default:
        break;
    }
    // A bus driver leaves what it does not answer as it found it, for the function driver's answer.
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static void IrpQueueThread(PVOID context)
{
    struct IrpQueue* queue = context;
    for (;;)
    {
        KeWaitForSingleObject(&queue->queued, Executive, KernelMode, FALSE, NULL);
        KIRQL irql;
        KeAcquireSpinLock(&queue->lock, &irql);
        PLIST_ENTRY entry = IsListEmpty(&queue->list) ? NULL : RemoveHeadList(&queue->list);
        KeReleaseSpinLock(&queue->lock, irql);
        // Each request releases the semaphore once, so an empty list is the stop's own release.
        if (entry == NULL)
        {
            break;
        }
        InterlockedDecrement(&queue->held);
        queue->handler(queue->context, CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
    }
    KeSetEvent(&queue->ended, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS IrpQueueStart(struct IrpQueue* queue, IrpQueueHandler handler, PVOID context)
{
    RtlZeroMemory(queue, sizeof(*queue));
    KeInitializeSpinLock(&queue->lock);
    InitializeListHead(&queue->list);
    KeInitializeSemaphore(&queue->queued, 0, MAXLONG);
    KeInitializeEvent(&queue->ended, NotificationEvent, FALSE);
    queue->handler = handler;
    queue->context = context;
    return StartThread(IrpQueueThread, queue, &queue->thread);
}

NTSTATUS IrpQueueAdd(struct IrpQueue* queue, PIRP irp)
{
    if (queue->stopping)
    {
        return CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
    IoMarkIrpPending(irp);
    InterlockedIncrement(&queue->held);
    KIRQL irql;
    KeAcquireSpinLock(&queue->lock, &irql);
    InsertTailList(&queue->list, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&queue->lock, irql);
    KeReleaseSemaphore(&queue->queued, IO_NO_INCREMENT, 1, FALSE);
    return STATUS_PENDING;
}

void IrpQueueStop(struct IrpQueue* queue)
{
    if (InterlockedExchange(&queue->stopping, 1) == 0)
    {
        KeReleaseSemaphore(&queue->queued, IO_NO_INCREMENT, 1, FALSE);
        KeWaitForSingleObject(&queue->ended, Executive, KernelMode, FALSE, NULL);
        ZwClose(queue->thread);
    }
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS StartThread(PKSTART_ROUTINE routine, PVOID context, HANDLE* thread)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    return PsCreateSystemThread(thread, THREAD_ALL_ACCESS, &attributes, NULL, NULL, routine, context);
}
