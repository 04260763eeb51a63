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

AlignedBuffer* CreateUnitBuffer(ULONG capacity)
{
    auto* buffer = static_cast<AlignedBuffer*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(AlignedBuffer), KAVFILTR_POOL_TAG));
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
    for (auto* context = static_cast<LunContext*>(PoolListFirst(extension->lunContexts)); context != nullptr;
         context = static_cast<LunContext*>(PoolListNext(extension->lunContexts)))
    {
        EmptyReadCache(context);
    }
}

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
    case 0x12: // INQUIRY
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
    if (transfer.TransferBufferLength == CBW_LENGTH)
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
    NTSTATUS status = SubmitUrbSynchronously(extension->head.lowerDevice, urb);
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
    }
    FinishTakenOverTransfer(work, status);
}

WorkHandler ChooseHandler(UsbFilterExtension* extension, LunContext* context, BOOLEAN readAheadWanted)
{
    UCHAR operation = extension->currentCdb[0];
    BOOLEAN command = extension->currentPhase == PhaseCommand;
    if (context != nullptr && command && context->refuseWrite)
    {
        return HandleRefusedWrite;
    }
    if (operation == SCSIOP_WRITE10_CODE && context != nullptr && context->coalescing)
    {
        return HandleCoalescedWrite;
    }
    // Acknowledged write data reaches the device before any other command of its unit does.
    if (command && context != nullptr && context->writeBuffer != nullptr && context->writeBuffer->length != 0)
    {
        return HandleFlushBeforeCommand;
    }
    if (extension->currentPhase == PhaseData && operation == SCSIOP_READ_CAPACITY_CODE)
    {
        return HandleReadCapacityData;
    }
    if (operation == SCSIOP_READ10_CODE && context != nullptr)
    {
        if (CacheCoversCommand(extension, context))
        {
            return HandleCachedRead;
        }
        if (readAheadWanted)
        {
            return HandleReadAhead;
        }
    }
    return nullptr;
}

// Hands a transfer to the worker. The IRP is marked pending first, since the worker may complete it
// before this routine returns; it then keeps the remove lock until its handler has completed it.
NTSTATUS TakeOver(UsbFilterExtension* extension, PIRP irp, WorkHandler handler)
{
    IoMarkIrpPending(irp);
    auto* work = static_cast<UrbWorkContext*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(UrbWorkContext), KAVFILTR_POOL_TAG));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (work != nullptr)
    {
        work->device = extension->head.selfDevice;
        work->irp = irp;
        WorkItem itemTemplate = {};
        itemTemplate.handler = handler;
        itemTemplate.waitForCompletion = 0;
        itemTemplate.context = work;
        status = EnqueueWork(extension->worker, &itemTemplate);
        if (NT_SUCCESS(status))
        {
            return STATUS_PENDING;
        }
        ExFreePoolWithTag(work, KAVFILTR_POOL_TAG);
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoReleaseRemoveLock(&extension->head.removeLock, irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}

NTSTATUS TrackBulkTransfer(UsbFilterExtension* extension, PIRP irp, PURB urb)
{
    AdvanceTransport(extension, urb);
    if (extension->currentPhase == PhaseNone)
    {
        return PassDown(&extension->head, irp);
    }
    LunContext* context = CurrentLunContext(extension);
    if (context != nullptr && extension->currentPhase == PhaseCommand &&
        !KeepsCachedData(extension->currentCdb[0]))
    {
        EmptyReadCache(context);
    }
    BOOLEAN readAheadWanted = DecideReadAhead(extension, context);
    MatchLargeWrite(extension, context);
    WorkHandler handler = ChooseHandler(extension, context, readAheadWanted);
    if (handler == nullptr)
    {
        return PassDown(&extension->head, irp);
    }
    return TakeOver(extension, irp, handler);
}
} // namespace

ULONG ReadLittleEndian32(const UCHAR* bytes)
{
    return static_cast<ULONG>(bytes[0]) | static_cast<ULONG>(bytes[1]) << 8 |
           static_cast<ULONG>(bytes[2]) << 16 | static_cast<ULONG>(bytes[3]) << 24;
}

