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
constexpr LONG kSending = 0;
constexpr LONG kDispatched = 1;
constexpr LONG kCompleted = 2;

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
    ULONG blockLength;    // 0 until READ CAPACITY(10) answered
    ULONGLONG blockCount; // blocks on the medium
    LONG gone;            // surprise removal or removal seen: new requests fail
    LONGLONG pieces;
    LONGLONG retried;
};

// One read or write on its way through the pieces.
struct Transfer
{
    DiskExtension* disk;
    PIRP original;
    bool write;
    ULONGLONG offset; // byte offset on the medium
    ULONG length;
    ULONG done;  // bytes of passed pieces
    ULONG piece; // bytes of the piece in flight
    ULONG attemptsLeft;
    UCHAR* base;   // virtual address of the original buffer, as its MDL describes it
    PIRP pieceIrp; // carries every piece, reused: only one piece of a request is in flight
    NTSTATUS pieceStatus;
    LONG handoff;
    SCSI_REQUEST_BLOCK srb;
    UCHAR sense[kSenseLength];
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

// What a failed piece means for the caller, the way the class driver reads the sense data.
NTSTATUS InterpretFailure(const SCSI_REQUEST_BLOCK& srb, NTSTATUS portStatus, bool* retry)
{
    *retry = true;
    if (SRB_STATUS(srb.SrbStatus) == SRB_STATUS_NO_DEVICE || portStatus == STATUS_DEVICE_NOT_CONNECTED)
    {
        *retry = false;
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (SRB_STATUS(srb.SrbStatus) == SRB_STATUS_SUCCESS ||
        SRB_STATUS(srb.SrbStatus) == SRB_STATUS_DATA_OVERRUN)
        return STATUS_DEVICE_DATA_ERROR; // less data than asked for
    if ((srb.SrbStatus & SRB_STATUS_AUTOSENSE_VALID) != 0 && srb.SenseInfoBuffer != nullptr)
    {
        const auto* sense = static_cast<const UCHAR*>(srb.SenseInfoBuffer);
        const UCHAR key = sense[2] & 0x0F;
        const UCHAR asc = sense[12];
        switch (key)
        {
        case scsi::kSenseMediumError:
            return STATUS_DEVICE_DATA_ERROR;
        case scsi::kSenseNotReady:
            *retry = asc != 0x3A;
            return asc == 0x3A ? STATUS_NO_MEDIA_IN_DEVICE : STATUS_DEVICE_NOT_READY;
        case scsi::kSenseDataProtect:
            *retry = false;
            return STATUS_MEDIA_WRITE_PROTECTED;
        case scsi::kSenseIllegalRequest:
            *retry = false;
            return STATUS_INVALID_DEVICE_REQUEST;
        default:
            return STATUS_IO_DEVICE_ERROR;
        }
    }
    return NT_SUCCESS(portStatus) ? STATUS_IO_DEVICE_ERROR : portStatus;
}

// Ends the request: the transfer record goes first, the remove lock last but one, the IRP last.
void FinishTransfer(Transfer* transfer, NTSTATUS status)
{
    DiskExtension* disk = transfer->disk;
    PIRP original = transfer->original;
    const ULONG done = transfer->done;
    transfer->pieceIrp->MdlAddress = nullptr; // the original request's MDL, lent to the pieces
    IoFreeIrp(transfer->pieceIrp);
    ExFreePoolWithTag(transfer, kPoolTag);
    original->IoStatus.Status = status;
    original->IoStatus.Information = done;
    IoReleaseRemoveLock(&disk->removeLock, original);
    IofCompleteRequest(original, IO_DISK_INCREMENT);
}

// Takes the result of the piece in flight. True: a piece (the next one, or the same again) is to be sent.
bool AfterPiece(Transfer* transfer)
{
    DiskExtension* disk = transfer->disk;
    const SCSI_REQUEST_BLOCK& srb = transfer->srb;
    if (NT_SUCCESS(transfer->pieceStatus) && SRB_STATUS(srb.SrbStatus) == SRB_STATUS_SUCCESS &&
        srb.DataTransferLength == transfer->piece)
    {
        transfer->done += transfer->piece;
        if (transfer->done == transfer->length)
        {
            FinishTransfer(transfer, STATUS_SUCCESS);
            return false;
        }
        const ULONG left = transfer->length - transfer->done;
        transfer->piece = left < disk->maxPiece ? left : disk->maxPiece;
        transfer->attemptsLeft = disk->retries;
        return true;
    }
    bool retry = false;
    const NTSTATUS status = InterpretFailure(srb, transfer->pieceStatus, &retry);
    if (retry && transfer->attemptsLeft > 0 && InterlockedCompareExchange(&disk->gone, 0, 0) == 0)
    {
        --transfer->attemptsLeft;
        __atomic_add_fetch(&disk->retried, 1, __ATOMIC_SEQ_CST);
        return true;
    }
    FinishTransfer(transfer, status);
    return false;
}

void SendPieces(Transfer* transfer);

// Completion of a piece. When the sender has already returned, the next piece goes from here;
// otherwise the sender's loop sends it, so pieces that complete at once do not nest on the stack.
NTSTATUS PieceCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* transfer = static_cast<Transfer*>(context);
    transfer->pieceStatus = irp->IoStatus.Status;
    if (InterlockedCompareExchange(&transfer->handoff, kCompleted, kSending) == kSending)
        return STATUS_MORE_PROCESSING_REQUIRED;
    if (AfterPiece(transfer))
        SendPieces(transfer);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void SendPieces(Transfer* transfer)
{
    for (;;)
    {
        DiskExtension* disk = transfer->disk;
        __atomic_add_fetch(&disk->pieces, 1, __ATOMIC_SEQ_CST);
        PIRP irp = transfer->pieceIrp;
        IoReuseIrp(irp, STATUS_SUCCESS);
        SCSI_REQUEST_BLOCK& srb = transfer->srb;
        std::memset(&srb, 0, sizeof srb);
        srb.Length = sizeof srb;
        srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
        srb.CdbLength = 10;
        const ULONGLONG position = transfer->offset + transfer->done;
        BuildCdb10(srb.Cdb, transfer->write ? scsi::kWrite10 : scsi::kRead10,
                   ULONG(position / disk->blockLength), USHORT(transfer->piece / disk->blockLength));
        srb.SrbFlags = transfer->write ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN;
        srb.DataTransferLength = transfer->piece;
        srb.DataBuffer = transfer->base + transfer->done;
        srb.SenseInfoBuffer = transfer->sense;
        srb.SenseInfoBufferLength = kSenseLength;
        srb.TimeOutValue = 10;
        irp->MdlAddress = transfer->original->MdlAddress;
        irp->Tail.Overlay.Thread = transfer->original->Tail.Overlay.Thread;
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_SCSI;
        sp->Parameters.Scsi.Srb = &srb;
        IoSetCompletionRoutine(irp, PieceCompletion, transfer, TRUE, TRUE, TRUE);
        InterlockedExchange(&transfer->handoff, kSending);
        IofCallDriver(disk->lower, irp);
        if (InterlockedCompareExchange(&transfer->handoff, kDispatched, kSending) == kSending)
            return; // in flight: its completion carries on
        if (!AfterPiece(transfer))
            return;
    }
}

NTSTATUS ReadWrite(DiskExtension* disk, PIRP irp, bool write)
{
    NTSTATUS status = IoAcquireRemoveLock(&disk->removeLock, irp);
    if (!NT_SUCCESS(status))
        return CompleteIrp(irp, status);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG length = write ? sp->Parameters.Write.Length : sp->Parameters.Read.Length;
    const LONGLONG offset =
        write ? sp->Parameters.Write.ByteOffset.QuadPart : sp->Parameters.Read.ByteOffset.QuadPart;
    status = STATUS_SUCCESS;
    if (InterlockedCompareExchange(&disk->gone, 0, 0) != 0)
        status = STATUS_DEVICE_NOT_CONNECTED;
    else if (disk->blockLength == 0)
        status = STATUS_DEVICE_NOT_READY;
    else if (offset < 0 || ULONGLONG(offset) % disk->blockLength != 0 || length % disk->blockLength != 0 ||
             ULONGLONG(offset) / disk->blockLength > disk->blockCount ||
             ULONGLONG(length) / disk->blockLength > disk->blockCount - ULONGLONG(offset) / disk->blockLength)
        status = STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status) || length == 0)
    {
        IoReleaseRemoveLock(&disk->removeLock, irp);
        return CompleteIrp(irp, status);
    }
    // Direct I/O: the I/O manager described the caller's buffer with a locked MDL.
    PMDL mdl = irp->MdlAddress;
    if (mdl == nullptr || MmGetMdlByteCount(mdl) < length ||
        (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) == 0)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, kTransferMisuse, ULONG_PTR(irp), ULONG_PTR(mdl),
                     length);
    auto* transfer = static_cast<Transfer*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Transfer), kPoolTag));
    if (transfer == nullptr)
    {
        IoReleaseRemoveLock(&disk->removeLock, irp);
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    std::memset(transfer, 0, sizeof *transfer);
    transfer->pieceIrp = IoAllocateIrp(disk->lower->StackSize, FALSE);
    if (transfer->pieceIrp == nullptr)
    {
        ExFreePoolWithTag(transfer, kPoolTag);
        IoReleaseRemoveLock(&disk->removeLock, irp);
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    transfer->disk = disk;
    transfer->original = irp;
    transfer->write = write;
    transfer->offset = ULONGLONG(offset);
    transfer->length = length;
    transfer->piece = length < disk->maxPiece ? length : disk->maxPiece;
    transfer->attemptsLeft = disk->retries;
    transfer->base = static_cast<UCHAR*>(MmGetMdlVirtualAddress(mdl));
    IoMarkIrpPending(irp);
    SendPieces(transfer);
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
        status = InterpretFailure(srb, status, &retry);
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
    std::lock_guard<std::mutex> guard(g_optionsLock);
    g_options[driver] = options;
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
    return info;
}

} // namespace winsim::usb
