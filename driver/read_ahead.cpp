// The read-ahead: the storage stack cuts a large read into READ(10) commands of at most 64 KiB, each a full
// Bulk-Only exchange. The filter replaces such a run by one exchange of up to 1 MiB into the unit's cache
// and answers the following commands of the range itself, command, data and status, without a transfer.
#include "driver/kavfiltr.h"

namespace
{
// A read at least this long is worth reading ahead for; shorter ones end a sequence.
const ULONG kLargeRead = 0x10000;
// The first read-ahead a reader earns by continuing its previous read: two commands of the usual 64 KiB,
// so that a reader that stops there has cost one command's worth of data more.
const ULONG kFirstWindow = 0x20000;

void ResetSequence(LunContext* context)
{
    if (context->sequentialCount != 0)
    {
        context->sequentialCount = 0;
        RtlZeroMemory(context->previousReadCbw, sizeof(context->previousReadCbw));
    }
}

void ForgetStreams(LunContext* context)
{
    RtlZeroMemory(context->streams, sizeof(context->streams));
}

// A window's data is given up. A read-ahead that answered no command but the one that made it was read
// for nothing: counted, so that a reader pattern the read-ahead guesses wrong shows.
void DropWindow(LunContext* context, CacheWindow* window)
{
    if (window->length != 0 && window->answered <= 1)
    {
        CountForUnit(context, CounterUnusedReadAheads, 1);
    }
    window->length = 0;
    window->answered = 0;
}

// Whether this READ(10) starts right where the previous large one of the sequence ended.
BOOLEAN ContinuesSequence(const LunContext* context, const UCHAR* cbw)
{
    ULONGLONG previousEnd = static_cast<ULONGLONG>(CommandLba(context->previousReadCbw)) +
                            CommandBlocks(context->previousReadCbw);
    return context->sequentialCount != 0 && CommandLba(cbw) == previousEnd;
}

// The window that holds every byte the current READ(10) asks for, or none.
CacheWindow* WindowCovering(UsbFilterExtension* extension, LunContext* context)
{
    if (context == nullptr || context->readAheadBuffer == nullptr ||
        !IsServableBlockCommand(extension->currentCbw, context, TRUE))
    {
        return nullptr;
    }
    ULONGLONG offset = CommandOffset(extension->currentCbw, context);
    ULONGLONG requested = CommandDataLength(extension->currentCbw);
    for (CacheWindow& window : context->cache)
    {
        if (window.length != 0 && window.start <= offset &&
            (offset - window.start) + requested <= window.length)
        {
            return &window;
        }
    }
    return nullptr;
}

// Whether a reader has data in its window that it has not read yet.
BOOLEAN StreamHasDataAhead(const LunContext* context, UCHAR index)
{
    const CacheWindow& window = context->cache[index];
    ULONGLONG next = context->streams[index].next;
    return window.length != 0 && window.start <= next && next < window.start + window.length;
}

// The reader a large READ(10) that continues none of them becomes: an unused one, else one with nothing
// left in its window, else the one seen least recently. A reader still working through its window keeps
// it while another starts.
UCHAR ChooseNewStream(const LunContext* context)
{
    UCHAR choice = READ_STREAMS;
    for (UCHAR index = 0; index < READ_STREAMS && choice == READ_STREAMS; ++index)
    {
        if (context->streams[index].next == 0)
        {
            choice = index;
        }
    }
    for (UCHAR index = 0; index < READ_STREAMS && choice == READ_STREAMS; ++index)
    {
        if (!StreamHasDataAhead(context, index))
        {
            choice = index;
        }
    }
    if (choice == READ_STREAMS)
    {
        choice = 0;
        for (UCHAR index = 1; index < READ_STREAMS; ++index)
        {
            if (context->readClock - context->streams[index].lastSeen >
                context->readClock - context->streams[choice].lastSeen)
            {
                choice = index;
            }
        }
    }
    return choice;
}

// Follows the unit's sequential readers. Any READ(10) that starts where a reader stopped continues it,
// however short (the last piece of a request that is not a multiple of the pieces is); a read elsewhere
// that is large, or that a request in flight goes on from, starts a reader. Sets `readAheadStream` and
// returns FALSE for a read that belongs to no reader. `earned` is what a continuing reader has earned
// when the cache cannot answer it: the first window, then twice the last read-ahead made for it. A read
// elsewhere earns nothing, so a reader that jumps about never pays for data it does not use.
BOOLEAN FollowStreams(LunContext* context, ULONGLONG offset, ULONG requested, BOOLEAN startsStream,
                      BOOLEAN covered, ULONG capacity, ULONG* earned)
{
    *earned = 0;
    UCHAR index = 0;
    while (index < READ_STREAMS &&
           !(context->streams[index].next != 0 && context->streams[index].next == offset))
    {
        ++index;
    }
    BOOLEAN continues = index < READ_STREAMS;
    if (continues && requested < kLargeRead && context->streams[index].window == 0)
    {
        // A short read after one large one ends that reader before it has begun.
        context->streams[index].next = 0;
        return FALSE;
    }
    if (!continues)
    {
        if (!startsStream)
        {
            return FALSE;
        }
        index = ChooseNewStream(context);
        context->streams[index].window = 0;
    }
    context->readAheadStream = index;
    ReadStream* stream = &context->streams[index];
    stream->next = offset + requested;
    stream->lastSeen = context->readClock;
    if (continues && !covered)
    {
        if (stream->window == 0)
        {
            *earned = kFirstWindow < capacity ? kFirstWindow : capacity;
        }
        else
        {
            *earned = stream->window <= capacity / 2 ? stream->window * 2 : capacity;
        }
    }
    return TRUE;
}

// The most a read-ahead for reader `index` may take: the whole buffer while no other reader is going, half
// of it while one is (it has been read ahead for and was seen lately), even when it has just used up its
// window, since it will want the room again at once. The window of a reader that has stopped is given up.
ULONG WindowLimit(LunContext* context, UCHAR index, ULONG capacity)
{
    ULONG limit = capacity;
    for (UCHAR other = 0; other < READ_STREAMS; ++other)
    {
        if (other == index || context->streams[other].next == 0 || context->streams[other].window == 0)
        {
            continue;
        }
        if (context->readClock - context->streams[other].lastSeen > IDLE_STREAM_READS)
        {
            DropWindow(context, &context->cache[other]);
            context->streams[other].window = 0;
        }
        else
        {
            limit = capacity / 2;
        }
    }
    return limit;
}

// Keeps of `window` the bytes outside the buffer range [from, to) that its reader still needs: the part
// before or the part after that range, whichever holds the reader's next position; nothing when neither
// does.
void KeepOutside(LunContext* context, CacheWindow* window, ULONGLONG next, ULONG from, ULONG to)
{
    ULONG begin = window->offset;
    ULONG end = window->offset + window->length;
    if (window->length == 0 || end <= from || to <= begin)
    {
        return;
    }
    ULONG keepBegin = 0;
    ULONG keepEnd = 0;
    if (begin < from)
    {
        keepBegin = begin;
        keepEnd = from;
    }
    if (end > to && next >= window->start + (to - begin))
    {
        keepBegin = to;
        keepEnd = end;
    }
    ULONGLONG keptStart = window->start + (keepBegin - begin);
    if (keepEnd <= keepBegin || next < keptStart || next >= keptStart + (keepEnd - keepBegin))
    {
        DropWindow(context, window);
        return;
    }
    window->start = keptStart;
    window->offset = keepBegin;
    window->length = keepEnd - keepBegin;
}

// Gives the current reader's window the range about to be read ahead. A read-ahead of up to half the buffer
// goes into the half that does not hold the block the other reader reads next, so that the other keeps the
// data it is about to use wherever its window lies (a reader that had the buffer alone holds all of it);
// a longer one, taken only while no other reader is going, starts at the buffer's beginning. Of another
// reader's data it would overwrite, only what that reader still needs and what lies outside the new range
// is kept.
void PlaceWindow(LunContext* context, ULONGLONG start, ULONG length)
{
    ULONG half = context->readAheadBuffer->capacity / 2;
    UCHAR index = context->readAheadStream;
    ULONG offset = 0;
    if (length <= half)
    {
        offset = index * half;
        for (UCHAR other = 0; other < READ_STREAMS; ++other)
        {
            if (other != index && StreamHasDataAhead(context, other))
            {
                const CacheWindow& window = context->cache[other];
                ULONG nextAt =
                    window.offset + static_cast<ULONG>(context->streams[other].next - window.start);
                offset = nextAt < half ? half : 0;
            }
        }
    }
    for (UCHAR other = 0; other < READ_STREAMS; ++other)
    {
        if (other != index)
        {
            KeepOutside(context, &context->cache[other], context->streams[other].next, offset,
                        offset + length);
        }
    }
    DropWindow(context, &context->cache[index]);
    context->cache[index].start = start;
    context->cache[index].offset = offset;
    context->cache[index].length = length;
}

} // namespace

