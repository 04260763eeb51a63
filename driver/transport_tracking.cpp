// The USB-side filter sits below the mass-storage function driver and sees every URB it sends to the bus.
// It follows the Bulk-Only Transport transfer by transfer (command wrapper, data, status wrapper), keeps
// one context per logical unit, and hands the transfers that the read-ahead or the write coalescing
// answer to the device's worker thread. Everything else goes down untouched, so a device whose traffic
// does not match the protocol works as without the filter.
#include "driver/kavfiltr.h"

namespace
{
UsbFilterExtension* UsbExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<UsbFilterExtension*>(device->DeviceExtension);
}

// A unit's context owns its two buffers; they go with it when the context list is destroyed.
void ReleaseLunContext(PVOID item, ULONG maxItemSize)
{
    if (maxItemSize != sizeof(LunContext))
    {
        return;
    }
    auto* context = static_cast<LunContext*>(item);
    AlignedBuffer* buffers[] = {context->readAheadBuffer, context->writeBuffer};
    for (AlignedBuffer* buffer : buffers)
    {
        if (buffer != nullptr)
        {
            AlignedBufferRelease(buffer);
            ExFreePoolWithTag(buffer, KAVFILTR_POOL_TAG);
        }
    }
}

// One of a unit's two buffers in non-paged pool. Null when memory is short, so that the caller falls back
// to passing the unit's transfers down.
AlignedBuffer* CreateUnitBuffer(ULONG capacity)
{
    auto* buffer = static_cast<AlignedBuffer*>(
        ExAllocatePoolWithTag(KavfiltrNonPagedPool, sizeof(AlignedBuffer), KAVFILTR_POOL_TAG));
    if (buffer == nullptr)
    {
        return nullptr;
    }
    RtlZeroMemory(buffer, sizeof(*buffer));
    if (!NT_SUCCESS(AlignedBufferInitialize(buffer, capacity)))
    {
        ExFreePoolWithTag(buffer, KAVFILTR_POOL_TAG);
        return nullptr;
    }
    return buffer;
}

// The function driver learns its pipe handles from the configuration it selects; the filter reads them
// from the same answer, whatever its status, and never changes it.
NTSTATUS PipeCaptureCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID)
{
    UsbFilterExtension* extension = UsbExtensionOf(device);
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    PUSBD_INTERFACE_INFORMATION interfaceInfo = nullptr;
    if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION)
    {
        // A configuration request without a descriptor unconfigures the device and carries no interface.
        if (urb->UrbSelectConfiguration.ConfigurationDescriptor != nullptr)
        {
            interfaceInfo = &urb->UrbSelectConfiguration.Interface;
        }
    }
    else
    {
        interfaceInfo = &urb->UrbSelectInterface.Interface;
    }
    if (interfaceInfo != nullptr && interfaceInfo->Length >= FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes))
    {
        extension->interfaceNumber = interfaceInfo->InterfaceNumber;
        // Never read past what the interface record says it holds.
        ULONG room = (interfaceInfo->Length - FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) /
                     sizeof(USBD_PIPE_INFORMATION);
        ULONG pipes = interfaceInfo->NumberOfPipes < room ? interfaceInfo->NumberOfPipes : room;
        for (ULONG index = 0; index < pipes; ++index)
        {
            const USBD_PIPE_INFORMATION& pipe = interfaceInfo->Pipes[index];
            if (pipe.PipeType != UsbdPipeTypeBulk)
            {
                continue;
            }
            if (pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK)
            {
                extension->bulkInPipe = pipe.PipeHandle;
            }
            else
            {
                extension->bulkOutPipe = pipe.PipeHandle;
            }
        }
    }
    if (irp->PendingReturned)
    {
        IoMarkIrpPending(irp);
    }
    IoReleaseRemoveLock(&extension->head.removeLock, irp);
    return STATUS_SUCCESS;
}

// After a reset or an error the device may have changed what it holds; no cached read survives it.
void EmptyAllReadCaches(UsbFilterExtension* extension)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&extension->lunContextsLock);
    for (auto* context = static_cast<LunContext*>(PoolListFirst(extension->lunContexts)); context != nullptr;
         context = static_cast<LunContext*>(PoolListNext(extension->lunContexts)))
    {
        EmptyReadCache(context);
        context->failedStart = 0;
        context->failedEnd = 0;
    }
    KeReleaseSpinLock(&extension->lunContextsLock, irql);
}

