// The disk-side filter sees reads and writes before the storage stack cuts them into transfers of at most
// 64 KiB. It changes nothing; it only records the length of the read in flight and every large write in
// flight, which the USB-side filter of the same device consults while it handles the pieces.
#include "driver/kavfiltr.h"

namespace
{
DiskFilterExtension* DiskExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<DiskFilterExtension*>(device->DeviceExtension);
}

NTSTATUS ReadCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID)
{
    DiskFilterExtension* extension = DiskExtensionOf(device);
    if (irp->PendingReturned)
    {
        IoMarkIrpPending(irp);
    }
    extension->currentReadLength = 0;
    IoReleaseRemoveLock(&extension->head.removeLock, irp);
    return STATUS_SUCCESS;
}

// A finished write is forgotten, so that no later piece is matched to it.
NTSTATUS LargeWriteCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID record)
{
    DiskFilterExtension* extension = DiskExtensionOf(device);
    if (irp->PendingReturned)
    {
        IoMarkIrpPending(irp);
    }
    extension->largeWriteIrql = KeAcquireSpinLockRaiseToDpc(&extension->largeWriteLock);
    if (extension->largeWrites != nullptr)
    {
        PoolListRemove(extension->largeWrites, record);
    }
    KeReleaseSpinLock(&extension->largeWriteLock, extension->largeWriteIrql);
    IoReleaseRemoveLock(&extension->head.removeLock, irp);
    return STATUS_SUCCESS;
}
} // namespace

NTSTATUS DiskRoleInitialize(DiskFilterExtension* extension)
{
    extension->head.role = RoleStorageDisk;
    extension->currentReadLength = 0;
    KeInitializeSpinLock(&extension->largeWriteLock);
    extension->largeWriteIrql = PASSIVE_LEVEL;
    const PoolListTemplate writesTemplate = {nullptr, sizeof(LargeWriteRecord)};
    return PoolListCreate(&writesTemplate, &extension->largeWrites);
}

// The records go under the lock: a USB-side user that found this disk before it left its parent's table
// finds no list rather than a freed one.
void DiskRoleRelease(DiskFilterExtension* extension)
{
    extension->largeWriteIrql = KeAcquireSpinLockRaiseToDpc(&extension->largeWriteLock);
    PoolList* writes = extension->largeWrites;
    extension->largeWrites = nullptr;
    KeReleaseSpinLock(&extension->largeWriteLock, extension->largeWriteIrql);
    PoolListDestroy(writes);
}

// The read in flight is recorded for the USB side's read-ahead. The remove lock that the common entry took
// is released by the completion routine, once the read is done.
NTSTATUS DispatchDiskRead(PDEVICE_OBJECT device, PIRP irp)
{
    DiskFilterExtension* extension = DiskExtensionOf(device);
    extension->currentReadLength = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ReadCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(extension->head.lowerDevice, irp);
}

// Writes longer than 64 KiB are recorded with their requester for exactly the time they are in flight.
// The remove lock that the common entry took is released by the completion routine that forgets the
// record, or by the pass-down tail.
NTSTATUS DispatchDiskWrite(PDEVICE_OBJECT device, PIRP irp)
{
    DiskFilterExtension* extension = DiskExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    LargeWriteRecord record;
    record.length = stack->Parameters.Write.Length;
    record.sequence = 0;
    record.startSeen = 0;
    record.byteOffset = static_cast<ULONGLONG>(stack->Parameters.Write.ByteOffset.QuadPart);
    record.processId = PsGetCurrentProcessId();
    record.threadId = PsGetCurrentThreadId();
    if (record.length > LARGE_WRITE_THRESHOLD)
    {
        PVOID copy = nullptr;
        extension->largeWriteIrql = KeAcquireSpinLockRaiseToDpc(&extension->largeWriteLock);
        extension->nextWriteSequence = (extension->nextWriteSequence + 1) & MAXLONG;
        if (extension->nextWriteSequence == 0)
        {
            extension->nextWriteSequence = 1; // 0 stays free to mean "no write"
        }
        record.sequence = extension->nextWriteSequence;
        if (extension->largeWrites != nullptr)
        {
            PoolListAppend(extension->largeWrites, &record, sizeof(record), &copy);
        }
        KeReleaseSpinLock(&extension->largeWriteLock, extension->largeWriteIrql);
        if (copy != nullptr)
        {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, LargeWriteCompletion, copy, TRUE, TRUE, TRUE);
            return IoCallDriver(extension->head.lowerDevice, irp);
        }
    }
    return PassDown(&extension->head, irp);
}

// The first record in flight that a piece of `transferLength` bytes at `offset`, sent by the given
// requester, can be the first piece of, counting only writes whose start no piece has reached before. The
// identifier tests are an ordering, as the storage stack may pass the pieces on from another thread than the
// one that wrote.
PVOID FindLargeWrite(DiskFilterExtension* disk, ULONGLONG offset, ULONG transferLength, HANDLE processId,
                     HANDLE threadId, LargeWriteRecord* copy)
{
    PVOID match = nullptr;
    disk->largeWriteIrql = KeAcquireSpinLockRaiseToDpc(&disk->largeWriteLock);
    if (disk->largeWrites == nullptr)
    {
        KeReleaseSpinLock(&disk->largeWriteLock, disk->largeWriteIrql);
        return nullptr;
    }
    // Every write this piece can start is marked as started, matched or not, so that none of them is
    // matched at a later piece there (a retry, possibly after later pieces went down).
    for (auto* record = static_cast<LargeWriteRecord*>(PoolListFirst(disk->largeWrites)); record != nullptr;
         record = static_cast<LargeWriteRecord*>(PoolListNext(disk->largeWrites)))
    {
        if (record->byteOffset != offset || transferLength > record->length || record->startSeen)
        {
            continue;
        }
        record->startSeen = 1;
        if (match == nullptr &&
            reinterpret_cast<ULONG_PTR>(processId) <= reinterpret_cast<ULONG_PTR>(record->processId) &&
            reinterpret_cast<ULONG_PTR>(threadId) <= reinterpret_cast<ULONG_PTR>(record->threadId))
        {
            *copy = *record;
            match = record;
        }
    }
    disk->largeWrites->cursor = nullptr;
    KeReleaseSpinLock(&disk->largeWriteLock, disk->largeWriteIrql);
    return match;
}

// Whether the write that the USB side matched is still in flight: the same address holding the same
// write, not a newer one that took over its pool block.
BOOLEAN IsLargeWritePresent(DiskFilterExtension* disk, PVOID record, ULONG sequence)
{
    BOOLEAN present = FALSE;
    disk->largeWriteIrql = KeAcquireSpinLockRaiseToDpc(&disk->largeWriteLock);
    for (PVOID candidate = disk->largeWrites != nullptr ? PoolListFirst(disk->largeWrites) : nullptr;
         candidate != nullptr && !present; candidate = PoolListNext(disk->largeWrites))
    {
        present = candidate == record && static_cast<LargeWriteRecord*>(candidate)->sequence == sequence;
    }
    if (disk->largeWrites != nullptr)
    {
        disk->largeWrites->cursor = nullptr;
    }
    KeReleaseSpinLock(&disk->largeWriteLock, disk->largeWriteIrql);
    return present;
}
