// Write coalescing: a write longer than 64 KiB reaches the device as a series of WRITE(10) pieces, each a
// full Bulk-Only exchange. The filter recognises the pieces of a write that the disk-side filter recorded,
// acknowledges them itself, gathers their data in the unit's 1 MiB buffer and writes it with one WRITE(10)
// when the buffer is full or the whole write is gathered. Acknowledged data is never dropped: it reaches the
// device before any other command of the unit, and when it cannot, the write it belongs to fails.
#include "driver/kavfiltr.h"

namespace
{
// Whether a write the USB side remembers may still be in flight. Only a disk found without the record
// says it has ended; a disk that cannot be looked up says nothing, and the write's data is kept.
BOOLEAN IsStillInFlight(BOOLEAN known, DiskFilterExtension* disk, LargeWriteRecord* record,
                        const LargeWriteRecord& copy)
{
    if (!known)
    {
        return TRUE;
    }
    return disk != nullptr && IsLargeWritePresent(disk, record, copy.sequence);
}

// Whether the current command is a write to blocks of the write whose data is held: a piece of it sent
// again, or a piece that went down on its own. A failure to write the held data is that write's to learn.
BOOLEAN WritesHeldRange(UsbFilterExtension* extension, LunContext* context)
{
    if (context->heldWrite == nullptr || extension->currentCdb[0] != SCSIOP_WRITE10_CODE ||
        !IsServableBlockCommand(extension->currentCbw, context, FALSE))
    {
        return FALSE;
    }
    ULONGLONG offset = CommandOffset(extension->currentCbw, context);
    const LargeWriteRecord& held = context->heldWriteCopy;
    return offset < held.byteOffset + held.length &&
           held.byteOffset < offset + CommandDataLength(extension->currentCbw);
}

// Writes the buffer. When that fails, the data stays buffered for the write it belongs to (see
// `heldWrite`) and nothing more is gathered for that write: its piece that triggered the flush fails, and
// each retry of it offers the data again first.
NTSTATUS FlushOrFailWrite(UsbFilterExtension* extension, LunContext* context)
{
    NTSTATUS status = FlushWriteBuffer(extension, context);
    if (NT_SUCCESS(status))
    {
        context->heldWrite = nullptr;
        return status;
    }
    // The data belongs to the write being gathered, or, when it is offered again, to the write it was
    // held for.
    if (context->matchedWrite != nullptr)
    {
        context->heldWrite = context->matchedWrite;
        context->heldWriteCopy = context->matchedWriteCopy;
    }
    if (context->heldWrite == nullptr && context->writeBuffer != nullptr)
    {
        // The write has already ended, in failure: a piece of it failed before this data could be written.
        // Its data is offered once, not before every command for ever.
        context->writeBuffer->length = 0;
    }
    context->matchedWrite = nullptr;
    context->matchBroken = 0;
    context->coalescing = 0;
    return status;
}

// Whether write `sequence` began after the last write piece the filter could not show to the disk side:
// only such a write can have had every piece seen, so that its start is known not to have gone down yet.
BOOLEAN BeganAfterBlindPiece(UsbFilterExtension* extension, ULONG sequence)
{
    ULONG blind = static_cast<ULONG>(ReadFlag(&extension->blindWriteSequence));
    ULONG distance = (sequence - blind) & MAXLONG;
    return blind == 0 || (distance != 0 && distance < 0x40000000UL);
}

// The match itself, with the unit's disk (or none) held for its length; `known` as from the lookup.
void MatchLargeWriteOfDisk(UsbFilterExtension* extension, LunContext* context, BOOLEAN known,
                           DiskFilterExtension* disk)
{
    if (extension->currentPhase != PhaseCommand || extension->currentCdb[0] != SCSIOP_WRITE10_CODE)
    {
        return;
    }
    const UCHAR* cbw = extension->currentCbw;
    AlignedBuffer* buffer = context != nullptr ? context->writeBuffer : nullptr;
    if (buffer == nullptr || !IsServableBlockCommand(cbw, context, FALSE) || !known)
    {
        // A piece goes down unseen: it may be the start of a write in flight, whose later retry must not be
        // taken for its first piece. No write in flight now is matched from here on.
        InterlockedExchange(&extension->blindWriteSequence, static_cast<LONG>(LatestWriteSequence()));
    }
    if (context == nullptr)
    {
        return;
    }
    context->coalescing = 0;
    if (buffer == nullptr || !IsServableBlockCommand(cbw, context, FALSE))
    {
        return;
    }
    ULONGLONG offset = CommandOffset(cbw, context);
    ULONG requested = CommandDataLength(cbw);
    if (context->matchedWrite != nullptr &&
        !IsStillInFlight(known, disk, context->matchedWrite, context->matchedWriteCopy))
    {
        context->matchedWrite = nullptr;
        context->matchBroken = 0;
    }
    // Every piece is shown to the disk side, gathered or not: a write whose start this piece may be is
    // never matched at a later piece there.
    LargeWriteRecord candidateCopy = {};
    PVOID candidate = disk != nullptr ? FindLargeWrite(disk, offset, requested, PsGetCurrentProcessId(),
                                                       PsGetCurrentThreadId(), &candidateCopy)
                                      : nullptr;
    if (context->matchedWrite == nullptr)
    {
        // Data still buffered is written before this command by the flush that precedes any other command;
        // a new match would have to start from an empty buffer.
        if (candidate == nullptr || buffer->length != 0 ||
            !BeganAfterBlindPiece(extension, candidateCopy.sequence))
        {
            return;
        }
        context->matchedWrite = static_cast<LargeWriteRecord*>(candidate);
        context->matchedWriteCopy = candidateCopy;
        context->writeStart = candidateCopy.byteOffset;
    }
    if (context->matchBroken)
    {
        return;
    }
    // Without the disk nothing tells a piece of the matched write from another write to the same blocks:
    // the piece goes down, after the gathered data.
    const LargeWriteRecord& matched = context->matchedWriteCopy;
    context->coalescing = known && offset == context->writeStart + buffer->length &&
                          requested <= buffer->capacity &&
                          offset + requested <= matched.byteOffset + matched.length;
    // Another write in flight over the same blocks could be the one this piece belongs to: gathering it for
    // the matched write would acknowledge it, then leave its data to that write's fate.
    if (context->coalescing &&
        (disk == nullptr || OtherWriteMayOverlap(disk, context->matchedWrite, offset, requested)))
    {
        context->coalescing = 0;
    }
    if (!context->coalescing && offset < matched.byteOffset + matched.length &&
        offset + requested > matched.byteOffset)
    {
        // A piece of the matched write that does not continue the buffer goes down on its own: from now on
        // the pieces of this write are out of order, and gathering a later one could leave it unwritten.
        context->matchBroken = 1;
    }
}

} // namespace