// The context of a unit already seen; the caller holds the list's lock.
LunContext* FindLunContextLocked(UsbFilterExtension* extension, UCHAR lun)
{
    LunContext* found = nullptr;
    for (auto* context = static_cast<LunContext*>(PoolListFirst(extension->lunContexts)); context != nullptr;
         context = static_cast<LunContext*>(PoolListNext(extension->lunContexts)))
    {
        if (context->lun == lun)
        {
            found = context;
            break;
        }
    }
    extension->lunContexts->cursor = nullptr;
    return found;
}

// Requests after which the device may hold other data than before: port resets and cycles, and the pipe
// aborts, stall clears and class requests (the Bulk-Only reset among them) of the function driver's
// recovery.
BOOLEAN IsResetRequest(PIO_STACK_LOCATION stack, PURB urb)
{
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_RESET_PORT || code == IOCTL_INTERNAL_USB_CYCLE_PORT)
    {
        return TRUE;
    }
    if (code != IOCTL_INTERNAL_USB_SUBMIT_URB || urb == nullptr)
    {
        return FALSE;
    }
    USHORT function = urb->UrbHeader.Function;
    return function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
           function == URB_FUNCTION_CLASS_INTERFACE;
}

// Commands that cannot change what the medium holds. Any other command (a write of any kind, a format, a
// request for sense data after an error, a new capacity after a medium change) empties the unit's cache.
BOOLEAN KeepsCachedData(UCHAR operation)
{
    switch (operation)
    {
    case SCSIOP_TEST_UNIT_READY_CODE:
    case SCSIOP_READ10_CODE:
    case SCSIOP_INQUIRY_CODE:
    case 0x1A: // MODE SENSE(6)
    case 0x5A: // MODE SENSE(10)
    case 0x1E: // PREVENT ALLOW MEDIUM REMOVAL
    case 0x23: // READ FORMAT CAPACITIES
    case 0x35: // SYNCHRONIZE CACHE(10)
        return TRUE;
    default:
        return FALSE;
    }
}

// Follows one bulk transfer through the command, data and status phases. The state only advances, for
// transfers taken over exactly as for those passed down.
void AdvanceTransport(UsbFilterExtension* extension, PURB urb)
{
    const _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
    const UCHAR* bytes = nullptr;
    // A command wrapper only ever travels OUT; an IN buffer of the same size holds whatever it held before
    // the device's answer arrives.
    BOOLEAN outbound = !(transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) &&
                       (extension->bulkInPipe == nullptr || transfer.PipeHandle != extension->bulkInPipe);
    if (outbound && transfer.TransferBufferLength == CBW_LENGTH)
    {
        bytes = static_cast<const UCHAR*>(MapTransferBuffer(urb));
    }
    BOOLEAN isCommandWrapper = bytes != nullptr && ReadLittleEndian32(bytes) == CBW_SIGNATURE;
    if (isCommandWrapper)
    {
        extension->botState = PhaseCommand;
    }
    extension->currentPhase = extension->botState;
    switch (extension->currentPhase)
    {
    case PhaseCommand:
        if (isCommandWrapper)
        {
            RtlCopyMemory(extension->currentCbw, bytes, CBW_LENGTH);
            extension->currentCdb = extension->currentCbw + FIELD_OFFSET(CommandBlockWrapper, CBWCB);
            extension->botState = CommandDataLength(extension->currentCbw) != 0 ? PhaseData : PhaseStatus;
            return;
        }
        break;
    case PhaseData:
        extension->botState = PhaseStatus;
        return;
    case PhaseStatus:
        extension->botState = PhaseCommand;
        return;
    default:
        break;
    }
    RtlZeroMemory(extension->currentCbw, sizeof(extension->currentCbw));
    extension->currentCdb = nullptr;
    extension->currentPhase = PhaseNone;
    extension->botState = PhaseCommand;
}

