// winsim: reads and writes of the disk class driver model (see disk_class_driver.h). Each request becomes a
// Transfer: its pieces (at most the maximum transfer size each) go to the mass-storage PDO as READ(10) or
// WRITE(10) request blocks, up to the configured number at once, each in a slot of its own; a failed piece
// waits for later pieces before it goes again; the request ends when every piece passed, or when one
// failed for good and nothing of it is in flight any more.
#include "winsim/usb/disk_class_internal.h"

#include "winsim/usb/scsi_defs.h"

#include <cstring>

namespace winsim::usb::disk
{
namespace
{

enum class PieceState : UCHAR
{
    Waiting,  // not sent yet
    InFlight, // in a slot
    Retry,    // failed, to be sent again once `sendAfter` pieces have gone out
    Done,
    Failed, // failed for good
};

struct Piece
{
    ULONG offset; // within the request
    ULONG length;
    ULONG attemptsLeft;
    ULONGLONG sendAfter;
    NTSTATUS failure;
    PieceState state;
};

// One piece in flight: its IRP (reused for every piece the slot carries), request block and sense.
struct Slot
{
    PIRP irp;
    ULONG piece;
    bool busy;
    bool completed; // its completion ran; the driver of the transfer takes the result
    NTSTATUS status;
    struct Transfer* transfer;
    SCSI_REQUEST_BLOCK srb;
    UCHAR sense[kSenseLength];
};

// One read or write on its way through the pieces. Whoever holds `driving` decides what is sent next;
// a completion that finds another driver leaves its result for it (`again`), so completions that come
// inline never nest and one that comes from the DPC never races the sender.
struct Transfer
{
    DiskExtension* disk;
    PIRP original;
    bool write;
    ULONGLONG offset; // byte offset on the medium
    ULONG length;
    UCHAR* base; // virtual address of the original buffer, as its MDL describes it
    Piece* pieces;
    ULONG pieceCount;
    ULONG nextWaiting; // no piece below it is Waiting
    Slot slots[kMaxOutstanding];
    ULONG slotCount;
    ULONG inFlight;
    ULONGLONG sent;
    KSPIN_LOCK lock;
    bool driving;
    bool again;
    bool failed;
};

void BuildCdb10(UCHAR* cdb, UCHAR opcode, ULONG lba, USHORT blocks)
{
    std::memset(cdb, 0, 16);
    cdb[0] = opcode;
    WriteBe32(cdb + 2, lba);
    WriteBe16(cdb + 7, blocks);
}

// Ends the request: the transfer record goes first, the remove lock last but one, the IRP last. Nothing
// is in flight any more, so no completion can reach the record.
void FinishTransfer(Transfer* transfer, NTSTATUS status)
{
    DiskExtension* disk = transfer->disk;
    PIRP original = transfer->original;
    // Information: the bytes done before the first piece that did not pass.
    ULONG done = 0;
    for (ULONG i = 0; i < transfer->pieceCount && transfer->pieces[i].state == PieceState::Done; ++i)
    {
        done += transfer->pieces[i].length;
    }
    for (ULONG i = 0; i < transfer->slotCount; ++i)
    {
        transfer->slots[i].irp->MdlAddress = nullptr; // the original request's MDL, lent to the pieces
        IoFreeIrp(transfer->slots[i].irp);
    }
    ExFreePoolWithTag(transfer->pieces, kPoolTag);
    ExFreePoolWithTag(transfer, kPoolTag);
    original->IoStatus.Status = status;
    original->IoStatus.Information = done;
    IoReleaseRemoveLock(&disk->removeLock, original);
    IofCompleteRequest(original, IO_DISK_INCREMENT);
}

// Takes the result of a slot's piece. Called by the driver of the transfer, under its lock.
void TakeResult(Transfer* transfer, Slot& slot)
{
    DiskExtension* disk = transfer->disk;
    Piece& piece = transfer->pieces[slot.piece];
    const SCSI_REQUEST_BLOCK& srb = slot.srb;
    slot.busy = false;
    --transfer->inFlight;
    if (NT_SUCCESS(slot.status) && SRB_STATUS(srb.SrbStatus) == SRB_STATUS_SUCCESS &&
        srb.DataTransferLength == piece.length)
    {
        piece.state = PieceState::Done;
        return;
    }
    bool retry = false;
    piece.failure = InterpretFailure(disk, srb, slot.status, &retry);
    if (retry && piece.attemptsLeft > 0 && !transfer->failed &&
        InterlockedCompareExchange(&disk->gone, 0, 0) == 0)
    {
        --piece.attemptsLeft;
        piece.state = PieceState::Retry;
        piece.sendAfter = transfer->sent + disk->retryAfterPieces;
        __atomic_add_fetch(&disk->retried, 1, __ATOMIC_SEQ_CST);
        return;
    }
    piece.state = PieceState::Failed;
    transfer->failed = true;
}

// The piece to send next: a retry that has waited long enough (or any retry once no new piece is left),
// else the next new piece. None once the request has failed.
Piece* NextPiece(Transfer* transfer)
{
    if (transfer->failed)
    {
        return nullptr;
    }
    while (transfer->nextWaiting < transfer->pieceCount &&
           transfer->pieces[transfer->nextWaiting].state != PieceState::Waiting)
    {
        ++transfer->nextWaiting;
    }
    const bool newLeft = transfer->nextWaiting < transfer->pieceCount;
    for (ULONG i = 0; i < transfer->pieceCount; ++i)
    {
        Piece& piece = transfer->pieces[i];
        if (piece.state == PieceState::Retry && (piece.sendAfter <= transfer->sent || !newLeft))
        {
            return &piece;
        }
    }
    return newLeft ? &transfer->pieces[transfer->nextWaiting] : nullptr;
}

bool AllDone(const Transfer* transfer)
{
    for (ULONG i = 0; i < transfer->pieceCount; ++i)
    {
        if (transfer->pieces[i].state != PieceState::Done)
        {
            return false;
        }
    }
    return true;
}

// The status of a request that failed: that of its first piece that failed for good.
NTSTATUS FailureOf(const Transfer* transfer)
{
    for (ULONG i = 0; i < transfer->pieceCount; ++i)
    {
        if (transfer->pieces[i].state == PieceState::Failed)
        {
            return transfer->pieces[i].failure;
        }
    }
    return STATUS_IO_DEVICE_ERROR;
}

void PrepareSlot(Transfer* transfer, Slot& slot)
{
    DiskExtension* disk = transfer->disk;
    const Piece& piece = transfer->pieces[slot.piece];
    PIRP irp = slot.irp;
    IoReuseIrp(irp, STATUS_SUCCESS);
    SCSI_REQUEST_BLOCK& srb = slot.srb;
    std::memset(&srb, 0, sizeof srb);
    std::memset(slot.sense, 0, sizeof slot.sense);
    srb.Length = sizeof srb;
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.CdbLength = 10;
    const ULONGLONG position = transfer->offset + piece.offset;
    BuildCdb10(srb.Cdb, transfer->write ? scsi::kWrite10 : scsi::kRead10, ULONG(position / disk->blockLength),
               USHORT(piece.length / disk->blockLength));
    srb.SrbFlags = transfer->write ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN;
    srb.DataTransferLength = piece.length;
    srb.DataBuffer = transfer->base + piece.offset;
    srb.SenseInfoBuffer = slot.sense;
    srb.SenseInfoBufferLength = kSenseLength;
    srb.TimeOutValue = 10;
    irp->MdlAddress = transfer->original->MdlAddress;
    irp->Tail.Overlay.Thread = transfer->original->Tail.Overlay.Thread;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_SCSI;
    sp->Parameters.Scsi.Srb = &srb;
}

NTSTATUS PieceCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context);

// Runs the transfer while the caller holds its lock and `driving`: takes finished pieces, ends the
// request or sends the pieces that fit, until there is nothing left to do. Releases the lock.
void Drive(Transfer* transfer, KIRQL irql)
{
    DiskExtension* disk = transfer->disk;
    for (;;)
    {
        transfer->again = false;
        for (ULONG i = 0; i < transfer->slotCount; ++i)
        {
            Slot& slot = transfer->slots[i];
            if (slot.busy && slot.completed)
            {
                TakeResult(transfer, slot);
            }
        }
        if (transfer->inFlight == 0 && (transfer->failed || AllDone(transfer)))
        {
            KeReleaseSpinLock(&transfer->lock, irql);
            FinishTransfer(transfer, transfer->failed ? FailureOf(transfer) : STATUS_SUCCESS);
            return;
        }
        Slot* toSend[kMaxOutstanding];
        ULONG count = 0;
        for (ULONG i = 0; i < transfer->slotCount && transfer->inFlight < transfer->slotCount; ++i)
        {
            Slot& slot = transfer->slots[i];
            if (slot.busy)
            {
                continue;
            }
            Piece* piece = NextPiece(transfer);
            if (piece == nullptr)
            {
                break;
            }
            piece->state = PieceState::InFlight;
            slot.piece = ULONG(piece - transfer->pieces);
            slot.busy = true;
            slot.completed = false;
            ++transfer->inFlight;
            ++transfer->sent;
            PrepareSlot(transfer, slot);
            toSend[count++] = &slot;
        }
        const LONGLONG inFlight = transfer->inFlight;
        if (count == 0 && !transfer->again)
        {
            transfer->driving = false;
            KeReleaseSpinLock(&transfer->lock, irql);
            return;
        }
        KeReleaseSpinLock(&transfer->lock, irql);
        LONGLONG most = __atomic_load_n(&disk->mostInFlight, __ATOMIC_SEQ_CST);
        while (inFlight > most && !__atomic_compare_exchange_n(&disk->mostInFlight, &most, inFlight, false,
                                                               __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
        {
        }
        for (ULONG i = 0; i < count; ++i)
        {
            __atomic_add_fetch(&disk->pieces, 1, __ATOMIC_SEQ_CST);
            IoSetCompletionRoutine(toSend[i]->irp, PieceCompletion, toSend[i], TRUE, TRUE, TRUE);
            IofCallDriver(disk->lower, toSend[i]->irp);
        }
        KeAcquireSpinLock(&transfer->lock, &irql);
    }
}

// Completion of a piece: its result waits in the slot for whoever drives the transfer.
NTSTATUS PieceCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* slot = static_cast<Slot*>(context);
    Transfer* transfer = slot->transfer;
    KIRQL irql;
    KeAcquireSpinLock(&transfer->lock, &irql);
    slot->status = irp->IoStatus.Status;
    slot->completed = true;
    if (transfer->driving)
    {
        transfer->again = true;
        KeReleaseSpinLock(&transfer->lock, irql);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    transfer->driving = true;
    Drive(transfer, irql);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Frees what a transfer that never started holds.
void FreeTransfer(Transfer* transfer)
{
    for (ULONG i = 0; i < transfer->slotCount; ++i)
    {
        if (transfer->slots[i].irp != nullptr)
        {
            IoFreeIrp(transfer->slots[i].irp);
        }
    }
    if (transfer->pieces != nullptr)
    {
        ExFreePoolWithTag(transfer->pieces, kPoolTag);
    }
    ExFreePoolWithTag(transfer, kPoolTag);
}

// Builds the transfer record with its pieces and slot IRPs; null when pool runs out.
Transfer* NewTransfer(DiskExtension* disk, PIRP irp, bool write, ULONGLONG offset, ULONG length)
{
    auto* transfer = static_cast<Transfer*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Transfer), kPoolTag));
    if (transfer == nullptr)
    {
        return nullptr;
    }
    std::memset(transfer, 0, sizeof *transfer);
    transfer->pieceCount = ULONG((ULONGLONG(length) + disk->maxPiece - 1) / disk->maxPiece);
    transfer->slotCount =
        disk->maxOutstanding < transfer->pieceCount ? disk->maxOutstanding : transfer->pieceCount;
    transfer->pieces = static_cast<Piece*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(Piece) * transfer->pieceCount, kPoolTag));
    bool ok = transfer->pieces != nullptr;
    for (ULONG i = 0; ok && i < transfer->slotCount; ++i)
    {
        transfer->slots[i].irp = IoAllocateIrp(disk->lower->StackSize, FALSE);
        transfer->slots[i].transfer = transfer;
        ok = transfer->slots[i].irp != nullptr;
    }
    if (!ok)
    {
        FreeTransfer(transfer);
        return nullptr;
    }
    for (ULONG i = 0; i < transfer->pieceCount; ++i)
    {
        Piece& piece = transfer->pieces[i];
        piece.offset = i * disk->maxPiece;
        piece.length = length - piece.offset < disk->maxPiece ? length - piece.offset : disk->maxPiece;
        piece.attemptsLeft = disk->retries;
        piece.state = PieceState::Waiting;
    }
    KeInitializeSpinLock(&transfer->lock);
    transfer->disk = disk;
    transfer->original = irp;
    transfer->write = write;
    transfer->offset = offset;
    transfer->length = length;
    transfer->base = static_cast<UCHAR*>(MmGetMdlVirtualAddress(irp->MdlAddress));
    return transfer;
}

} // namespace

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// What a failed request block means for the caller, the way the class driver reads its sense data. A
// medium change is counted, and with a mounted volume the volume must be verified before more I/O.
NTSTATUS InterpretFailure(DiskExtension* disk, const SCSI_REQUEST_BLOCK& srb, NTSTATUS portStatus,
                          bool* retry)
{
    *retry = true;
    if (SRB_STATUS(srb.SrbStatus) == SRB_STATUS_NO_DEVICE || portStatus == STATUS_DEVICE_NOT_CONNECTED)
    {
        *retry = false;
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (SRB_STATUS(srb.SrbStatus) == SRB_STATUS_SUCCESS ||
        SRB_STATUS(srb.SrbStatus) == SRB_STATUS_DATA_OVERRUN)
    {
        return STATUS_DEVICE_DATA_ERROR; // less data than asked for
    }
    if ((srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID) != 0 && srb.SenseInfoBuffer != nullptr)
    {
        const auto* sense = static_cast<const UCHAR*>(srb.SenseInfoBuffer);
        const SenseData data{UCHAR(sense[2] & 0x0F), sense[12], sense[13]};
        if (data == sense::kMediumChanged)
        {
            __atomic_add_fetch(&disk->mediaChanges, 1, __ATOMIC_SEQ_CST);
            if (disk->volumeMounted)
            {
                // Pieces of other requests and the media-change poll may find a change at the same time.
                __atomic_or_fetch(&disk->self->Flags, DO_VERIFY_VOLUME, __ATOMIC_SEQ_CST);
            }
        }
        return ClassStatusForSense(data, disk->volumeMounted, retry);
    }
    if (portStatus == STATUS_CANCELLED || portStatus == STATUS_IO_TIMEOUT)
    {
        return STATUS_IO_TIMEOUT; // the port driver gave up on the device
    }
    return NT_SUCCESS(portStatus) ? STATUS_IO_DEVICE_ERROR : portStatus;
}

NTSTATUS ReadWrite(DiskExtension* disk, PIRP irp, bool write)
{
    NTSTATUS status = IoAcquireRemoveLock(&disk->removeLock, irp);
    if (!NT_SUCCESS(status))
    {
        return CompleteIrp(irp, status);
    }
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG length = write ? sp->Parameters.Write.Length : sp->Parameters.Read.Length;
    const LONGLONG offset =
        write ? sp->Parameters.Write.ByteOffset.QuadPart : sp->Parameters.Read.ByteOffset.QuadPart;
    status = STATUS_SUCCESS;
    if (InterlockedCompareExchange(&disk->gone, 0, 0) != 0)
    {
        status = STATUS_DEVICE_NOT_CONNECTED;
    }
    else if (disk->blockLength == 0)
    {
        status = STATUS_DEVICE_NOT_READY;
    }
    else if (offset < 0 || ULONGLONG(offset) % disk->blockLength != 0 || length % disk->blockLength != 0 ||
             ULONGLONG(offset) / disk->blockLength > disk->blockCount ||
             ULONGLONG(length) / disk->blockLength > disk->blockCount - ULONGLONG(offset) / disk->blockLength)
    {
        status = STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status) || length == 0)
    {
        IoReleaseRemoveLock(&disk->removeLock, irp);
        return CompleteIrp(irp, status);
    }
    // Direct I/O: the I/O manager described the caller's buffer with a locked MDL.
    PMDL mdl = irp->MdlAddress;
    if (mdl == nullptr || MmGetMdlByteCount(mdl) < length ||
        (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) == 0)
    {
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, kTransferMisuse, ULONG_PTR(irp), ULONG_PTR(mdl),
                     length);
    }
    Transfer* transfer = NewTransfer(disk, irp, write, ULONGLONG(offset), length);
    if (transfer == nullptr)
    {
        IoReleaseRemoveLock(&disk->removeLock, irp);
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    IoMarkIrpPending(irp);
    KIRQL irql;
    KeAcquireSpinLock(&transfer->lock, &irql);
    transfer->driving = true;
    Drive(transfer, irql);
    return STATUS_PENDING;
}

} // namespace winsim::usb::disk