ULONG ReadBigEndian32(const UCHAR* bytes)
{
    return static_cast<ULONG>(bytes[0]) << 24 | static_cast<ULONG>(bytes[1]) << 16 |
           static_cast<ULONG>(bytes[2]) << 8 | static_cast<ULONG>(bytes[3]);
}

USHORT ReadBigEndian16(const UCHAR* bytes)
{
    return static_cast<USHORT>(bytes[0] << 8 | bytes[1]);
}

void WriteBigEndian32(UCHAR* bytes, ULONG value)
{
    bytes[0] = static_cast<UCHAR>(value >> 24);
    bytes[1] = static_cast<UCHAR>(value >> 16);
    bytes[2] = static_cast<UCHAR>(value >> 8);
    bytes[3] = static_cast<UCHAR>(value);
}

void WriteBigEndian16(UCHAR* bytes, USHORT value)
{
    bytes[0] = static_cast<UCHAR>(value >> 8);
    bytes[1] = static_cast<UCHAR>(value);
}

ULONG CommandTag(const UCHAR* cbw)
{
    return ReadLittleEndian32(cbw + FIELD_OFFSET(CommandBlockWrapper, dCBWTag));
}

ULONG CommandDataLength(const UCHAR* cbw)
{
    return ReadLittleEndian32(cbw + FIELD_OFFSET(CommandBlockWrapper, dCBWDataTransferLength));
}

ULONG CommandLba(const UCHAR* cbw)
{
    return ReadBigEndian32(cbw + FIELD_OFFSET(CommandBlockWrapper, CBWCB) + 2);
}

USHORT CommandBlocks(const UCHAR* cbw)
{
    return ReadBigEndian16(cbw + FIELD_OFFSET(CommandBlockWrapper, CBWCB) + 7);
}

ULONGLONG CommandOffset(const UCHAR* cbw, const LunContext* context)
{
    return static_cast<ULONGLONG>(CommandLba(cbw)) * context->blockLength;
}

// A block length the filter can compute with: a power of two that a real medium uses. Until a capacity
// answer with such a length has been seen (or after a garbled one), the unit is left alone.
BOOLEAN IsUnitUsable(const LunContext* context)
{
    ULONG length = context->blockLength;
    return length >= 512 && length <= 65536 && (length & (length - 1)) == 0;
}

// Only commands whose wrapper and command block agree, in direction and in length, are answered by the
// filter; anything odd is the device's and the function driver's business.
BOOLEAN IsServableBlockCommand(const UCHAR* cbw, const LunContext* context, BOOLEAN dataIn)
{
    if (!IsUnitUsable(context))
    {
        return FALSE;
    }
    BOOLEAN wrapperIn = (cbw[FIELD_OFFSET(CommandBlockWrapper, bmCBWFlags)] & CBW_FLAGS_DATA_IN) != 0;
    ULONG length = CommandDataLength(cbw);
    return wrapperIn == dataIn && length != 0 &&
           static_cast<ULONGLONG>(CommandBlocks(cbw)) * context->blockLength == length;
}

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
    extension->busRelations = nullptr;
    NTSTATUS status = StartWorker(&extension->worker);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
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
    if (extension->busRelations != nullptr)
    {
        ExFreePoolWithTag(extension->busRelations, KAVFILTR_POOL_TAG);
        extension->busRelations = nullptr;
    }
}