// Learns a unit's capacity from the READ CAPACITY(10) answer that passes by; the data transfer is sent
// from the worker so that the answer can be read once it has arrived.
void HandleReadCapacityData(WorkerThread*, WorkItem* item)
{
    auto* work = static_cast<UrbWorkContext*>(item->context);
    UsbFilterExtension* extension = ExtensionOfWork(work);
    PURB urb = UrbOfWork(work);
    NTSTATUS status = SubmitUrbSynchronously(extension, urb);
    const UCHAR* data = nullptr;
    if (urb->UrbBulkOrInterruptTransfer.TransferBufferLength >= 8)
    {
        data = static_cast<const UCHAR*>(MapTransferBuffer(urb));
    }
    LunContext* context = CurrentLunContext(extension);
    if (data != nullptr && context != nullptr)
    {
        context->lastLba = ReadBigEndian32(data);
        context->blockLength = ReadBigEndian32(data + 4);
        EmptyReadCache(context);
        context->failedStart = 0;
        context->failedEnd = 0;
    }
    FinishTakenOverTransfer(work, status);
}

// The worker handler that answers the current transfer, or none. The order keeps acknowledged data and the
// device's sense safe: a command answered as failed and a gathered piece come first, then buffered data
// goes out before any other command of its unit, and only then are capacity answers and reads handled.
WorkHandler ChooseHandler(UsbFilterExtension* extension, LunContext* context, BOOLEAN readAheadWanted)
{
    UCHAR operation = extension->currentCdb[0];
    BOOLEAN command = extension->currentPhase == PhaseCommand;
    if (context != nullptr && context->answerFailure)
    {
        return HandleAnsweredFailure;
    }
    if (context != nullptr && context->answeringSense)
    {
        return HandleHeldSense;
    }
    if (operation == SCSIOP_WRITE10_CODE && context != nullptr && context->coalescing)
    {
        return HandleCoalescedWrite;
    }
    // A READ(10) the cache holds never reaches the device, so gathered data need not go first. Decided at
    // its command wrapper, once: a command that went down has its data and status from the device.
    if (operation == SCSIOP_READ10_CODE && context != nullptr)
    {
        if (command)
        {
            context->cacheAnswers = CacheCoversCommand(extension, context);
        }
        if (context->cacheAnswers)
        {
            return HandleCachedRead;
        }
    }
    // Acknowledged write data reaches the device before any other command of its unit does; REQUEST SENSE
    // and INQUIRY alone go first: the one asks for the reason of the failure that came before it, and the
    // other leaves that reason on the device, which a write before it would replace.
    if (command && context != nullptr && context->writeBuffer != nullptr &&
        context->writeBuffer->length != 0 && operation != SCSIOP_REQUEST_SENSE_CODE &&
        operation != SCSIOP_INQUIRY_CODE)
    {
        return HandleFlushBeforeCommand;
    }
    if (extension->currentPhase == PhaseData && operation == SCSIOP_READ_CAPACITY_CODE)
    {
        return HandleReadCapacityData;
    }
    if (operation == SCSIOP_READ10_CODE && readAheadWanted)
    {
        return HandleReadAhead;
    }
    return nullptr;
}

// The function driver cancels a transfer the worker holds (its time-out): the worker is told, and cancels
// its own transfer in flight; the worker alone completes the IRP, as cancelled. Everything is done to the
// extension while the cancel spin lock is still held, so that whoever gives the transfer back needs only to
// take that lock once to know the routine is done with it: nobody ever spins on a routine that a lower
// IRQL may keep from running.
VOID CancelTakenOverTransfer(PDEVICE_OBJECT device, PIRP irp)
{
    UsbFilterExtension* extension = UsbExtensionOf(device);
    InterlockedExchange(&extension->cancelRequested, 1);
    KeSetEvent(&extension->ownDone, IO_NO_INCREMENT, FALSE);
    IoReleaseCancelSpinLock(irp->CancelIrql);
}

// A taken-over transfer's context goes back where it came from: to the extension, or to the pool.
void ReleaseWorkContext(UsbFilterExtension* extension, UrbWorkContext* work)
{
    if (work == &extension->embeddedWork)
    {
        InterlockedExchange(&extension->embeddedInUse, 0);
    }
    else
    {
        ExFreePoolWithTag(work, KAVFILTR_POOL_TAG);
    }
}

// The transfer goes down after all, already marked pending: its completion routine gives the remove lock
// back once the device has answered.
NTSTATUS PassedDownCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID)
{
    if (irp->PendingReturned)
    {
        IoMarkIrpPending(irp);
    }
    IoReleaseRemoveLock(&UsbExtensionOf(device)->head.removeLock, irp);
    return STATUS_SUCCESS;
}