// Decides at a command wrapper whether a READ(10) should be answered by a read-ahead. A piece of a read in
// flight on the disk side is read ahead at once up to the end of that read; without one, two large commands
// at consecutive addresses open a sequence, and from then on every further one reads a full buffer ahead.
// Beyond both, a reader whose reads continue one another, whatever the size of the disk-level reads, is
// read ahead further each time it reaches the end of what was read for it. With two readers going, each
// keeps half of the buffer.
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
        return FALSE;
    case SCSIOP_READ10_CODE: {
        context->readAheadLength = 0;
        // The computations below divide by the block length: a unit whose blocks are unknown, or a command
        // the filter could not answer exactly, is passed down and ends any sequence.
        if (!IsServableBlockCommand(cbw, context, TRUE))
        {
            ResetSequence(context);
            ForgetStreams(context);
            return FALSE;
        }
        ++context->readClock;
        ULONG requested = CommandDataLength(cbw);
        ULONGLONG offset = CommandOffset(cbw, context);
        DiskFilterExtension* disk = FindDiskFilterForLun(extension, context->lun);
        ULONGLONG askedEnd = disk != nullptr ? ReadInFlightEnd(disk, offset, requested) : 0;
        ReleaseDiskFilter(disk);
        // The bytes the storage stack will ask for from this piece on, the piece included.
        ULONGLONG asked = askedEnd > offset ? askedEnd - offset : 0;
        BOOLEAN covered = WindowCovering(extension, context) != nullptr;
        BOOLEAN large = requested >= kLargeRead;
        ULONGLONG length = 0;
        if (asked != 0)
        {
            length = asked;
            ResetSequence(context);
        }
        else if (!large)
        {
            ResetSequence(context);
        }
        else
        {
            context->sequentialCount = ContinuesSequence(context, cbw) ? context->sequentialCount + 1 : 1;
            RtlCopyMemory(context->previousReadCbw, cbw, sizeof(context->previousReadCbw));
            length = context->sequentialCount >= 2 ? capacity : 0;
        }
        // Only large reads, or pieces of a longer read, make a reader: a small read elsewhere, such as the
        // file system's, leaves the readers as they are.
        ULONG earned = 0;
        if (!FollowStreams(context, offset, requested, large || asked > requested, covered, capacity,
                           &earned))
        {
            return FALSE;
        }
        length = length > earned ? length : earned;
        ULONG limit = WindowLimit(context, context->readAheadStream, capacity);
        length = length < limit ? length : limit;
        if (context->failedEnd > offset && context->failedStart < offset + length)
        {
            length = context->failedStart > offset ? context->failedStart - offset : 0;
        }
        // A read-ahead no longer than this command gains nothing from a detour through the cache.
        if (covered || length <= requested)
        {
            return FALSE;
        }
        context->readAheadLength = static_cast<ULONG>(length);
        context->streams[context->readAheadStream].window = context->readAheadLength;
        return TRUE;
    }
    default:
        ResetSequence(context);
        ForgetStreams(context);
        return FALSE;
    }
}

