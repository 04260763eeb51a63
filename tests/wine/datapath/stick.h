// The stick driver's private header: a USB mass-storage stick and the Windows drivers around it, built as
// one test-only driver that Wine's ntoskrnl hosts, so that the shipped Kavfiltr.sys can be attached to its
// two device nodes and move data as it would on Windows. One section per file.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <srb.h>
#include <scsi.h>

#include "tests/wine/datapath/datapath_protocol.h"

#define STICK_TAG 'ktsK'
#define BLOCK_SIZE 512u
#define MEDIUM_BYTES (48u * 1024 * 1024)
#define MEDIUM_BLOCKS (MEDIUM_BYTES / BLOCK_SIZE)
#define PIECE_BYTES (64u * 1024)
#define BULK_IN_ENDPOINT 0x81
#define BULK_OUT_ENDPOINT 0x02

// Every device object of the harness starts its extension with its part, so one dispatch table serves all.
enum StickPart
{
    PartControl = 1,
    PartUsbDevice,
    PartMassStorage,
    PartDisk,
    PartDiskClass,
};

struct StickCommon
{
    enum StickPart part;
};

// Requests served one at a time, in the order they came, by a thread of their own.
typedef void (*IrpQueueHandler)(PVOID context, PIRP irp);

struct IrpQueue
{
    KSPIN_LOCK lock;
    LIST_ENTRY list;
    KSEMAPHORE queued;
    KEVENT ended;
    HANDLE thread;
    IrpQueueHandler handler;
    PVOID context;
    volatile LONG held;
    volatile LONG stopping;
};

//
// stick_medium.c — the stick itself: RAM medium, SCSI target and Bulk-Only Transport state
//

struct StickCounters
{
    volatile LONG readCommands;
    volatile LONG writeCommands;
    volatile LONG otherCommands;
    volatile LONG64 bytesRead;
    volatile LONG64 bytesWritten;
};

struct StickMedium
{
    UCHAR* bytes;
    BOOLEAN present;
    BOOLEAN writeProtected;
    volatile LONG gone;
    struct StickCounters counters;
    // Bulk-Only state, touched only by the host controller thread.
    enum
    {
        BotCommand,
        BotDataIn,
        BotDataOut,
        BotStatus
    } phase;
    ULONG tag;
    ULONG expected;
    ULONG transferred;
    UCHAR status;
    UCHAR* dataIn;
    ULONG dataInLength;
    UCHAR* dataOut;
    ULONG dataOutLength;
    UCHAR reply[64];
    UCHAR senseKey;
    UCHAR senseCode;
};

ULONG PatternWord(ULONG64 byteOffset, ULONG seed);
void FillPattern(UCHAR* bytes, ULONG64 byteOffset, ULONG length, ULONG seed);
NTSTATUS MediumCreate(struct StickMedium* medium, ULONG seed);
void MediumRelease(struct StickMedium* medium);
// One bulk transfer as the device sees it: returns the USBD status and the bytes moved.
USBD_STATUS MediumBulkTransfer(struct StickMedium* medium, BOOLEAN in, UCHAR* buffer, ULONG* length);
void MediumReset(struct StickMedium* medium);

//
// stick_bus.c — the USB device node's physical device object and its host controller thread
//

struct UsbDeviceExtension
{
    struct StickCommon common;
    PDEVICE_OBJECT self;
    struct StickMedium* medium;
    struct IrpQueue queue;
};

NTSTATUS UsbDeviceCreate(PDRIVER_OBJECT driver, struct StickMedium* medium, PDEVICE_OBJECT* device);
void UsbDeviceDelete(PDEVICE_OBJECT device);
NTSTATUS UsbDeviceDispatch(struct UsbDeviceExtension* extension, PIRP irp);

//
// stick_function.c — the mass-storage function driver: one Bulk-Only exchange at a time
//

struct MassStorageExtension
{
    struct StickCommon common;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT disk;
    USBD_PIPE_HANDLE bulkIn;
    USBD_PIPE_HANDLE bulkOut;
    ULONG tag;
    volatile LONG gone;
    struct IrpQueue queue;
};