// Whether a transfer the filter meant to answer may go down as it came when the worker cannot be given it:
// the command of a read the filter only wanted to speed up, or a capacity answer it only wanted to read.
// Everything else the filter answers stands for acknowledged data or a failure owed, and cannot.
BOOLEAN MayGoDownInstead(UsbFilterExtension* extension, WorkHandler handler)
{
    if (extension->currentPhase == PhaseCommand)
    {
        return handler == HandleReadAhead || handler == HandleCachedRead;
    }
    return extension->currentPhase == PhaseData && handler == HandleReadCapacityData;
}

// Hands a transfer to the worker. The IRP is marked pending first, since the worker may complete it
// before this routine returns; it then keeps the remove lock until its handler has completed it, and can
// be cancelled meanwhile. When memory is short, a transfer that may go down as it came does so, as it would
// without the filter; only one that cannot fails.
NTSTATUS TakeOver(UsbFilterExtension* extension, LunContext* context, PIRP irp, WorkHandler handler)
{
    IoMarkIrpPending(irp);
    BOOLEAN mayGoDown = MayGoDownInstead(extension, handler);
    BOOLEAN embedded = InterlockedCompareExchange(&extension->embeddedInUse, 1, 0) == 0;
    UrbWorkContext* work = &extension->embeddedWork;
    if (!embedded)
    {
        work = static_cast<UrbWorkContext*>(
            ExAllocatePoolWithTag(KavfiltrNonPagedPool, sizeof(UrbWorkContext), KAVFILTR_POOL_TAG));
    }
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (work != nullptr)
    {
        work->device = extension->head.selfDevice;
        work->irp = irp;
        WorkItem itemTemplate = {};
        itemTemplate.handler = handler;
        itemTemplate.waitForCompletion = 0;
        itemTemplate.context = work;
        IoSetCancelRoutine(irp, CancelTakenOverTransfer);
        // IoCancelIrp sets the flag under the cancel spin lock; a cancel that came before the routine was
        // set shows here.
        KIRQL cancelIrql;
        IoAcquireCancelSpinLock(&cancelIrql);
        BOOLEAN cancelled = irp->Cancel;
        IoReleaseCancelSpinLock(cancelIrql);
        if (cancelled)
        {
            // Cancelled on its way in: the worker would only complete it as cancelled.
            status = STATUS_CANCELLED;
        }
        else
        {
            if (embedded)
            {
                itemTemplate.embedded = 1;
                extension->embeddedItem = itemTemplate;
                status = EnqueueEmbeddedWork(extension->worker, &extension->embeddedItem);
            }
            else
            {
                status = EnqueueWork(extension->worker, &itemTemplate);
            }
            if (NT_SUCCESS(status))
            {
                return STATUS_PENDING;
            }
            if (mayGoDown && IoSetCancelRoutine(irp, nullptr) != nullptr)
            {
                ReleaseWorkContext(extension, work);
                work = nullptr;
            }
        }
        if (work != nullptr)
        {
            FinishTakenOverTransfer(work, status);
            return STATUS_PENDING;
        }
    }
    if (mayGoDown)
    {
        // Its data and status come from the device too.
        if (context != nullptr)
        {
            context->cacheAnswers = 0;
        }
        if (extension->currentPhase == PhaseCommand)
        {
            CountDeviceCommand(context, extension->currentCbw);
        }
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, PassedDownCompletion, nullptr, TRUE, TRUE, TRUE);
        IoCallDriver(extension->head.lowerDevice, irp);
        return STATUS_PENDING;
    }
    static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1)->UrbHeader.Status =
        USBD_STATUS_INSUFFICIENT_RESOURCES;
    CompleteAnsweredTransfer(extension, irp, status);
    return STATUS_PENDING;
}

