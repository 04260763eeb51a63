// winsim: the disk class driver model (see disk_class_driver.h). Each read or write becomes a Transfer
// that sends its pieces one after another as request blocks to the mass-storage PDO below.
#include "winsim/usb/disk_class_driver.h"

#include "winsim/usb/scsi_defs.h"
#include "winsim/usb/srb.h"

#include "winsim/kernel/winsim_kernel.h"

#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace winsim::usb
{
namespace
{

constexpr ULONG kPoolTag = PoolTag("UDsk");
constexpr ULONG kDiskKind = 0x4B534944; // "DISK"
constexpr ULONG kSenseLength = scsi::kFixedSenseLength;
constexpr ULONG_PTR kTransferMisuse = 0x2201;
constexpr ULONG kMaxOutstanding = 8;

struct DiskExtension
{
    ULONG kind;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT lower;
    IO_REMOVE_LOCK removeLock;
    ULONG maxTransfer; // as configured
    ULONG maxPiece;    // maxTransfer rounded down to whole blocks, at least one block
    ULONG retries;
    ULONG maxOutstanding;
    ULONG retryAfterPieces;
    bool volumeMounted;
    ULONG blockLength;    // 0 until READ CAPACITY(10) answered
    ULONGLONG blockCount; // blocks on the medium
    LONG gone;            // surprise removal or removal seen: new requests fail
    LONGLONG pieces;
    LONGLONG retried;
    LONGLONG mediaChanges;
    LONGLONG mostInFlight;
};

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

std::mutex g_optionsLock;
std::map<PDRIVER_OBJECT, DiskClassOptions> g_options;
// Removed devices that an upper filter was still attached to: the filter detaches only after the removal
// has passed through this driver. Windows keeps such a device "delete pending" until the attachment's
// reference goes; the simulated kernel refuses the deletion instead, so it waits here until nothing is
// attached (the next AddDevice or the unload).
std::map<PDRIVER_OBJECT, std::vector<PDEVICE_OBJECT>> g_deletePending;

void DeleteWhenAlone(PDEVICE_OBJECT device)
{
    if (device->AttachedDevice == nullptr)
    {
        IoDeleteDevice(device);
        return;
    }
    std::lock_guard<std::mutex> guard(g_optionsLock);
    g_deletePending[device->DriverObject].push_back(device);
}

void DeletePendingDevices(PDRIVER_OBJECT driver)
{
    std::vector<PDEVICE_OBJECT> ready;
    {
        std::lock_guard<std::mutex> guard(g_optionsLock);
        auto& pending = g_deletePending[driver];
        for (auto it = pending.begin(); it != pending.end();)
        {
            if ((*it)->AttachedDevice == nullptr)
            {
                ready.push_back(*it);
                it = pending.erase(it);
            }
            else
            {
                ++it;
            }
        }
    }
    for (PDEVICE_OBJECT device : ready)
        IoDeleteDevice(device);
}

DiskExtension* DiskOf(PDEVICE_OBJECT device)
{
    return static_cast<DiskExtension*>(device->DeviceExtension);
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void BuildCdb10(UCHAR* cdb, UCHAR opcode, ULONG lba, USHORT blocks)
{
    std::memset(cdb, 0, 16);
    cdb[0] = opcode;
    WriteBe32(cdb + 2, lba);
    WriteBe16(cdb + 7, blocks);
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
                disk->self->Flags |= DO_VERIFY_VOLUME;
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

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned)
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// READ CAPACITY(10) through the PDO, waited for: the capacity every later request is checked against.
NTSTATUS ReadCapacity(DiskExtension* disk)
{
    auto* data = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 8, kPoolTag));
    PMDL mdl = data != nullptr ? IoAllocateMdl(data, 8, FALSE, FALSE, nullptr) : nullptr;
    if (mdl == nullptr)
    {
        if (data != nullptr)
            ExFreePoolWithTag(data, kPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(mdl);
    NTSTATUS status = STATUS_IO_DEVICE_ERROR;
    for (ULONG attempt = 0; attempt <= disk->retries; ++attempt)
    {
        SCSI_REQUEST_BLOCK srb{};
        UCHAR sense[kSenseLength] = {};
        srb.Length = sizeof srb;
        srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
        srb.CdbLength = 10;
        srb.Cdb[0] = scsi::kReadCapacity10;
        srb.SrbFlags = SRB_FLAGS_DATA_IN;
        srb.DataTransferLength = 8;
        srb.DataBuffer = data;
        srb.SenseInfoBuffer = sense;
        srb.SenseInfoBufferLength = sizeof sense;
        PIRP irp = IoAllocateIrp(disk->lower->StackSize, FALSE);
        if (irp == nullptr)
        {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        irp->MdlAddress = mdl;
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_SCSI;
        sp->Parameters.Scsi.Srb = &srb;
        IoSetCompletionRoutine(irp, SignalOnCompletion, &event, TRUE, TRUE, TRUE);
        status = IofCallDriver(disk->lower, irp);
        if (status == STATUS_PENDING)
        {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = irp->IoStatus.Status;
        }
        irp->MdlAddress = nullptr;
        IoFreeIrp(irp);
        if (NT_SUCCESS(status) && SRB_STATUS(srb.SrbStatus) == SRB_STATUS_SUCCESS &&
            srb.DataTransferLength == 8)
        {
            const ULONG lastLba = ReadBe32(data);
            const ULONG blockLength = ReadBe32(data + 4);
            if (blockLength != 0 && blockLength % 512 == 0)
            {
                disk->blockLength = blockLength;
                disk->blockCount = ULONGLONG(lastLba) + 1;
                disk->maxPiece = disk->maxTransfer - disk->maxTransfer % blockLength;
                if (disk->maxPiece == 0)
                    disk->maxPiece = blockLength;
                status = STATUS_SUCCESS;
                break;
            }
            status = STATUS_DEVICE_DATA_ERROR;
            continue;
        }
        bool retry = false;
        status = InterpretFailure(disk, srb, status, &retry);
        if (!retry)
            break;
    }
    IoFreeMdl(mdl);
    ExFreePoolWithTag(data, kPoolTag);
    return status;
}

NTSTATUS Pnp(DiskExtension* disk, PIRP irp)
{
    NTSTATUS status = IoAcquireRemoveLock(&disk->removeLock, irp);
    if (!NT_SUCCESS(status))
        return CompleteIrp(irp, status);
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction)
    {
    case IRP_MN_START_DEVICE: {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SignalOnCompletion, &event, TRUE, TRUE, TRUE);
        status = IofCallDriver(disk->lower, irp);
        if (status == STATUS_PENDING)
        {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = irp->IoStatus.Status;
        }
        if (NT_SUCCESS(status))
        {
            // A unit without a medium still starts; its requests fail until a capacity is known.
            const NTSTATUS capacity = ReadCapacity(disk);
            if (capacity == STATUS_DEVICE_NOT_CONNECTED || capacity == STATUS_INSUFFICIENT_RESOURCES)
                status = capacity;
        }
        CompleteIrp(irp, status, irp->IoStatus.Information);
        IoReleaseRemoveLock(&disk->removeLock, irp);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
        InterlockedExchange(&disk->gone, 1);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        InterlockedExchange(&disk->gone, 1);
        IoReleaseRemoveLockAndWait(&disk->removeLock, irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IofCallDriver(disk->lower, irp);
        IoDetachDevice(disk->lower);
        DeleteWhenAlone(disk->self);
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    status = IofCallDriver(disk->lower, irp);
    IoReleaseRemoveLock(&disk->removeLock, irp);
    return status;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    DiskExtension* disk = DiskOf(device);
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    switch (major)
    {
    case IRP_MJ_READ:
        return ReadWrite(disk, irp, false);
    case IRP_MJ_WRITE:
        return ReadWrite(disk, irp, true);
    case IRP_MJ_PNP:
        return Pnp(disk, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return CompleteIrp(irp, STATUS_SUCCESS);
    default:
        break;
    }
    NTSTATUS status = IoAcquireRemoveLock(&disk->removeLock, irp);
    if (!NT_SUCCESS(status))
    {
        if (major == IRP_MJ_POWER)
            PoStartNextPowerIrp(irp);
        return CompleteIrp(irp, status);
    }
    IoSkipCurrentIrpStackLocation(irp);
    if (major == IRP_MJ_POWER)
    {
        PoStartNextPowerIrp(irp);
        status = PoCallDriver(disk->lower, irp);
    }
    else
    {
        status = IofCallDriver(disk->lower, irp);
    }
    IoReleaseRemoveLock(&disk->removeLock, irp);
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical)
{
    DeletePendingDevices(driver);
    DiskClassOptions options;
    {
        std::lock_guard<std::mutex> guard(g_optionsLock);
        const auto found = g_options.find(driver);
        if (found != g_options.end())
            options = found->second;
    }
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(
        driver, sizeof(DiskExtension), nullptr, FILE_DEVICE_DISK,
        FILE_DEVICE_SECURE_OPEN | (physical->Characteristics & FILE_REMOVABLE_MEDIA), FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    DiskExtension* disk = DiskOf(device);
    disk->kind = kDiskKind;
    disk->self = device;
    disk->pdo = physical;
    disk->maxTransfer = options.maxTransferLength;
    disk->retries = options.retries;
    disk->maxOutstanding = options.maxOutstanding;
    disk->retryAfterPieces = options.retryAfterPieces;
    disk->volumeMounted = options.volumeMounted;
    IoInitializeRemoveLock(&disk->removeLock, kPoolTag, 0, 0);
    disk->lower = IoAttachDeviceToDeviceStack(device, physical);
    if (disk->lower == nullptr)
    {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS DiskClassDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& routine : driver->MajorFunction)
        routine = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    // Unloading deletes the devices still waiting for their filter to detach and forgets the options.
    driver->DriverUnload = [](PDRIVER_OBJECT unloaded) {
        DeletePendingDevices(unloaded);
        std::lock_guard<std::mutex> guard(g_optionsLock);
        g_options.erase(unloaded);
        g_deletePending.erase(unloaded);
    };
    return STATUS_SUCCESS;
}

void SetDiskClassOptions(PDRIVER_OBJECT driver, const DiskClassOptions& options)
{
    if (options.maxTransferLength == 0 || options.maxTransferLength % 512 != 0 ||
        options.maxTransferLength > 0xFFFF * 512u)
        throw std::invalid_argument(
            "winsim usb: the disk's maximum transfer length must be a multiple of 512 "
            "that READ(10) can express");
    if (options.maxOutstanding == 0 || options.maxOutstanding > kMaxOutstanding)
    {
        throw std::invalid_argument("winsim usb: the disk class keeps 1 to 8 pieces of a request in flight");
    }
    std::lock_guard<std::mutex> guard(g_optionsLock);
    g_options[driver] = options;
}

// The sense keys and additional sense codes as the class driver's sense interpretation reads them.
NTSTATUS ClassStatusForSense(const SenseData& data, bool volumeMounted, bool* retry)
{
    *retry = true;
    switch (data.key)
    {
    case scsi::kSenseMediumError:
        return STATUS_DEVICE_DATA_ERROR;
    case scsi::kSenseNotReady:
        // No medium is final; a unit becoming ready is waited for by retrying.
        *retry = data.asc != 0x3A;
        return data.asc == 0x3A ? STATUS_NO_MEDIA_IN_DEVICE : STATUS_DEVICE_NOT_READY;
    case scsi::kSenseDataProtect:
        *retry = false;
        return STATUS_MEDIA_WRITE_PROTECTED;
    case scsi::kSenseIllegalRequest:
        *retry = false;
        return data.asc == 0x21 ? STATUS_NONEXISTENT_SECTOR : STATUS_INVALID_DEVICE_REQUEST;
    case scsi::kSenseUnitAttention:
        // A changed medium under a mounted volume must be verified before the request may go on; without
        // one, and after a reset, the command is simply sent again.
        if (data.asc == 0x28 && volumeMounted)
        {
            *retry = false;
            return STATUS_VERIFY_REQUIRED;
        }
        return STATUS_IO_DEVICE_ERROR;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

DiskClassInfo GetDiskClassInfo(PDEVICE_OBJECT diskFdo)
{
    if (diskFdo == nullptr || diskFdo->DeviceExtension == nullptr || DiskOf(diskFdo)->kind != kDiskKind)
        throw std::logic_error("winsim usb: not a device of the disk class driver");
    const DiskExtension* disk = DiskOf(diskFdo);
    DiskClassInfo info;
    info.blockLength = disk->blockLength;
    info.blockCount = disk->blockCount;
    info.pieces = ULONGLONG(__atomic_load_n(&disk->pieces, __ATOMIC_SEQ_CST));
    info.retries = ULONGLONG(__atomic_load_n(&disk->retried, __ATOMIC_SEQ_CST));
    info.mediaChanges = ULONGLONG(__atomic_load_n(&disk->mediaChanges, __ATOMIC_SEQ_CST));
    info.mostInFlight = ULONGLONG(__atomic_load_n(&disk->mostInFlight, __ATOMIC_SEQ_CST));
    info.verifyVolume = (diskFdo->Flags & DO_VERIFY_VOLUME) != 0;
    return info;
}

} // namespace winsim::usb