NTSTATUS MassStorageAttach(PDRIVER_OBJECT driver, PDEVICE_OBJECT usbDevice, PDEVICE_OBJECT* device);
NTSTATUS MassStorageDispatch(struct MassStorageExtension* extension, PIRP irp);
// The disk's SCSI requests, queued for the exchange thread as the port's start-I/O queue would hold them.
NTSTATUS MassStorageQueueSrb(struct MassStorageExtension* extension, PIRP irp);

//
// stick_disk.c — the disk node: its physical device object and the disk class driver above it
//

struct DiskExtension
{
    struct StickCommon common;
    PDEVICE_OBJECT self;
    struct MassStorageExtension* parent;
};

struct DiskClassExtension
{
    struct StickCommon common;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    ULONG blockLength;
    ULONG blocks;
};

NTSTATUS DiskCreate(PDRIVER_OBJECT driver, struct MassStorageExtension* parent, PDEVICE_OBJECT* device);
NTSTATUS DiskDispatch(struct DiskExtension* extension, PIRP irp);
NTSTATUS DiskClassAttach(PDRIVER_OBJECT driver, PDEVICE_OBJECT disk, PDEVICE_OBJECT* device);
NTSTATUS DiskClassDispatch(struct DiskClassExtension* extension, PIRP irp);

//
// stick_irp.c — requests the harness sends itself, as the I/O and Plug and Play managers would
//

// Sends an IRP down and waits for it at PASSIVE_LEVEL; the IRP is the caller's to free.
NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS SendPnp(PDEVICE_OBJECT device, UCHAR minor, ULONG_PTR* information, DEVICE_RELATION_TYPE relation);
NTSTATUS SendUrb(PDEVICE_OBJECT device, PURB urb);
// An MDL that carries its system address, since Wine's kernel maps none itself.
PMDL MappedMdl(PVOID buffer, ULONG length);
// A physical device object's answer to Plug and Play: its IDs, success for the state changes.
NTSTATUS AnswerPdoPnp(PIRP irp, PCWSTR instanceId, PCWSTR deviceId);
NTSTATUS IrpQueueStart(struct IrpQueue* queue, IrpQueueHandler handler, PVOID context);
// Marks the IRP pending and queues it; refused with "not connected" once the queue is stopping.
NTSTATUS IrpQueueAdd(struct IrpQueue* queue, PIRP irp);
// Serves what is queued, then ends the thread and waits for it.
void IrpQueueStop(struct IrpQueue* queue);
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information);
NTSTATUS StartThread(PKSTART_ROUTINE routine, PVOID context, HANDLE* thread);

//
// stick_filter.c — Kavfiltr.sys loaded as Windows would load a filter, and counted at its imports
//

struct FilterCounts
{
    volatile LONG pool;
    volatile LONG poolPeak;
    volatile LONG irps;
    volatile LONG threads;
    volatile LONG unloaded;
};

extern struct FilterCounts FilterCounts;

NTSTATUS FilterLoad(PDRIVER_OBJECT* filter);
NTSTATUS FilterAddDevice(PDRIVER_OBJECT filter, PDEVICE_OBJECT physicalDevice);
NTSTATUS FilterUnload(PDRIVER_OBJECT filter);

//
// stick_stacks.c — the two device nodes, built, started and removed
//

struct StickStacks
{
    struct StickMedium medium;
    PDEVICE_OBJECT usbDevice;
    PDEVICE_OBJECT massStorage;
    PDEVICE_OBJECT disk;
    PDEVICE_OBJECT diskClass;
    BOOLEAN filtered;
    BOOLEAN usbStarted;
    BOOLEAN diskStarted;
    BOOLEAN surpriseRemoved;
    ULONG failedStep;
    NTSTATUS failedStatus;
};

NTSTATUS StacksBuild(PDRIVER_OBJECT driver, PDRIVER_OBJECT filter, struct StickStacks* stacks, ULONG seed,
                     BOOLEAN present, BOOLEAN writeProtected);
void StacksSurpriseRemove(struct StickStacks* stacks);
void StacksRemove(struct StickStacks* stacks);
PDEVICE_OBJECT StacksTop(struct StickStacks* stacks);

//
// stick_workload.c — what applications ask of the disk, checked byte by byte
//

NTSTATUS WorkloadRun(PDRIVER_OBJECT driver, PDRIVER_OBJECT filter, const struct DatapathRunRequest* request,
                     struct DatapathRunResult* result);