// Decides at a WRITE(10) command wrapper whether the piece is gathered: it must continue the buffered data
// of a large write in flight exactly and lie inside that write.
void MatchLargeWrite(UsbFilterExtension* extension, LunContext* context)
{
    BOOLEAN known = FALSE;
    DiskFilterExtension* disk =
        context != nullptr ? LookUpDiskFilterForLun(extension, context->lun, &known) : nullptr;
    MatchLargeWriteOfDisk(extension, context, known, disk);
    ReleaseDiskFilter(disk);
}

// Worker handler for every phase of a gathered piece. Each acknowledged piece looks to the function driver
// like a passed exchange; a piece whose data could not be taken is failed, never acknowledged.
void HandleCoalescedWrite(WorkerThread*, WorkItem* item)
{
    UrbWorkContext* work = WorkOf(item);
    UsbFilterExtension* extension = ExtensionOfWork(work);
    PURB urb = UrbOfWork(work);
    LunContext* context = CurrentLunContext(extension);
    NTSTATUS status = work->irp->IoStatus.Status;
    AlignedBuffer* buffer = context != nullptr ? context->writeBuffer : nullptr;
    if (buffer == nullptr)
    {
        FinishTakenOverTransfer(work, STATUS_INVALID_PARAMETER);
        return;
    }
    ULONG requested = CommandDataLength(extension->currentCbw);
    switch (extension->currentPhase)
    {
    case PhaseCommand:
        status = STATUS_SUCCESS;
        if (buffer->length + requested > buffer->capacity)
        {
            status = FlushOrFailWrite(extension, context);
        }
        if (NT_SUCCESS(status))
        {
            RtlCopyMemory(context->lastWriteCbw, extension->currentCbw, sizeof(context->lastWriteCbw));
        }
        else if (status == STATUS_KAVFILTR_COMMAND_FAILED)
        {
            // This piece fails with the device's reason; the data before it stays buffered.
            AnswerDeviceFailure(context);
            status = STATUS_SUCCESS;
        }
        context->pieceBuffered = 0;
        break;
    case PhaseData: {
        PVOID data = MapTransferBuffer(urb);
        ULONG length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (data == nullptr)
        {
            // The storage stack retries this piece later, possibly after pieces that follow it.
            context->matchBroken = 1;
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        if (length != requested)
        {
            context->matchBroken = 1;
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        status = STATUS_SUCCESS;
        if (buffer->length + length > buffer->capacity)
        {
            status = FlushOrFailWrite(extension, context);
        }
        if (NT_SUCCESS(status))
        {
            RtlCopyMemory(buffer->data + buffer->length, data, length);
            buffer->length += length;
            context->pieceBuffered = 1;
        }
        else if (status == STATUS_KAVFILTR_COMMAND_FAILED)
        {
            AnswerDeviceFailure(context);
            status = STATUS_SUCCESS;
        }
        break;
    }
    case PhaseStatus: {
        const LargeWriteRecord& matched = context->matchedWriteCopy;
        if (!context->pieceBuffered)
        {
            // The function driver may read the status after a failed data transfer; that piece is not
            // written, and its retry must not be gathered behind pieces that may already have gone down.
            context->matchBroken = 1;
            status = STATUS_IO_DEVICE_ERROR;
            break;
        }
        context->pieceBuffered = 0;
        status = STATUS_SUCCESS;
        // Full, or the whole write gathered: the write request may complete once this piece has.
        if (buffer->length == buffer->capacity ||
            context->writeStart + buffer->length >= matched.byteOffset + matched.length)
        {
            status = FlushOrFailWrite(extension, context);
        }
        if (NT_SUCCESS(status))
        {
            WritePassedStatusWrapper(urb, CommandTag(extension->currentCbw), &status);
            CountForUnit(context, CounterGatheredPieces, NT_SUCCESS(status) ? 1 : 0);
        }
        else if (status == STATUS_KAVFILTR_COMMAND_FAILED)
        {
            // Not acknowledged: the piece's data stays buffered with the rest, and the function driver
            // fetches the device's reason with REQUEST SENSE.
            context->senseWaiting = 1;
            WriteStatusWrapper(urb, CommandTag(extension->currentCbw), requested, 1, &status);
            CountForUnit(context, CounterFailuresPassedOn, 1);
        }
        break;
    }
    default:
        break;
    }
    FinishTakenOverTransfer(work, status);
}

// Worker handler for a command that arrives while acknowledged write data is still buffered: the data
// goes to the device first, then the command goes down as it came. When the data cannot be written, it
// stays held for its write, and the failure is that write's: a piece of it fails with the device's
// reason; any other command goes down and gets the device's answer to itself, as it would without the
// filter, unless the device reported a unit attention, which the next command is owed.
void HandleFlushBeforeCommand(WorkerThread*, WorkItem* item)
{
    UrbWorkContext* work = WorkOf(item);
    UsbFilterExtension* extension = ExtensionOfWork(work);
    LunContext* context = CurrentLunContext(extension);
    NTSTATUS status = STATUS_SUCCESS;
    if (context != nullptr)
    {
        status = FlushOrFailWrite(extension, context);
    }
    BOOLEAN forward = NT_SUCCESS(status);
    if (!forward && WritesHeldRange(extension, context))
    {
        if (status == STATUS_KAVFILTR_COMMAND_FAILED)
        {
            AnswerDeviceFailure(context);
            status = STATUS_SUCCESS;
        }
    }
    else if (!forward)
    {
        // A flush the device failed in step left its sense there, and only a unit attention in it is this
        // command's; after any other failure, reset recovery has brought the device back in step.
        forward = status != STATUS_KAVFILTR_COMMAND_FAILED || !AnswerFailureIfOwed(extension, context);
        status = STATUS_SUCCESS;
    }
    if (forward)
    {
        status = SubmitUrbSynchronously(extension, UrbOfWork(work));
    }
    FinishTakenOverTransfer(work, status);
}

// Writes the buffered data as one WRITE(10) exchange at `writeStart`. Only a complete, passed exchange is
// success: a failed transfer, short data, or a status wrapper that is garbled, foreign, failed or shows a
// residue all fail the flush. After success the buffer is empty and `writeStart` has advanced; after a
// failure the data is still there to be offered again. A command the device failed in step is
// STATUS_KAVFILTR_COMMAND_FAILED.
NTSTATUS FlushWriteBuffer(UsbFilterExtension* extension, LunContext* context)
{
    AlignedBuffer* buffer = context->writeBuffer;
    if (buffer == nullptr || buffer->length == 0)
    {
        return STATUS_SUCCESS;
    }
    ULONG dataLength = buffer->length;
    UCHAR cbw[CBW_LENGTH];
    RtlCopyMemory(cbw, context->lastWriteCbw, sizeof(cbw));
    auto* wrapper = reinterpret_cast<CommandBlockWrapper*>(cbw);
    RtlCopyMemory(&wrapper->dCBWDataTransferLength, &dataLength, sizeof(dataLength));
    WriteBigEndian32(wrapper->CBWCB + 2, static_cast<ULONG>(context->writeStart / context->blockLength));
    WriteBigEndian16(wrapper->CBWCB + 7, static_cast<USHORT>(dataLength / context->blockLength));

    ULONG length = CBW_LENGTH;
    NTSTATUS status = SubmitBulkTransfer(extension, extension->bulkOutPipe, TRANSFER_FLAGS_OUT, cbw, &length);
    if (NT_SUCCESS(status))
    {
        length = dataLength;
        NTSTATUS dataStatus =
            SubmitBulkTransfer(extension, extension->bulkOutPipe, TRANSFER_FLAGS_OUT, buffer->data, &length);
        if (!NT_SUCCESS(dataStatus))
        {
            // A stalled bulk OUT pipe must be cleared before the device's status can be read.
            SubmitPipeReset(extension, extension->bulkOutPipe);
        }
        status = FinishOwnExchange(extension, dataStatus, length == dataLength, CommandTag(cbw));
    }
    else
    {
        ResetRecovery(extension);
    }
    if (NT_SUCCESS(status))
    {
        context->writeStart += dataLength;
        buffer->length = 0;
    }
    return status;
}

// Data that could not be written belongs to a write that is still in flight, or to nobody: once that
// write has ended (in failure, since the piece that carried the failed flush failed), its data is dropped,
// so that the unit's other commands are not failed for it ever after.
void ForgetHeldWriteData(UsbFilterExtension* extension, LunContext* context)
{
    if (context->heldWrite == nullptr)
    {
        return;
    }
    BOOLEAN known = FALSE;
    DiskFilterExtension* disk = LookUpDiskFilterForLun(extension, context->lun, &known);
    if (!IsStillInFlight(known, disk, context->heldWrite, context->heldWriteCopy))
    {
        context->heldWrite = nullptr;
        if (context->writeBuffer != nullptr)
        {
            context->writeBuffer->length = 0;
        }
    }
    ReleaseDiskFilter(disk);
}