// A bulk transfer: the transport state advances first, the read-ahead and the write coalescing decide at a
// command wrapper, and only a transfer that one of them answers leaves the pass-through path.
NTSTATUS TrackBulkTransfer(UsbFilterExtension* extension, PIRP irp, PURB urb)
{
    AdvanceTransport(extension, urb);
    if (extension->currentPhase == PhaseNone)
    {
        return PassDown(&extension->head, irp);
    }
    LunContext* context = CurrentLunContext(extension);
    if (context != nullptr && extension->currentPhase == PhaseCommand)
    {
        CountClassCommand(context, extension->currentCbw);
        context->cachedDataAnswered = 0;
        context->cacheAnswers = 0;
        context->answerFailure = 0;
        context->answeringSense = 0;
        if (context->senseWaiting)
        {
            // INQUIRY leaves the sense in place on the device, as REQUEST SENSE does.
            if (extension->currentCdb[0] == SCSIOP_REQUEST_SENSE_CODE)
            {
                context->senseWaiting = 0;
                context->answeringSense = context->senseHeld;
                context->senseHeld = 0;
            }
            else if (extension->currentCdb[0] != SCSIOP_INQUIRY_CODE)
            {
                context->answerFailure = 1;
            }
        }
        ForgetHeldWriteData(extension, context);
        if (extension->currentCdb[0] == SCSIOP_WRITE10_CODE &&
            IsServableBlockCommand(extension->currentCbw, context, FALSE))
        {
            // A write changes its own blocks only: the other reader's window stays.
            ULONGLONG offset = CommandOffset(extension->currentCbw, context);
            DropCachedRange(context, offset, offset + CommandDataLength(extension->currentCbw));
        }
        else if (!KeepsCachedData(extension->currentCdb[0]))
        {
            EmptyReadCache(context);
        }
    }
    BOOLEAN readAheadWanted = FALSE;
    if (context == nullptr || !context->answerFailure)
    {
        readAheadWanted = DecideReadAhead(extension, context);
        MatchLargeWrite(extension, context);
    }
    WorkHandler handler = ChooseHandler(extension, context, readAheadWanted);
    if (handler == nullptr)
    {
        if (extension->currentPhase == PhaseCommand)
        {
            CountDeviceCommand(context, extension->currentCbw);
        }
        return PassDown(&extension->head, irp);
    }
    return TakeOver(extension, context, irp, handler);
}
} // namespace

// The USB role before its first URB: the device expects a command wrapper, the pipes are still to be
// learned from the configuration, and the worker exists before any transfer can be taken over.
NTSTATUS UsbRoleInitialize(UsbFilterExtension* extension)
{
    extension->head.role = RoleUsbDevice;
    extension->botState = PhaseCommand;
    extension->currentPhase = PhaseNone;
    extension->bulkInPipe = nullptr;
    extension->bulkOutPipe = nullptr;
    RtlZeroMemory(extension->currentCbw, sizeof(extension->currentCbw));
    extension->currentCdb = nullptr;
    extension->readBufferCapacity = LUN_BUFFER_CAPACITY;
    extension->writeBufferCapacity = LUN_BUFFER_CAPACITY;
    KeInitializeSpinLock(&extension->relationsLock);
    extension->busRelations = nullptr;
    KeInitializeEvent(&extension->ownDone, NotificationEvent, FALSE);
    extension->ownCompleted = 0;
    extension->cancelRequested = 0;
    extension->embeddedInUse = 0;
    extension->blindWriteSequence = 0;
    NTSTATUS status = StartWorker(&extension->worker, PublishUnitCounters, extension);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    KeInitializeSpinLock(&extension->lunContextsLock);
    const PoolListTemplate contextsTemplate = {ReleaseLunContext, sizeof(LunContext)};
    return PoolListCreate(&contextsTemplate, &extension->lunContexts);
}

// Called once the remove lock has drained: no transfer and no handler uses the worker or the contexts.
void UsbRoleRelease(UsbFilterExtension* extension)
{
    StopWorker(extension->worker);
    extension->worker = nullptr;
    PoolListDestroy(extension->lunContexts);
    extension->lunContexts = nullptr;
    ReplaceBusRelations(extension, nullptr);
}

// Every URB the function driver sends. Only bulk transfers can be taken over; pipe selection is watched on
// its way back, resets empty the caches, and everything else passes down unchanged. The remove lock that
// the common entry took stays with the transfer until the pass-down tail, the pipe-capture completion or
// the worker releases it.
NTSTATUS DispatchUrb(PDEVICE_OBJECT device, PIRP irp)
{
    UsbFilterExtension* extension = UsbExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    if (IsResetRequest(stack, urb))
    {
        EmptyAllReadCaches(extension);
    }
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB || urb == nullptr)
    {
        return PassDown(&extension->head, irp);
    }
    switch (urb->UrbHeader.Function)
    {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, PipeCaptureCompletion, nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(extension->head.lowerDevice, irp);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return TrackBulkTransfer(extension, irp, urb);
    default:
        return PassDown(&extension->head, irp);
    }
}