// Every URB the function driver sends. Only bulk transfers can be taken over; pipe selection is watched on
// its way back, resets empty the caches, and everything else passes down unchanged.
NTSTATUS DispatchUrb(PDEVICE_OBJECT device, PIRP irp)
{
    UsbFilterExtension* extension = UsbExtensionOf(device);
    NTSTATUS status = IoAcquireRemoveLock(&extension->head.removeLock, irp);
    if (!NT_SUCCESS(status))
    {
        return CompleteWithStatus(irp, status);
    }
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

// The unit's context, created with both of its buffers the first time the unit is seen. Null when memory
// is short: the unit's transfers then simply pass down.
LunContext* GetLunContext(UsbFilterExtension* extension, UCHAR lun)
{
    for (auto* context = static_cast<LunContext*>(PoolListFirst(extension->lunContexts)); context != nullptr;
         context = static_cast<LunContext*>(PoolListNext(extension->lunContexts)))
    {
        if (context->lun == lun)
        {
            extension->lunContexts->cursor = nullptr;
            return context;
        }
    }
    LunContext fresh;
    RtlZeroMemory(&fresh, sizeof(fresh));
    fresh.lun = lun;
    fresh.readAheadBuffer = CreateUnitBuffer(extension->readBufferCapacity);
    fresh.writeBuffer = CreateUnitBuffer(extension->writeBufferCapacity);
    PVOID copy = nullptr;
    if (fresh.readAheadBuffer == nullptr || fresh.writeBuffer == nullptr ||
        !NT_SUCCESS(PoolListAppend(extension->lunContexts, &fresh, sizeof(fresh), &copy)))
    {
        ReleaseLunContext(&fresh, sizeof(LunContext));
        return nullptr;
    }
    return static_cast<LunContext*>(copy);
}

// The disk of unit n is the n-th child in the last bus relations of this USB device.
DiskFilterExtension* FindDiskFilterForLun(UsbFilterExtension* extension, UCHAR lun)
{
    PDEVICE_RELATIONS relations = extension->busRelations;
    if (relations == nullptr || lun >= relations->Count)
    {
        return nullptr;
    }
    PDEVICE_OBJECT physicalDevice = relations->Objects[lun];
    for (PDEVICE_OBJECT device = extension->head.selfDevice->DriverObject->DeviceObject; device != nullptr;
         device = device->NextDevice)
    {
        auto* candidate = static_cast<FilterExtension*>(device->DeviceExtension);
        if (candidate->role == RoleStorageDisk && candidate->physicalDevice == physicalDevice)
        {
            return reinterpret_cast<DiskFilterExtension*>(candidate);
        }
    }
    return nullptr;
}

// The system address of a transfer's data, whether the function driver gave a buffer or an MDL.
PVOID MapTransferBuffer(PURB urb)
{
    _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
    if (transfer.TransferBuffer != nullptr)
    {
        return transfer.TransferBuffer;
    }
    if (transfer.TransferBufferMDL == nullptr)
    {
        return nullptr;
    }
    return MmGetSystemAddressForMdlSafe(transfer.TransferBufferMDL, HighPagePriority);
}

// Sends a URB of the filter's own straight to the device below and waits for it; worker thread only.
NTSTATUS SubmitUrbSynchronously(PDEVICE_OBJECT lowerDevice, PURB urb)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lowerDevice, nullptr, 0, nullptr,
                                             0, TRUE, &done, &ioStatus);
    if (irp == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IoCallDriver(lowerDevice, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

// One bulk transfer of the filter's own on a learned pipe; `length` returns what the device moved.
NTSTATUS SubmitBulkTransfer(UsbFilterExtension* extension, USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer,
                            ULONG* length)
{
    if (pipe == nullptr)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb.UrbBulkOrInterruptTransfer;
    transfer.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    transfer.PipeHandle = pipe;
    transfer.TransferFlags = flags;
    transfer.TransferBufferLength = *length;
    transfer.TransferBuffer = buffer;
    NTSTATUS status = SubmitUrbSynchronously(extension->head.lowerDevice, &urb);
    *length = transfer.TransferBufferLength;
    return status;
}

// A request without data to the device below, sent and waited for on the worker.
NTSTATUS SubmitPipeReset(UsbFilterExtension* extension, USBD_PIPE_HANDLE pipe)
{
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return SubmitUrbSynchronously(extension->head.lowerDevice, &urb);
}

// Bulk-Only reset recovery: the class reset, then clearing both bulk pipes. Afterwards the device waits for
// a command wrapper whatever state the failed exchange left it in.
void ResetRecovery(UsbFilterExtension* extension)
{
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& request = urb.UrbControlVendorClassRequest;
    request.Hdr.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    request.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    request.Request = 0xFF; // Bulk-Only Mass Storage Reset
    request.Index = extension->interfaceNumber;
    SubmitUrbSynchronously(extension->head.lowerDevice, &urb);
    SubmitPipeReset(extension, extension->bulkInPipe);
    SubmitPipeReset(extension, extension->bulkOutPipe);
}

// Ends an exchange of the filter's own after its data phase: reads the status wrapper (once more after
// clearing a stall of bulk IN, as the transport allows after a failed data phase) and checks it. Only a
// complete exchange with a passed wrapper is success; whenever the device may be out of step, reset recovery
// brings it back before the function driver's next command reaches it.
NTSTATUS FinishOwnExchange(UsbFilterExtension* extension, NTSTATUS dataStatus, BOOLEAN dataComplete,
                           ULONG tag)
{
    UCHAR wrapper[CSW_LENGTH];
    ULONG length = CSW_LENGTH;
    NTSTATUS status =
        SubmitBulkTransfer(extension, extension->bulkInPipe, TRANSFER_FLAGS_SHORT_OK, wrapper, &length);
    if (!NT_SUCCESS(status))
    {
        SubmitPipeReset(extension, extension->bulkInPipe);
        length = CSW_LENGTH;
        status =
            SubmitBulkTransfer(extension, extension->bulkInPipe, TRANSFER_FLAGS_SHORT_OK, wrapper, &length);
    }
    BOOLEAN inStep = NT_SUCCESS(status) && length == CSW_LENGTH &&
                     ReadLittleEndian32(wrapper) == CSW_SIGNATURE &&
                     ReadLittleEndian32(wrapper + FIELD_OFFSET(CommandStatusWrapper, dCSWTag)) == tag &&
                     wrapper[FIELD_OFFSET(CommandStatusWrapper, bCSWStatus)] <= 1;
    if (!inStep)
    {
        ResetRecovery(extension);
        return NT_SUCCESS(status) ? STATUS_IO_DEVICE_ERROR : status;
    }
    status = CheckStatusWrapper(wrapper, length, tag);
    if (NT_SUCCESS(status) && (!NT_SUCCESS(dataStatus) || !dataComplete))
    {
        status = STATUS_IO_DEVICE_ERROR;
    }
    return status;
}

// A status wrapper the filter received for its own command: anything but a passed command with nothing
// left over means the device does not hold what the filter asked for.
NTSTATUS CheckStatusWrapper(const UCHAR* wrapper, ULONG length, ULONG tag)
{
    if (length != CSW_LENGTH || ReadLittleEndian32(wrapper) != CSW_SIGNATURE ||
        ReadLittleEndian32(wrapper + FIELD_OFFSET(CommandStatusWrapper, dCSWTag)) != tag ||
        ReadLittleEndian32(wrapper + FIELD_OFFSET(CommandStatusWrapper, dCSWDataResidue)) != 0 ||
        wrapper[FIELD_OFFSET(CommandStatusWrapper, bCSWStatus)] != 0)
    {
        return STATUS_IO_DEVICE_ERROR;
    }
    return STATUS_SUCCESS;
}

// Answers the function driver's status transfer for a command the filter served: a passed command with
// its own tag. A buffer that cannot be mapped fails the transfer instead of reporting success blindly.
void WritePassedStatusWrapper(PURB urb, ULONG tag, NTSTATUS* status)
{
    _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
    transfer.TransferBufferLength = CSW_LENGTH;
    transfer.TransferFlags = TRANSFER_FLAGS_IN_SHORT_OK;
    auto* wrapper = static_cast<CommandStatusWrapper*>(MapTransferBuffer(urb));
    if (wrapper == nullptr)
    {
        *status = STATUS_INVALID_PARAMETER;
        return;
    }
    CommandStatusWrapper passed = {CSW_SIGNATURE, tag, 0, 0};
    RtlCopyMemory(wrapper, &passed, sizeof(passed));
    *status = STATUS_SUCCESS;
}

// The shared end of every handler: the lock is released and the IRP completed last, since its completion
// may send the function driver's next transfer at once, on this very thread.
void FinishTakenOverTransfer(UrbWorkContext* work, NTSTATUS status)
{
    UsbFilterExtension* extension = UsbExtensionOf(work->device);
    PIRP irp = work->irp;
    ExFreePoolWithTag(work, KAVFILTR_POOL_TAG);
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
