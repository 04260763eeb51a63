// The filter's own traffic to the device, always sent from the worker and waited for there: the bulk
// transfers of a read-ahead fill or a coalesced write, the status phase that ends such an exchange, and the
// reset recovery that brings the device back in step when the exchange went wrong. A handler that
// forwards the function driver's transfer sends it the same way.
#include "driver/kavfiltr.h"

namespace
{
// The filter's own IRP stays the filter's after completion, so that the worker may still cancel it while
// deciding whether it has finished, and frees it itself.
NTSTATUS OwnIrpCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    auto* extension = static_cast<UsbFilterExtension*>(context);
    InterlockedExchange(&extension->ownCompleted, 1);
    KeSetEvent(&extension->ownDone, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
} // namespace

// Sends a URB straight to the device below and waits for it: one of the filter's own, or a taken-over
// transfer that a handler forwards. The wait needs PASSIVE_LEVEL, so this runs on the worker only. When the
// function driver cancels the transfer the worker is handling (its time-out), the transfer in flight is
// cancelled too and no further one is started: a device that never answers holds no thread.
NTSTATUS SubmitUrbSynchronously(UsbFilterExtension* extension, PURB urb)
{
    // Cleared before the cancel flag is looked at: a cancel from here on leaves the event set.
    InterlockedExchange(&extension->ownCompleted, 0);
    KeClearEvent(&extension->ownDone);
    if (ReadFlag(&extension->cancelRequested))
    {
        return STATUS_CANCELLED;
    }
    PDEVICE_OBJECT lowerDevice = extension->head.lowerDevice;
    PIRP irp = IoAllocateIrp(lowerDevice->StackSize, FALSE);
    if (irp == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, OwnIrpCompletion, extension, TRUE, TRUE, TRUE);
    CountCommandSent(extension, urb);
    IoCallDriver(lowerDevice, irp);
    for (;;)
    {
        KeWaitForSingleObject(&extension->ownDone, Executive, KernelMode, FALSE, nullptr);
        if (ReadFlag(&extension->ownCompleted))
        {
            break;
        }
        // Woken by a cancel. The event is cleared before the completion is looked at again, so that a
        // completion arriving in between is never missed.
        KeClearEvent(&extension->ownDone);
        if (ReadFlag(&extension->ownCompleted))
        {
            break;
        }
        if (ReadFlag(&extension->cancelRequested))
        {
            IoCancelIrp(irp);
        }
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
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
    NTSTATUS status = SubmitUrbSynchronously(extension, &urb);
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
    return SubmitUrbSynchronously(extension, &urb);
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
    SubmitUrbSynchronously(extension, &urb);
    SubmitPipeReset(extension, extension->bulkInPipe);
    SubmitPipeReset(extension, extension->bulkOutPipe);
}

// Ends an exchange of the filter's own after its data phase: reads the status wrapper (once more after
// clearing a stall of bulk IN, as the transport allows after a failed data phase) and checks it. Only a
// complete exchange with a passed wrapper is success; a failed command in step is
// STATUS_KAVFILTR_COMMAND_FAILED, and nothing more is sent, so that the device's sense waits for the
// function driver; whenever the device may be out of step, reset recovery brings it back before the
// function driver's next command reaches it.
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
    if (wrapper[FIELD_OFFSET(CommandStatusWrapper, bCSWStatus)] == 1)
    {
        // In step, and the device keeps the reason for the function driver's REQUEST SENSE.
        return STATUS_KAVFILTR_COMMAND_FAILED;
    }
    status = CheckStatusWrapper(wrapper, length, tag);
    if (NT_SUCCESS(status) && (!NT_SUCCESS(dataStatus) || !dataComplete))
    {
        status = STATUS_IO_DEVICE_ERROR;
    }
    return status;
}

// Asks the device for the sense of the filter's own command that it failed in step, as the function
// driver would for its own: REQUEST SENSE to the unit of the current command. Only a complete, passed
// exchange that delivered at least the sense key is success; otherwise the device has been brought back
// in step and its sense is lost, as after any transport failure.
NTSTATUS FetchSense(UsbFilterExtension* extension, UCHAR* sense)
{
    UCHAR cbw[CBW_LENGTH];
    RtlZeroMemory(cbw, sizeof(cbw));
    auto* wrapper = reinterpret_cast<CommandBlockWrapper*>(cbw);
    const auto* current = reinterpret_cast<const CommandBlockWrapper*>(extension->currentCbw);
    ULONG senseLength = SENSE_LENGTH;
    wrapper->dCBWSignature = CBW_SIGNATURE;
    RtlCopyMemory(&wrapper->dCBWTag, &current->dCBWTag, sizeof(wrapper->dCBWTag));
    RtlCopyMemory(&wrapper->dCBWDataTransferLength, &senseLength, sizeof(senseLength));
    wrapper->bmCBWFlags = CBW_FLAGS_DATA_IN;
    wrapper->bCBWLUN = current->bCBWLUN;
    wrapper->bCBWCBLength = 6;
    wrapper->CBWCB[0] = SCSIOP_REQUEST_SENSE_CODE;
    wrapper->CBWCB[4] = SENSE_LENGTH;
    RtlZeroMemory(sense, SENSE_LENGTH);
    ULONG length = CBW_LENGTH;
    NTSTATUS status = SubmitBulkTransfer(extension, extension->bulkOutPipe, TRANSFER_FLAGS_OUT, cbw, &length);
    if (!NT_SUCCESS(status))
    {
        ResetRecovery(extension);
        return status;
    }
    length = SENSE_LENGTH;
    NTSTATUS dataStatus =
        SubmitBulkTransfer(extension, extension->bulkInPipe, TRANSFER_FLAGS_IN_SHORT_OK, sense, &length);
    // Fewer bytes than the device owes are fine as long as the sense key came; a residue says as much.
    ULONG received = length;
    status = FinishOwnExchange(extension, dataStatus, TRUE, CommandTag(cbw));
    if (NT_SUCCESS(status) && received < 3)
    {
        status = STATUS_IO_DEVICE_ERROR;
    }
    return status == STATUS_KAVFILTR_COMMAND_FAILED ? STATUS_IO_DEVICE_ERROR : status;
}