// What a worker handler needs of the transfer it was handed.
UrbWorkContext* WorkOf(WorkItem* item)
{
    return static_cast<UrbWorkContext*>(item->context);
}

UsbFilterExtension* ExtensionOfWork(UrbWorkContext* work)
{
    return static_cast<UsbFilterExtension*>(work->device->DeviceExtension);
}

PURB UrbOfWork(UrbWorkContext* work)
{
    return static_cast<PURB>(IoGetCurrentIrpStackLocation(work->irp)->Parameters.Others.Argument1);
}

// The context of the unit that the tracked command addresses.
LunContext* CurrentLunContext(UsbFilterExtension* extension)
{
    return GetLunContext(extension, extension->currentCbw[FIELD_OFFSET(CommandBlockWrapper, bCBWLUN)] & 0x0F);
}

// The context of a unit already seen, or null; never allocates.
LunContext* FindLunContext(UsbFilterExtension* extension, UCHAR lun)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&extension->lunContextsLock);
    LunContext* found = FindLunContextLocked(extension, lun);
    KeReleaseSpinLock(&extension->lunContextsLock, irql);
    return found;
}

// Every unit's context, at most MAX_LUNS; returns how many. Contexts are never taken out of the list before
// the device goes, so the pointers stay good for whoever holds the remove lock or runs on the worker.
ULONG ListLunContexts(UsbFilterExtension* extension, LunContext** contexts)
{
    ULONG count = 0;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&extension->lunContextsLock);
    for (auto* context = static_cast<LunContext*>(PoolListFirst(extension->lunContexts));
         context != nullptr && count < MAX_LUNS;
         context = static_cast<LunContext*>(PoolListNext(extension->lunContexts)))
    {
        contexts[count++] = context;
    }
    extension->lunContexts->cursor = nullptr;
    KeReleaseSpinLock(&extension->lunContextsLock, irql);
    return count;
}

// The unit's context, created with both of its buffers the first time the unit is seen. Null when memory
// is short: the unit's transfers then simply pass down.
LunContext* GetLunContext(UsbFilterExtension* extension, UCHAR lun)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&extension->lunContextsLock);
    LunContext* existing = FindLunContextLocked(extension, lun);
    KeReleaseSpinLock(&extension->lunContextsLock, irql);
    if (existing != nullptr)
    {
        return existing;
    }
    // The 1 MiB buffers are allocated outside the lock; whoever appends first wins, the other's buffers go.
    LunContext fresh;
    RtlZeroMemory(&fresh, sizeof(fresh));
    fresh.lun = lun;
    // Every value of a new unit is written at the first tick, the zeros too, so readers find them all.
    fresh.counters.stale = 1;
    fresh.readAheadBuffer = CreateUnitBuffer(extension->readBufferCapacity);
    fresh.writeBuffer = CreateUnitBuffer(extension->writeBufferCapacity);
    PVOID copy = nullptr;
    if (fresh.readAheadBuffer != nullptr && fresh.writeBuffer != nullptr)
    {
        irql = KeAcquireSpinLockRaiseToDpc(&extension->lunContextsLock);
        existing = FindLunContextLocked(extension, lun);
        if (existing == nullptr &&
            !NT_SUCCESS(PoolListAppend(extension->lunContexts, &fresh, sizeof(fresh), &copy)))
        {
            copy = nullptr;
        }
        KeReleaseSpinLock(&extension->lunContextsLock, irql);
    }
    if (copy == nullptr)
    {
        ReleaseLunContext(&fresh, sizeof(LunContext));
        return existing;
    }
    return static_cast<LunContext*>(copy);
}

// The disk of unit n is the disk filter registered above the n-th child in the last bus relations. Its
// device is referenced for the caller, who lets go with ReleaseDiskFilter: the disk node may be removed
// while the USB side still consults its records.
DiskFilterExtension* FindDiskFilterForLun(UsbFilterExtension* extension, UCHAR lun)
{
    BOOLEAN known = FALSE;
    return LookUpDiskFilterForLun(extension, lun, &known);
}

