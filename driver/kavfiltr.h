// Kavfiltr's private header: the device extensions, the containers and the prototypes of every file of the
// driver, in one section per file. The driver is a WDM filter that sits in two stacks of a USB
// mass-storage device: below the mass-storage function driver on the USB device node, and above the disk
// class driver on each disk node that the function driver enumerates.
#pragma once

#include "driver/kavfiltr_public.h"

#include <usbdrivr.h>

//
// pool_list.cpp — containers in non-paged pool
//

typedef void (*PoolListReleaseItem)(PVOID item, ULONG maxItemSize);

// Links in front of every item; the head starts with the same pair, so the list is circular through it.
struct PoolListLinks
{
    PoolListLinks* next;
    PoolListLinks* previous;
};

struct PoolList
{
    PoolListLinks* first;
    PoolListLinks* last;
    PoolListReleaseItem releaseItem;
    ULONG maxItemSize;
    PoolListLinks* cursor;
};

// What PoolListCreate needs to know about a list's items.
struct PoolListTemplate
{
    PoolListReleaseItem releaseItem;
    ULONG maxItemSize;
};

NTSTATUS PoolListCreate(const PoolListTemplate* listTemplate, PoolList** list);
NTSTATUS PoolListAppend(PoolList* list, const void* bytes, ULONG length, PVOID* copy);
void PoolListDestroy(PoolList* list);
PVOID PoolListFirst(PoolList* list);
PVOID PoolListNext(PoolList* list);
BOOLEAN PoolListRemove(PoolList* list, PVOID copy);
BOOLEAN PoolListIsEmpty(const PoolList* list);

struct AlignedBuffer
{
    ULONG length;
    PUCHAR data;
    PVOID allocation;
    ULONG capacity;
};

NTSTATUS AlignedBufferInitialize(AlignedBuffer* buffer, ULONG capacity);
void AlignedBufferRelease(AlignedBuffer* buffer);

//
// worker.cpp — one system thread per USB-side filter that runs taken-over requests in order
//

struct WorkerThread;
struct WorkItem;
typedef void (*WorkHandler)(WorkerThread* worker, WorkItem* item);

struct WorkItem
{
    WorkHandler handler;
    UCHAR waitForCompletion;
    // Part of its owner rather than allocated: queued without pool, never freed by the worker, and not
    // touched by it once its handler runs, since the handler may hand it back to its owner.
    UCHAR embedded;
    PVOID context;
    KSEMAPHORE doneSemaphore;
};

// Work the worker does on its own, between items, at most once per WORKER_TICK_INTERVAL.
typedef void (*WorkerTick)(PVOID context);

struct WorkerThread
{
    HANDLE threadHandle;
    UCHAR stopRequested;
    KSEMAPHORE stoppedSemaphore;
    KSEMAPHORE workSemaphore;
    KSPIN_LOCK queueLock;
    KIRQL queueIrql;
    PoolList* queue;
    // An embedded item waiting to run, after the queue's items; at most one.
    WorkItem* embeddedQueued;
    // Referenced thread object: StopWorker waits on it, so the thread has left the driver's code before
    // the device, and with the last device the image, can go away.
    PVOID threadObject;
    WorkerTick tick;
    PVOID tickContext;
    // Interrupt time of the last tick, in 100 ns units.
    ULONGLONG lastTick;
};

#define WORKER_SEMAPHORE_LIMIT 10000
// One second in the kernel's 100 ns units.
#define WORKER_TICK_INTERVAL 10000000LL

NTSTATUS StartWorker(WorkerThread** worker, WorkerTick tick, PVOID tickContext);
NTSTATUS EnqueueWork(WorkerThread* worker, const WorkItem* itemTemplate);
NTSTATUS EnqueueEmbeddedWork(WorkerThread* worker, WorkItem* item);
void StopWorker(WorkerThread* worker);

//
// entry.cpp and dispatch.cpp — the extension head, attachment, pass-through, power and Plug and Play
//

enum FilterRole : ULONG
{
    RoleNone = 0,
    RoleUsbDevice = 1,
    RoleStorageDisk = 2,
};

enum PnpState : ULONG
{
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    Stopped = 3,
    RemovePending = 4,
    SurpriseRemoved = 5,
    Deleted = 6,
};

