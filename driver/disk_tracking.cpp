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

// The slot of a read that has ended is freed, so that no later piece is read ahead for it.
NTSTATUS ReadCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID slot)
{
    DiskFilterExtension* extension = DiskExtensionOf(device);
    if (irp->PendingReturned)
    {
        IoMarkIrpPending(irp);
    }
    if (slot != nullptr)
    {
        extension->largeWriteIrql = KeAcquireSpinLockRaiseToDpc(&extension->largeWriteLock);
        static_cast<ReadInFlight*>(slot)->end = 0;
        KeReleaseSpinLock(&extension->largeWriteLock, extension->largeWriteIrql);
    }
    IoReleaseRemoveLock(&extension->head.removeLock, irp);
    return STATUS_SUCCESS;
}

// Large writes are told apart by a number that no other write of any disk of this driver carries while
// the USB side may still remember it: a disk restarted into the same pool block starts no count anew.
volatile LONG lastWriteSequence = 0;

ULONG NextWriteSequence()
{
    ULONG sequence = static_cast<ULONG>(InterlockedIncrement(&lastWriteSequence)) & MAXLONG;
    if (sequence == 0)
    {
        sequence = static_cast<ULONG>(InterlockedIncrement(&lastWriteSequence)) & MAXLONG; // 0: "no write"
    }
    return sequence;
}

// A write the USB side cannot tell apart from a large one's pieces has ended.
NTSTATUS UnrecordedWriteCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID)
{
    DiskFilterExtension* extension = DiskExtensionOf(device);
    if (irp->PendingReturned)
    {
        IoMarkIrpPending(irp);
    }
    InterlockedDecrement(&extension->unrecordedWrites);
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
    RtlZeroMemory(extension->readsInFlight, sizeof(extension->readsInFlight));
    extension->unrecordedWrites = 0;
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

// Each read in flight is recorded with its range for the USB side's read-ahead. The remove lock that the
// common entry took is released by the completion routine, once the read is done.
NTSTATUS DispatchDiskRead(PDEVICE_OBJECT device, PIRP irp)
{
    DiskFilterExtension* extension = DiskExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONGLONG start = static_cast<ULONGLONG>(stack->Parameters.Read.ByteOffset.QuadPart);
    ULONG length = stack->Parameters.Read.Length;
    ReadInFlight* slot = nullptr;
    if (length != 0 && start + length > start)
    {
        extension->largeWriteIrql = KeAcquireSpinLockRaiseToDpc(&extension->largeWriteLock);
        for (ReadInFlight& candidate : extension->readsInFlight)
        {
            if (candidate.end == 0)
            {
                candidate.start = start;
                candidate.end = start + length;
                slot = &candidate;
                break;
            }
        }
        KeReleaseSpinLock(&extension->largeWriteLock, extension->largeWriteIrql);
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ReadCompletion, slot, TRUE, TRUE, TRUE);
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
        record.sequence = NextWriteSequence();
        extension->largeWriteIrql = KeAcquireSpinLockRaiseToDpc(&extension->largeWriteLock);
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
    // Counted while in flight: its piece may continue a large write's gathered data exactly, and only the
    // count tells the USB side that such a piece need not be the large write's own.
    InterlockedIncrement(&extension->unrecordedWrites);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, UnrecordedWriteCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(extension->head.lowerDevice, irp);
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

// Where the furthest read in flight that holds the `length` bytes at `offset` ends, or 0 when no recorded
// read holds them: the bytes the storage stack is certain to ask for from there on.
ULONGLONG ReadInFlightEnd(DiskFilterExtension* disk, ULONGLONG offset, ULONG length)
{
    ULONGLONG end = 0;
    disk->largeWriteIrql = KeAcquireSpinLockRaiseToDpc(&disk->largeWriteLock);
    for (const ReadInFlight& read : disk->readsInFlight)
    {
        if (read.end != 0 && read.start <= offset && offset + length <= read.end && read.end > end)
        {
            end = read.end;
        }
    }
    KeReleaseSpinLock(&disk->largeWriteLock, disk->largeWriteIrql);
    return end;
}

// The number of the newest large write recorded on any disk so far (0 before the first).
ULONG LatestWriteSequence()
{
    return static_cast<ULONG>(InterlockedCompareExchange(&lastWriteSequence, 0, 0)) & MAXLONG;
}

// Whether a write other than `record` may be in flight over the `length` bytes at `offset`: a piece there
// may then be that write's, not the recorded one's, and must not be gathered for it.
BOOLEAN OtherWriteMayOverlap(DiskFilterExtension* disk, PVOID record, ULONGLONG offset, ULONG length)
{
    if (InterlockedCompareExchange(&disk->unrecordedWrites, 0, 0) != 0)
    {
        return TRUE;
    }
    BOOLEAN overlap = FALSE;
    disk->largeWriteIrql = KeAcquireSpinLockRaiseToDpc(&disk->largeWriteLock);
    for (auto* other = disk->largeWrites != nullptr
                           ? static_cast<LargeWriteRecord*>(PoolListFirst(disk->largeWrites))
                           : nullptr;
         other != nullptr && !overlap;
         other = static_cast<LargeWriteRecord*>(PoolListNext(disk->largeWrites)))
    {
        overlap = other != record && other->byteOffset < offset + length &&
                  offset < other->byteOffset + other->length;
    }
    if (disk->largeWrites != nullptr)
    {
        disk->largeWrites->cursor = nullptr;
    }
    KeReleaseSpinLock(&disk->largeWriteLock, disk->largeWriteIrql);
    return overlap;
}