// As FindDiskFilterForLun, and `known` tells whether a missing disk is an answer: FALSE while the filter
// holds no copy of the children (a re-scan could not allocate one), when nothing can be said about the
// unit's disk or the writes in flight on it.
DiskFilterExtension* LookUpDiskFilterForLun(UsbFilterExtension* extension, UCHAR lun, BOOLEAN* known)
{
    DiskFilterExtension* found = nullptr;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&extension->relationsLock);
    PDEVICE_RELATIONS relations = extension->busRelations;
    *known = relations != nullptr;
    if (relations != nullptr && lun < relations->Count)
    {
        for (DiskFilterExtension* disk : extension->disks)
        {
            if (disk != nullptr && disk->head.physicalDevice == relations->Objects[lun])
            {
                ObReferenceObject(disk->head.selfDevice);
                found = disk;
                break;
            }
        }
    }
    KeReleaseSpinLock(&extension->relationsLock, irql);
    return found;
}

void ReleaseDiskFilter(DiskFilterExtension* disk)
{
    if (disk != nullptr)
    {
        ObDereferenceObject(disk->head.selfDevice);
    }
}

// A disk joins its USB parent's table once its records exist, and only then can the USB side find it. The
// parent's device is referenced, so that the table outlives the parent's removal until the disk has left.
NTSTATUS RegisterDiskFilter(UsbFilterExtension* usb, DiskFilterExtension* disk)
{
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->relationsLock);
    for (DiskFilterExtension*& slot : usb->disks)
    {
        if (slot == nullptr)
        {
            slot = disk;
            status = STATUS_SUCCESS;
            break;
        }
    }
    KeReleaseSpinLock(&usb->relationsLock, irql);
    if (NT_SUCCESS(status))
    {
        ObReferenceObject(usb->head.selfDevice);
        disk->usbParent = usb;
    }
    return status;
}

// A disk leaves its parent's table before its records go; a USB-side user that found it earlier holds a
// reference on its device and sees the records gone, not freed memory.
void UnregisterDiskFilter(DiskFilterExtension* disk)
{
    UsbFilterExtension* usb = disk->usbParent;
    if (usb == nullptr)
    {
        return;
    }
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->relationsLock);
    for (DiskFilterExtension*& slot : usb->disks)
    {
        if (slot == disk)
        {
            slot = nullptr;
        }
    }
    KeReleaseSpinLock(&usb->relationsLock, irql);
    disk->usbParent = nullptr;
    ObDereferenceObject(usb->head.selfDevice);
}

// A new copy of the children takes the old one's place under the lock; the old one is freed once no reader
// can still hold it.
void ReplaceBusRelations(UsbFilterExtension* extension, PDEVICE_RELATIONS copy)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&extension->relationsLock);
    PDEVICE_RELATIONS old = extension->busRelations;
    extension->busRelations = copy;
    KeReleaseSpinLock(&extension->relationsLock, irql);
    if (old != nullptr)
    {
        ExFreePoolWithTag(old, KAVFILTR_POOL_TAG);
    }
}

// The device failed the filter's command that stood for the function driver's current one: the function
// driver is to learn it from a status wrapper with status 1 and fetch the sense itself.
void AnswerDeviceFailure(LunContext* context)
{
    context->answerFailure = 1;
    context->senseWaiting = 1;
}

// Worker handler for the phases of a command that is answered as failed: the rest of a command the device
// failed in the filter's own exchange, or a whole command sent while the device's sense waits to be
// fetched (its command wrapper is taken and not sent). No data (an IN transfer ends short, OUT data is
// taken and dropped, as a device that failed the command may do), then a status wrapper with status 1 and
// the whole length as residue.
void HandleAnsweredFailure(WorkerThread*, WorkItem* item)
{
    UrbWorkContext* work = WorkOf(item);
    UsbFilterExtension* extension = ExtensionOfWork(work);
    PURB urb = UrbOfWork(work);
    LunContext* context = CurrentLunContext(extension);
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    if (context != nullptr && extension->currentPhase == PhaseCommand)
    {
        status = STATUS_SUCCESS;
    }
    else if (context != nullptr && extension->currentPhase == PhaseData)
    {
        if (urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN)
        {
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        }
        status = STATUS_SUCCESS;
    }
    else if (context != nullptr && extension->currentPhase == PhaseStatus)
    {
        context->answerFailure = 0;
        WriteStatusWrapper(urb, CommandTag(extension->currentCbw), CommandDataLength(extension->currentCbw),
                           1, &status);
        CountForUnit(context, CounterFailuresPassedOn, 1);
    }
    FinishTakenOverTransfer(work, status);
}