// Whether the unit's cache holds every byte the current READ(10) asks for.
BOOLEAN CacheCoversCommand(UsbFilterExtension* extension, LunContext* context)
{
    return WindowCovering(extension, context) != nullptr;
}

// Empties the cache and forgets the readers: after a medium change, a reset or a failed read-ahead no
// guess about what comes next is worth a long read.
void EmptyReadCache(LunContext* context)
{
    for (CacheWindow& window : context->cache)
    {
        DropWindow(context, &window);
    }
    RtlZeroMemory(context->cache, sizeof(context->cache));
    ForgetStreams(context);
}

// A write of bytes [start, end) of the unit is on its way to the device: no cached copy of those bytes may
// answer a read any more. The rest of each window stays: its blocks still hold what was read.
void DropCachedRange(LunContext* context, ULONGLONG start, ULONGLONG end)
{
    if (start < context->failedEnd && context->failedStart < end)
    {
        context->failedStart = 0;
        context->failedEnd = 0;
    }
    for (UCHAR index = 0; index < READ_STREAMS; ++index)
    {
        CacheWindow& window = context->cache[index];
        if (window.length == 0 || end <= window.start || window.start + window.length <= start)
        {
            continue;
        }
        ULONGLONG next = context->streams[index].next;
        ULONG from = start > window.start ? static_cast<ULONG>(start - window.start) : 0;
        ULONGLONG to64 = end - window.start;
        ULONG to = to64 < window.length ? static_cast<ULONG>(to64) : window.length;
        KeepOutside(context, &window, next, window.offset + from, window.offset + to);
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
        const CacheWindow attempted = context->cache[context->readAheadStream];
        if (!NT_SUCCESS(status))
        {
            EmptyReadCache(context);
        }
        if (status == STATUS_KAVFILTR_COMMAND_FAILED)
        {
            // The read-ahead asked for more blocks than the command: a block only it asked for must not
            // fail the command. A medium change, though, is the command's to learn.
            forward = !AnswerFailureIfOwed(extension, context);
            if (forward)
            {
                context->failedStart = attempted.start;
                context->failedEnd = attempted.start + attempted.length;
            }
            status = STATUS_SUCCESS;
        }
    }
    if (forward)
    {
        status = SubmitUrbSynchronously(extension, urb);
    }
    else if (context != nullptr && !context->answerFailure)
    {
        // The cache now holds the command: its data and status phases are answered from it.
        context->cacheAnswers = 1;
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
    const CacheWindow& window = context->cache[context->readAheadStream];
    if (buffer == nullptr || buffer->data == nullptr || dataLength != window.length ||
        window.offset + dataLength > buffer->capacity)
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
                                             buffer->data + window.offset, &length);
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
    PlaceWindow(context, start, *dataLength);
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
        if (NT_SUCCESS(status))
        {
            CountForUnit(context, CounterCachedReads, 1);
            CountForUnit(context, CounterCachedBytes, CommandDataLength(extension->currentCbw));
        }
        break;
    default:
        break;
    }
    FinishTakenOverTransfer(work, status);
}

NTSTATUS CopyFromCache(UsbFilterExtension* extension, LunContext* context, PURB urb)
{
    if (extension == nullptr || context == nullptr || urb == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    CacheWindow* window = WindowCovering(extension, context);
    PVOID target = MapTransferBuffer(urb);
    if (window == nullptr || target == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    ULONGLONG offset = CommandOffset(extension->currentCbw, context);
    ULONG length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if ((offset - window->start) + length > window->length)
    {
        return STATUS_INVALID_PARAMETER;
    }
    RtlCopyMemory(target, context->readAheadBuffer->data + window->offset + (offset - window->start), length);
    ++window->answered;
    return STATUS_SUCCESS;
}
