// The read-ahead: the storage stack cuts a large read into READ(10) commands of at most 64 KiB, each a full
// Bulk-Only exchange. The filter replaces such a run by one exchange of up to 1 MiB into the unit's cache
// and answers the following commands of the range itself, command, data and status, without a transfer.
#include "driver/kavfiltr.h"

namespace
{
// A read at least this long is worth reading ahead for; shorter ones end a sequence.
const ULONG kLargeRead = 0x10000;

void ResetSequence(LunContext* context)
{
    if (context->sequentialCount != 0)
    {
        context->sequentialCount = 0;
        RtlZeroMemory(context->previousReadCbw, sizeof(context->previousReadCbw));
    }
}

// Whether this READ(10) starts right where the previous large one of the sequence ended.
BOOLEAN ContinuesSequence(const LunContext* context, const UCHAR* cbw)
{
    ULONGLONG previousEnd = static_cast<ULONGLONG>(CommandLba(context->previousReadCbw)) +
                            CommandBlocks(context->previousReadCbw);
    return context->sequentialCount != 0 && CommandLba(cbw) == previousEnd;
}

} // namespace

// Decides at a command wrapper whether a READ(10) should be answered by a read-ahead. A large read in
// flight on the disk side is read ahead at once, up to its own length; without one, two large commands at
// consecutive addresses open a sequence, and from then on every further one reads a full buffer ahead.
BOOLEAN DecideReadAhead(UsbFilterExtension* extension, LunContext* context)
{
    if (extension->currentPhase != PhaseCommand || context == nullptr)
    {
        return FALSE;
    }
    const UCHAR* cbw = extension->currentCbw;
    ULONG capacity = context->readAheadBuffer != nullptr ? context->readAheadBuffer->capacity : 0;
    switch (extension->currentCdb[0])
    {
    case SCSIOP_TEST_UNIT_READY_CODE:
        break;
    case SCSIOP_READ10_CODE: {
        context->readAheadLength = 0;
        // The computations below divide by the block length: a unit whose blocks are unknown, or a command
        // the filter could not answer exactly, is passed down and ends any sequence.
        if (!IsServableBlockCommand(cbw, context, TRUE))
        {
            ResetSequence(context);
            return FALSE;
        }
        ULONG requested = CommandDataLength(cbw);
        DiskFilterExtension* disk = FindDiskFilterForLun(extension, context->lun);
        ULONG readInFlight = disk != nullptr ? disk->currentReadLength : 0;
        ReleaseDiskFilter(disk);
        if (readInFlight >= kLargeRead)
        {
            // A read no longer than this command gains nothing from a detour through the cache.
            if (readInFlight > requested)
            {
                context->readAheadLength = readInFlight < capacity ? readInFlight : capacity;
            }
            ResetSequence(context);
            break;
        }
        if (requested < kLargeRead)
        {
            ResetSequence(context);
            break;
        }
        context->sequentialCount = ContinuesSequence(context, cbw) ? context->sequentialCount + 1 : 1;
        RtlCopyMemory(context->previousReadCbw, cbw, sizeof(context->previousReadCbw));
        break;
    }
    default:
        ResetSequence(context);
        break;
    }
    if (context->sequentialCount >= 2)
    {
        context->readAheadLength = capacity;
    }
    return context->readAheadLength != 0;
}

// Whether the unit's cache holds every byte the current READ(10) asks for.
BOOLEAN CacheCoversCommand(UsbFilterExtension* extension, LunContext* context)
{
    if (context == nullptr || context->readAheadBuffer == nullptr ||
        !IsServableBlockCommand(extension->currentCbw, context, TRUE))
    {
        return FALSE;
    }
    ULONGLONG offset = CommandOffset(extension->currentCbw, context);
    ULONGLONG requested = CommandDataLength(extension->currentCbw);
    return context->cacheStart <= offset &&
           (offset - context->cacheStart) + requested <= context->readAheadBuffer->length;
}

void EmptyReadCache(LunContext* context)
{
    context->cacheStart = 0;
    if (context->readAheadBuffer != nullptr)
    {
        context->readAheadBuffer->length = 0;
    }
}

// Worker handler for a READ(10) the cache does not cover but that is worth reading ahead. Whatever goes
// wrong with the read-ahead, the function driver's own command goes down and its result is what it sees.
void HandleReadAhead(WorkerThread*, WorkItem* item)
{
    UrbWorkContext* work = WorkOf(item);
    UsbFilterExtension* extension = ExtensionOfWork(work);
    PURB urb = UrbOfWork(work);
    LunContext* context = CurrentLunContext(extension);
    BOOLEAN forward = TRUE;
    NTSTATUS status = STATUS_SUCCESS;
    if (context != nullptr && extension->currentPhase == PhaseCommand)
    {
        status = PerformReadAhead(extension, context, urb, &forward);
        if (!NT_SUCCESS(status))
        {
            EmptyReadCache(context);
        }
        if (status == STATUS_KAVFILTR_COMMAND_FAILED)
        {
            // Sending the function driver's command now would bury the device's reason (a medium change,
            // say) under that command's outcome: the command fails as the filter's did.
            forward = FALSE;
            AnswerDeviceFailure(context);
            status = STATUS_SUCCESS;
        }
    }
    if (forward)
    {
        status = SubmitUrbSynchronously(extension, urb);
    }
    FinishTakenOverTransfer(work, status);
}