struct FilterExtension
{
    FilterRole role;
    PDEVICE_OBJECT selfDevice;
    PDEVICE_OBJECT physicalDevice;
    PDEVICE_OBJECT lowerDevice;
    PnpState pnpState;
    PnpState previousPnpState;
    IO_REMOVE_LOCK removeLock;
};

//
// disk_tracking.cpp — reads and large writes in flight on a disk node
//

struct LargeWriteRecord
{
    ULONG length;
    // Tells two records apart that occupy the same address one after the other, so that the USB side
    // never mistakes a new write for the one it matched or saw fail.
    ULONG sequence : 31;
    // Set once the USB side has seen a piece at the write's start, gathered or not. A piece there seen
    // again is a retry, and the pieces after it may have gone down on their own: gathering the retry could
    // leave it acknowledged with nothing left of the write to flush it.
    ULONG startSeen : 1;
    ULONGLONG byteOffset;
    HANDLE processId;
    HANDLE threadId;
};
static_assert(sizeof(LargeWriteRecord) == 32, "a large-write record fills the 32-byte slot of its list");

// Writes up to this length are cut into at most one piece by the storage stack and are not recorded.
#define LARGE_WRITE_THRESHOLD 0x10000UL

struct UsbFilterExtension;

// A read of the disk in flight: bytes [start, end) of the unit. A free slot has `end` 0.
struct ReadInFlight
{
    ULONGLONG start;
    ULONGLONG end;
};

// Reads recorded at once; more only go unrecorded, which costs them their read-ahead, not their data. Two
// readers with two requests each, as the copy engine keeps them, fit with room to spare.
#define READS_IN_FLIGHT 8

struct DiskFilterExtension
{
    FilterExtension head;
    // Guards the reads and large writes in flight, which the USB side consults while the disk side adds
    // and removes them.
    KSPIN_LOCK largeWriteLock;
    KIRQL largeWriteIrql;
    // Every read in flight with its range, so that the USB side reads ahead for the request a piece
    // belongs to, never for whichever request happened to be dispatched last.
    ReadInFlight readsInFlight[READS_IN_FLIGHT];
    // Exists exactly while the USB side can find this disk: created before the disk is registered with its
    // USB parent, and taken away under the lock before it is destroyed.
    PoolList* largeWrites;
    // Writes in flight without a record (64 KiB or less, or no room for one).
    volatile LONG unrecordedWrites;
    // The USB-side filter of the device whose unit this disk is; referenced while registered there.
    UsbFilterExtension* usbParent;
};