// The filter's own command failed in step while it stood for a function driver's command that did not
// ask for it (a read-ahead past the blocks the command wants, a flush of another request's write). The
// sense tells whose failure it is: a unit attention (a new medium, a reset) is owed to whichever command
// reaches the device next, so the current command fails with it and its REQUEST SENSE gets this copy;
// anything else belongs to the blocks or the write the filter's command carried, and the current command
// goes down to get the device's answer to itself. Returns TRUE when the command is to be answered as failed.
BOOLEAN AnswerFailureIfOwed(UsbFilterExtension* extension, LunContext* context)
{
    UCHAR sense[SENSE_LENGTH];
    if (!NT_SUCCESS(FetchSense(extension, sense)) || (sense[2] & 0x0F) != SENSE_KEY_UNIT_ATTENTION)
    {
        return FALSE;
    }
    RtlCopyMemory(context->heldSense, sense, sizeof(context->heldSense));
    context->senseHeld = 1;
    context->answerFailure = 1;
    context->senseWaiting = 1;
    return TRUE;
}

// Worker handler for the phases of the function driver's REQUEST SENSE when the filter holds the sense
// (see `senseHeld`): the copy as data, then a passed status wrapper, as the device would have answered.
void HandleHeldSense(WorkerThread*, WorkItem* item)
{
    UrbWorkContext* work = WorkOf(item);
    UsbFilterExtension* extension = ExtensionOfWork(work);
    PURB urb = UrbOfWork(work);
    LunContext* context = CurrentLunContext(extension);
    ULONG requested = CommandDataLength(extension->currentCbw);
    ULONG delivered = requested < SENSE_LENGTH ? requested : SENSE_LENGTH;
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    if (context != nullptr && extension->currentPhase == PhaseCommand)
    {
        status = STATUS_SUCCESS;
    }
    else if (context != nullptr && extension->currentPhase == PhaseData)
    {
        _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
        PVOID target = MapTransferBuffer(urb);
        status = STATUS_INSUFFICIENT_RESOURCES;
        if (target != nullptr)
        {
            ULONG length =
                transfer.TransferBufferLength < delivered ? transfer.TransferBufferLength : delivered;
            RtlCopyMemory(target, context->heldSense, length);
            transfer.TransferBufferLength = length;
            status = STATUS_SUCCESS;
        }
    }
    else if (context != nullptr && extension->currentPhase == PhaseStatus)
    {
        context->answeringSense = 0;
        WriteStatusWrapper(urb, CommandTag(extension->currentCbw), requested - delivered, 0, &status);
    }
    FinishTakenOverTransfer(work, status);
}

// The shared end of every handler: the lock is released and the IRP completed last, since its completion
// may send the function driver's next transfer at once, on this very thread.
void FinishTakenOverTransfer(UrbWorkContext* work, NTSTATUS status)
{
    UsbFilterExtension* extension = UsbExtensionOf(work->device);
    PIRP irp = work->irp;
    ReleaseWorkContext(extension, work);
    if (IoSetCancelRoutine(irp, nullptr) == nullptr)
    {
        // The cancel routine has been called: the transfer ends as cancelled, once the routine has let go
        // of the extension, which it does before it releases the cancel spin lock.
        KIRQL cancelIrql;
        IoAcquireCancelSpinLock(&cancelIrql);
        IoReleaseCancelSpinLock(cancelIrql);
        status = STATUS_CANCELLED;
    }
    InterlockedExchange(&extension->cancelRequested, 0);
    CompleteAnsweredTransfer(extension, irp, status);
}

void CompleteAnsweredTransfer(UsbFilterExtension* extension, PIRP irp, NTSTATUS status)
{
    if (!NT_SUCCESS(status))
    {
        CountFailurePassedOn(extension);
    }
    // The function driver reads the outcome from the URB as well as from the IRP; both must agree.
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (NT_SUCCESS(status))
    {
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    }
    else if (USBD_SUCCESS(urb->UrbHeader.Status))
    {
        urb->UrbHeader.Status = USBD_STATUS_XACT_ERROR;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoReleaseRemoveLock(&extension->head.removeLock, irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}