// One exchange that fills the cache from the command's first block. Only a complete, passed exchange
// clears `forward`; a garbled or foreign status wrapper, a residue or short data leave the cache to be
// emptied and the function driver's command to be sent as it is, to a device that is back in step. A
// command the device failed in step is STATUS_KAVFILTR_COMMAND_FAILED.
NTSTATUS PerformReadAhead(UsbFilterExtension* extension, LunContext* context, PURB urb, BOOLEAN* forward)
{
    *forward = TRUE;
    if (extension == nullptr || context == nullptr || urb == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (CommandDataLength(extension->currentCbw) > context->readAheadLength)
    {
        return STATUS_SUCCESS;
    }
    UCHAR cbw[CBW_LENGTH];
    ULONG dataLength = 0;
    NTSTATUS status = BuildReadAheadCbw(extension, context, urb, cbw, &dataLength);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    AlignedBuffer* buffer = context->readAheadBuffer;
    if (buffer == nullptr || buffer->data == nullptr || dataLength > buffer->length)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG length = CBW_LENGTH;
    status = SubmitBulkTransfer(extension, urb->UrbBulkOrInterruptTransfer.PipeHandle,
                                urb->UrbBulkOrInterruptTransfer.TransferFlags, cbw, &length);
    if (!NT_SUCCESS(status))
    {
        ResetRecovery(extension);
        return status;
    }
    length = dataLength;
    NTSTATUS dataStatus = SubmitBulkTransfer(extension, extension->bulkInPipe, TRANSFER_FLAGS_IN_SHORT_OK,
                                             buffer->data, &length);
    status = FinishOwnExchange(extension, dataStatus, length == dataLength, CommandTag(cbw));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    *forward = FALSE;
    return STATUS_SUCCESS;
}

// The function driver's command wrapper, stretched to the read-ahead length but never past the unit's last
// block, and never shorter than the command itself: the cache must be able to answer all of it.
NTSTATUS BuildReadAheadCbw(UsbFilterExtension* extension, LunContext* context, PURB urb, UCHAR* cbw,
                           ULONG* dataLength)
{
    UNREFERENCED_PARAMETER(urb);
    RtlCopyMemory(cbw, extension->currentCbw, CBW_LENGTH);
    ULONG blockLength = context->blockLength;
    ULONGLONG start = CommandOffset(cbw, context);
    ULONGLONG end = (static_cast<ULONGLONG>(context->lastLba) + 1) * blockLength;
    ULONG requested = CommandDataLength(cbw);
    if (start >= end)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONGLONG remaining = end - start;
    ULONGLONG length = remaining >= context->readAheadLength ? context->readAheadLength : remaining;
    length -= length % blockLength;
    if (length / blockLength > 0xFFFF)
    {
        length = static_cast<ULONGLONG>(0xFFFF) * blockLength;
    }
    if (length < requested || context->readAheadBuffer == nullptr ||
        length > context->readAheadBuffer->capacity)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *dataLength = static_cast<ULONG>(length);
    auto* wrapper = reinterpret_cast<CommandBlockWrapper*>(cbw);
    ULONG little = *dataLength;
    RtlCopyMemory(&wrapper->dCBWDataTransferLength, &little, sizeof(little));
    WriteBigEndian16(wrapper->CBWCB + 7, static_cast<USHORT>(*dataLength / blockLength));
    context->cacheStart = start;
    context->readAheadBuffer->length = *dataLength;
    return STATUS_SUCCESS;
}

// Worker handler for every phase of a READ(10) the cache covers: the function driver sees a complete
// exchange — success for its command wrapper, the data, and a passed status wrapper with its own tag.
void HandleCachedRead(WorkerThread*, WorkItem* item)
{
    UrbWorkContext* work = WorkOf(item);
    UsbFilterExtension* extension = ExtensionOfWork(work);
    PURB urb = UrbOfWork(work);
    LunContext* context = CurrentLunContext(extension);
    NTSTATUS status = work->irp->IoStatus.Status;
    if (context == nullptr)
    {
        FinishTakenOverTransfer(work, STATUS_INVALID_PARAMETER);
        return;
    }
    switch (extension->currentPhase)
    {
    case PhaseCommand:
        status = STATUS_SUCCESS;
        break;
    case PhaseData:
        status = CopyFromCache(extension, context, urb);
        context->cachedDataAnswered = NT_SUCCESS(status);
        break;
    case PhaseStatus:
        // A command whose data never reached the function driver did not pass.
        if (!context->cachedDataAnswered)
        {
            status = STATUS_IO_DEVICE_ERROR;
            break;
        }
        context->cachedDataAnswered = 0;
        WritePassedStatusWrapper(urb, CommandTag(extension->currentCbw), &status);
        break;
    default:
        break;
    }
    FinishTakenOverTransfer(work, status);
}

NTSTATUS CopyFromCache(UsbFilterExtension* extension, LunContext* context, PURB urb)
{
    if (extension == nullptr || context == nullptr || urb == nullptr ||
        !CacheCoversCommand(extension, context))
    {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID target = MapTransferBuffer(urb);
    ULONGLONG offset = CommandOffset(extension->currentCbw, context);
    ULONG length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (target == nullptr || (offset - context->cacheStart) + length > context->readAheadBuffer->length)
    {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(target, context->readAheadBuffer->data + (offset - context->cacheStart), length);
    return STATUS_SUCCESS;
}