NTSTATUS DiskRoleInitialize(DiskFilterExtension* extension);
void DiskRoleRelease(DiskFilterExtension* extension);
NTSTATUS DispatchDiskRead(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchDiskWrite(PDEVICE_OBJECT device, PIRP irp);
PVOID FindLargeWrite(DiskFilterExtension* disk, ULONGLONG offset, ULONG transferLength, HANDLE processId,
                     HANDLE threadId, LargeWriteRecord* copy);
BOOLEAN IsLargeWritePresent(DiskFilterExtension* disk, PVOID record, ULONG sequence);
ULONGLONG ReadInFlightEnd(DiskFilterExtension* disk, ULONGLONG offset, ULONG length);
ULONG LatestWriteSequence();
BOOLEAN OtherWriteMayOverlap(DiskFilterExtension* disk, PVOID record, ULONGLONG offset, ULONG length);

//
// bulk_only_wire.cpp — command and status wrappers, the command block inside, a transfer's data
//

#define CBW_SIGNATURE 0x43425355UL
#define CSW_SIGNATURE 0x53425355UL

#pragma pack(push, 1)
struct CommandBlockWrapper
{
    ULONG dCBWSignature;
    ULONG dCBWTag;
    ULONG dCBWDataTransferLength;
    UCHAR bmCBWFlags;
    UCHAR bCBWLUN;
    UCHAR bCBWCBLength;
    UCHAR CBWCB[16];
};

struct CommandStatusWrapper
{
    ULONG dCSWSignature;
    ULONG dCSWTag;
    ULONG dCSWDataResidue;
    UCHAR bCSWStatus;
};
#pragma pack(pop)
static_assert(sizeof(CommandBlockWrapper) == 31, "a command block wrapper is 31 bytes on the wire");
static_assert(sizeof(CommandStatusWrapper) == 13, "a command status wrapper is 13 bytes on the wire");

// SCSI operation codes the filter acts on.
#define SCSIOP_TEST_UNIT_READY_CODE 0x00
#define SCSIOP_READ_CAPACITY_CODE 0x25
#define SCSIOP_READ10_CODE 0x28
#define SCSIOP_WRITE10_CODE 0x2A

#define SCSIOP_REQUEST_SENSE_CODE 0x03
#define SCSIOP_INQUIRY_CODE 0x12

// The device failed one of the filter's own commands in step (status wrapper with status 1) and holds the
// reason for the next REQUEST SENSE. Private to the filter: the function driver never sees this code, it
// sees a status wrapper with status 1 for its own command instead.
#define STATUS_KAVFILTR_COMMAND_FAILED ((NTSTATUS)0xE0000001L)

#define CBW_LENGTH 31UL
#define CSW_LENGTH 13UL
#define CBW_FLAGS_DATA_IN 0x80
#define TRANSFER_FLAGS_OUT 0UL
#define TRANSFER_FLAGS_SHORT_OK 2UL
#define TRANSFER_FLAGS_IN_SHORT_OK 3UL

struct LunContext;

// Fields of the command in a 31-byte wrapper and of its command block.
ULONG ReadLittleEndian32(const UCHAR* bytes);
ULONG ReadBigEndian32(const UCHAR* bytes);
USHORT ReadBigEndian16(const UCHAR* bytes);
void WriteBigEndian32(UCHAR* bytes, ULONG value);
void WriteBigEndian16(UCHAR* bytes, USHORT value);
ULONG CommandTag(const UCHAR* cbw);
ULONG CommandDataLength(const UCHAR* cbw);
ULONG CommandLba(const UCHAR* cbw);
USHORT CommandBlocks(const UCHAR* cbw);
ULONGLONG CommandOffset(const UCHAR* cbw, const LunContext* context);
BOOLEAN IsUnitUsable(const LunContext* context);
BOOLEAN IsServableBlockCommand(const UCHAR* cbw, const LunContext* context, BOOLEAN dataIn);
PVOID MapTransferBuffer(PURB urb);
NTSTATUS CheckStatusWrapper(const UCHAR* wrapper, ULONG length, ULONG tag);
void WritePassedStatusWrapper(PURB urb, ULONG tag, NTSTATUS* status);
void WriteStatusWrapper(PURB urb, ULONG tag, ULONG residue, UCHAR cswStatus, NTSTATUS* status);

//
// transport_tracking.cpp — the function driver's Bulk-Only exchanges followed, units, transfers taken over
//

enum BotPhase : ULONG
{
    PhaseNone = 0,
    PhaseCommand = 1,
    PhaseData = 2,
    PhaseStatus = 3,
};

// Two readers of one unit, as a copy between two files or a file read beside its file system's metadata,
// each keep their read-ahead: the buffer is shared between them in halves while both hold data.
#define READ_STREAMS 2

// A range of a unit's cache: `length` bytes of the unit from byte `start`, kept at `offset` in the unit's
// read-ahead buffer. Empty when `length` is 0.
struct CacheWindow
{
    ULONGLONG start;
    ULONG offset;
    ULONG length;
    // Commands answered from the window since its read-ahead: one is the command that made it.
    ULONG answered;
};

// A sequential reader followed across disk-level reads: where its next READ(10) would start (0 for none),
// the length of the last read-ahead made for it, which the next one doubles, and when it was last seen
// (the unit's count of READ(10) commands then).
struct ReadStream
{
    ULONGLONG next;
    ULONG window;
    ULONG lastSeen;
};

// A reader not seen for this many of the unit's READ(10) commands has stopped: its half of the buffer goes
// back to the reader that goes on.
#define IDLE_STREAM_READS 64

// What the filter counts per unit (see kavfiltr_counters.h for the meaning of each), in the order of
// their value names.
enum UnitCounter : ULONG
{
    CounterClassReadCommands,
    CounterClassWriteCommands,
    CounterClassBytesRead,
    CounterClassBytesWritten,
    CounterDeviceReadCommands,
    CounterDeviceWriteCommands,
    CounterDeviceBytesRead,
    CounterDeviceBytesWritten,
    CounterCachedReads,
    CounterCachedBytes,
    CounterGatheredPieces,
    CounterUnusedReadAheads,
    CounterFailuresPassedOn,
    CounterFailedPublishes,
    UnitCounterCount
};

// `value` is added to with interlocked operations from wherever the counted event happens; the rest
// belongs to the worker, which publishes the values.
struct UnitCounters
{
    volatile LONG64 value[UnitCounterCount];
    // What the registry was last given; `stale` (set when the stack starts) makes the worker write every
    // value again.
    LONG64 published[UnitCounterCount];
    volatile LONG stale;
};

// Fixed-format sense data as REQUEST SENSE returns it.
#define SENSE_LENGTH 18
#define SENSE_KEY_UNIT_ATTENTION 0x06

struct LunContext
{
    UCHAR lun;
    ULONG lastLba;
    ULONG blockLength;
    AlignedBuffer* readAheadBuffer;
    ULONG readAheadLength;
    ULONG sequentialCount;
    UCHAR previousReadCbw[sizeof(CommandBlockWrapper)];
    // The cached ranges, one per reader followed; the read-ahead decided for the current READ(10) goes
    // into the window of `readAheadStream`.
    CacheWindow cache[READ_STREAMS];
    ReadStream streams[READ_STREAMS];
    UCHAR readAheadStream;
    ULONG readClock;
    // Bytes [failedStart, failedEnd) of the unit that a read-ahead could not read: the device failed it in
    // step for a reason of its blocks. No read-ahead reaches into them again, so that a bad block costs the
    // readers around it one failed read-ahead, not one per command. Forgotten when the device is reset,
    // its capacity is read anew or a write reaches those blocks.
    ULONGLONG failedStart;
    ULONGLONG failedEnd;
    AlignedBuffer* writeBuffer;
    LargeWriteRecord* matchedWrite;
    LargeWriteRecord matchedWriteCopy;
    ULONGLONG writeStart;
    UCHAR coalescing;
    // The command wrapper of the last acknowledged piece: the template of the command that writes the
    // buffer, whichever command happens to trigger the flush.
    UCHAR lastWriteCbw[sizeof(CommandBlockWrapper)];
    // The matched write stopped arriving in order (a piece of it went down outside the buffer, arrived
    // out of turn, or failed to reach the buffer): none of its pieces is gathered any more, since a piece
    // gathered out of order might never be followed by the flush that writes it.
    UCHAR matchBroken;
    // Set once the current piece's data is in the buffer: only such a piece may be reported written.
    UCHAR pieceBuffered;
    // Set once the current READ(10)'s data went to the function driver from the cache: only then is its
    // status reported as passed.
    UCHAR cachedDataAnswered;
    // The cache answers every phase of the current READ(10): decided at its command wrapper.
    UCHAR cacheAnswers;
    // The device failed the filter's command that stood for the function driver's current one: that
    // command's data and status phases are answered here, ending in a status wrapper with status 1, so
    // that the function driver asks for the device's sense itself.
    UCHAR answerFailure;
    // The device holds the sense of a failure of the filter's own command that the function driver has
    // not asked for yet: the transfer that was to report it may have been cancelled or given up before its
    // status wrapper. Until its REQUEST SENSE, the function driver's commands to the unit are answered with
    // status 1 without reaching the device, since any of them would wipe that sense (a medium change, say)
    // unread.
    UCHAR senseWaiting;
    // The filter fetched the device's sense itself, after one of its own commands met a unit attention
    // while it stood for a function driver's command that the attention is owed to: the device no longer
    // holds it, so the function driver's REQUEST SENSE is answered with this copy (`answeringSense` while
    // that command's phases run).
    UCHAR senseHeld;
    UCHAR answeringSense;
    UCHAR heldSense[SENSE_LENGTH];
    // A large write whose gathered data could not be written (the device refused it, or the exchange
    // failed on the way): the data stays in the buffer and is offered again before each of the unit's
    // commands while the write is in flight, so that the write can only end in success once that data is
    // on the medium. Writing the same blocks again is harmless; nothing else reaches the unit before.
    LargeWriteRecord* heldWrite;
    LargeWriteRecord heldWriteCopy;
    UnitCounters counters;
};

// A transfer taken over by the filter, on its way to a handler on the worker.
struct UrbWorkContext
{
    PDEVICE_OBJECT device;
    PIRP irp;
};

#define LUN_BUFFER_CAPACITY 0x100000UL

// Bulk-Only devices have at most 16 logical units.
#define MAX_LUNS 16

struct UsbFilterExtension
{
    FilterExtension head;
    WorkerThread* worker;
    // The units' contexts. The dispatch path (a reset empties every cache) and the worker walk and extend
    // the list at the same time when the function driver resets the device while a handler runs: every
    // walk and every append holds this lock, so no walk shares the list's cursor with another.
    KSPIN_LOCK lunContextsLock;
    PoolList* lunContexts;
    USBD_PIPE_HANDLE bulkInPipe;
    USBD_PIPE_HANDLE bulkOutPipe;
    BotPhase botState;
    BotPhase currentPhase;
    UCHAR currentCbw[sizeof(CommandBlockWrapper)];
    PUCHAR currentCdb;
    ULONG readBufferCapacity;
    ULONG writeBufferCapacity;
    // The mass-storage interface, for the class reset that brings the device back after an exchange of the
    // filter's own went wrong.
    UCHAR interfaceNumber;
    // The function driver's children as last reported, and the disk filters attached above them. A new
    // bus-relations query replaces the copy while the URB path and the worker read it, and a disk node
    // can be restarted during I/O: both are touched only under this lock.
    KSPIN_LOCK relationsLock;
    PDEVICE_RELATIONS busRelations;
    DiskFilterExtension* disks[MAX_LUNS];
    // Cancelling the function driver's transfer that the worker handles: the cancel routine sets
    // `cancelRequested` and wakes the worker's wait for its own transfer (`ownDone`, also set by that
    // transfer's completion, which sets `ownCompleted`); the worker then cancels its own transfer and
    // starts no other.
    KEVENT ownDone;
    volatile LONG ownCompleted;
    volatile LONG cancelRequested;
    // What a transfer taken over needs on its way to the worker, kept here so that taking one over needs no
    // pool: the function driver sends the next transfer only once the worker has completed the last, so
    // one set is enough (a second at once, were it ever to come, is allocated).
    UrbWorkContext embeddedWork;
    WorkItem embeddedItem;
    volatile LONG embeddedInUse;
    // The newest large write that may have had a piece go down unseen by the disk side (the unit's disk
    // could not be looked up, or the unit had no context or no known block length): no write up to this
    // one is ever matched, since its start may already have gone down and come back as a retry.
    volatile LONG blindWriteSequence;
};

NTSTATUS UsbRoleInitialize(UsbFilterExtension* extension);
void UsbRoleRelease(UsbFilterExtension* extension);
NTSTATUS DispatchUrb(PDEVICE_OBJECT device, PIRP irp);
LunContext* GetLunContext(UsbFilterExtension* extension, UCHAR lun);
LunContext* FindLunContext(UsbFilterExtension* extension, UCHAR lun);
ULONG ListLunContexts(UsbFilterExtension* extension, LunContext** contexts);
LunContext* CurrentLunContext(UsbFilterExtension* extension);
UrbWorkContext* WorkOf(WorkItem* item);
UsbFilterExtension* ExtensionOfWork(UrbWorkContext* work);
PURB UrbOfWork(UrbWorkContext* work);
DiskFilterExtension* FindDiskFilterForLun(UsbFilterExtension* extension, UCHAR lun);
DiskFilterExtension* LookUpDiskFilterForLun(UsbFilterExtension* extension, UCHAR lun, BOOLEAN* known);
void ReleaseDiskFilter(DiskFilterExtension* disk);
NTSTATUS RegisterDiskFilter(UsbFilterExtension* usb, DiskFilterExtension* disk);
void UnregisterDiskFilter(DiskFilterExtension* disk);
void ReplaceBusRelations(UsbFilterExtension* extension, PDEVICE_RELATIONS copy);
void FinishTakenOverTransfer(UrbWorkContext* context, NTSTATUS status);
// Completes a transfer the filter answered itself, with the outcome in its URB as in its IRP; a failure
// counts as passed on. The remove lock the transfer held is released.
void CompleteAnsweredTransfer(UsbFilterExtension* extension, PIRP irp, NTSTATUS status);
void HandleAnsweredFailure(WorkerThread* worker, WorkItem* item);
void HandleHeldSense(WorkerThread* worker, WorkItem* item);
void AnswerDeviceFailure(LunContext* context);
BOOLEAN AnswerFailureIfOwed(UsbFilterExtension* extension, LunContext* context);

//
// own_exchange.cpp — what the filter sends to the device itself, from the worker
//

NTSTATUS SubmitUrbSynchronously(UsbFilterExtension* extension, PURB urb);

// A flag another processor sets with an interlocked operation, read as one.
inline LONG ReadFlag(volatile LONG* flag)
{
    return InterlockedCompareExchange(flag, 0, 0);
}
NTSTATUS SubmitBulkTransfer(UsbFilterExtension* extension, USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer,
                            ULONG* length);
NTSTATUS SubmitPipeReset(UsbFilterExtension* extension, USBD_PIPE_HANDLE pipe);
void ResetRecovery(UsbFilterExtension* extension);
NTSTATUS FinishOwnExchange(UsbFilterExtension* extension, NTSTATUS dataStatus, BOOLEAN dataComplete,
                           ULONG tag);
NTSTATUS FetchSense(UsbFilterExtension* extension, UCHAR* sense);

//
// read_ahead.cpp — runs of READ(10) answered from a per-unit cache
//

BOOLEAN DecideReadAhead(UsbFilterExtension* extension, LunContext* context);
BOOLEAN CacheCoversCommand(UsbFilterExtension* extension, LunContext* context);
void EmptyReadCache(LunContext* context);
void DropCachedRange(LunContext* context, ULONGLONG start, ULONGLONG end);
void HandleReadAhead(WorkerThread* worker, WorkItem* item);
void HandleCachedRead(WorkerThread* worker, WorkItem* item);
NTSTATUS PerformReadAhead(UsbFilterExtension* extension, LunContext* context, PURB urb, BOOLEAN* forward);
NTSTATUS BuildReadAheadCbw(UsbFilterExtension* extension, LunContext* context, PURB urb, UCHAR* cbw,
                           ULONG* dataLength);
NTSTATUS CopyFromCache(UsbFilterExtension* extension, LunContext* context, PURB urb);

//
// write_coalescing.cpp — the pieces of a large write gathered into one WRITE(10)
//

void MatchLargeWrite(UsbFilterExtension* extension, LunContext* context);
void HandleCoalescedWrite(WorkerThread* worker, WorkItem* item);
void HandleFlushBeforeCommand(WorkerThread* worker, WorkItem* item);
void ForgetHeldWriteData(UsbFilterExtension* extension, LunContext* context);
NTSTATUS FlushWriteBuffer(UsbFilterExtension* extension, LunContext* context);

//
// unit_counters.cpp — what the filter did for each unit, counted and published in the device's key
//

void CountForUnit(LunContext* context, UnitCounter counter, LONG64 amount);
void CountClassCommand(LunContext* context, const UCHAR* cbw);
void CountDeviceCommand(LunContext* context, const UCHAR* cbw);
void CountCommandSent(UsbFilterExtension* extension, PURB urb);
void CountFailurePassedOn(UsbFilterExtension* extension);
void ResetUnitCounters(UsbFilterExtension* extension);
void PublishUnitCounters(PVOID usbExtension);
void PublishUnitCountersAtStop(UsbFilterExtension* extension);

//
// entry.cpp
//

// Non-executable non-paged pool where the system has it (Windows 8 on), plain non-paged pool before: the
// opt-in that drivers which also run on older systems make at entry.
extern POOL_TYPE KavfiltrNonPagedPool;
FilterRole ClassifyDevice(PDEVICE_OBJECT physicalDevice);
NTSTATUS FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);
BOOLEAN IsSystemVersionAtLeast(ULONG version);

//
// dispatch.cpp
//

NTSTATUS DispatchIrp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS HandlePnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS PassDown(FilterExtension* extension, PIRP irp);
NTSTATUS CompleteWithStatus(PIRP irp, NTSTATUS status);
