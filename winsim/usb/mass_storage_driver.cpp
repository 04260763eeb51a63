// winsim: the mass-storage function driver model (see mass_storage_driver.h). One driver object owns two
// kinds of devices: the functional device object (FDO) on the USB device's stack, which runs the Bulk-Only
// exchanges, and one child PDO per logical unit, which takes the disk class driver's request blocks and
// queues them at the FDO.
#include "winsim/usb/mass_storage_driver.h"

#include "winsim/usb/bot_wire.h"
#include "winsim/usb/scsi_defs.h"
#include "winsim/usb/srb.h"

#include "winsim/kernel/winsim_kernel.h"
#include <usbdlib.h>
#include <usbdrivr.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

namespace winsim::usb
{
namespace
{

constexpr ULONG kPoolTag = PoolTag("UMsd");
constexpr ULONG kFdoKind = 0x4F44464D; // "MFDO"
constexpr ULONG kPdoKind = 0x4F44504D; // "MPDO"
constexpr UCHAR kRequestMassStorageReset = 0xFF;
constexpr UCHAR kRequestGetMaxLun = 0xFE;
constexpr ULONG kSenseLength = scsi::kFixedSenseLength;
constexpr ULONG kInquiryLength = scsi::kStandardInquiryLength;
constexpr ULONG kMaxLuns = 16;
// A misuse of the request-block interface by the driver above; the first bug-check parameter.
constexpr ULONG_PTR kSrbMisuse = 0x2101;

// The Bulk-Only exchange (or recovery step) whose URB is in flight or was last completed.
enum class Step
{
    Start,       // a request became current: nothing sent yet
    Command,     // command wrapper on bulk OUT
    Data,        // data on bulk IN or OUT, by MDL
    ClearData,   // clearing the data pipe after the device stalled it
    Status,      // status wrapper on bulk IN
    ClearStatus, // clearing bulk IN after the status read stalled
    StatusAgain, // the one further status read after that clear
    ResetDevice, // reset recovery: Bulk-Only Mass Storage Reset
    ResetIn,     // reset recovery: reset and clear-stall of bulk IN
    ResetOut,    // reset recovery: reset and clear-stall of bulk OUT
};

// One request block, waiting or running. Child requests come with the IRP that carries them; the
// driver's own commands at start come with an event to signal.
struct Request
{
    PIRP irp = nullptr;
    PSCSI_REQUEST_BLOCK srb = nullptr;
    PDEVICE_OBJECT pdo = nullptr; // whose remove lock the IRP holds
    PKEVENT done = nullptr;
    PMDL ownMdl = nullptr; // own commands: MDL over the data buffer in pool
};

struct FdoExtension;

// What a child PDO knows about its unit.
struct PdoExtension
{
    ULONG kind;
    FdoExtension* fdo;
    PDEVICE_OBJECT self;
    UCHAR lun;
    BOOLEAN removed;   // IRP_MN_REMOVE_DEVICE seen (the PDO stays while its unit is present)
    BOOLEAN surprised; // IRP_MN_SURPRISE_REMOVAL seen
    IO_REMOVE_LOCK removeLock;
    UCHAR inquiry[kInquiryLength];
    ULONG inquiryLength;
};

// The parts of the FDO's state that the host's containers hold.
struct FdoQueue
{
    std::deque<Request> waiting;
    std::vector<PDEVICE_OBJECT> children; // in unit order; a child leaves when it is deleted
    std::vector<bool> missing;            // per child: no longer reported (its device left)
};

struct FdoExtension
{
    ULONG kind;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT physical;
    PDEVICE_OBJECT lower;
    IO_REMOVE_LOCK removeLock;
    KSPIN_LOCK lock; // guards queue, running, gone
    FdoQueue* queue; // host containers, created in AddDevice
    BOOLEAN running; // a request is current and its exchange in progress
    BOOLEAN gone;    // surprise removal or removal: nothing more goes to the device
    BOOLEAN started;
    UCHAR interfaceNumber;
    UCHAR maxLun;
    USBD_PIPE_HANDLE bulkIn;
    USBD_PIPE_HANDLE bulkOut;
    USBD_PIPE_HANDLE interruptIn;
    PUSB_CONFIGURATION_DESCRIPTOR configuration; // pool, kept while configured

    // The running exchange. Only the holder of `running` touches these.
    Request current;
    Step step;
    bool inSense; // the exchange is the REQUEST SENSE after a failed command
    ULONG tag;
    UCHAR cbw[kCbwLength];
    UCHAR csw[kCswLength];
    ULONG expected; // dCBWDataTransferLength of the exchange
    bool dataIn;
    ULONG moved;        // bytes the data phase moved
    PMDL dataMdl;       // partial MDL of the running data URB
    UCHAR outcome;      // SrbStatus the request gets after reset recovery
    ULONG transferred;  // bytes of the failed command, kept across its REQUEST SENSE
    UCHAR* senseBuffer; // pool, kSenseLength
    PMDL senseMdl;
    URB urb;
    PIRP urbIrp;        // carries every URB of the engine, reused: see Pump
    NTSTATUS urbStatus; // IoStatus.Status of the last URB
    LONG handoff;       // who sends the next URB: see Pump

    MassStorageCounters counters; // under `lock`
};

static_assert(std::is_trivially_destructible<FdoExtension>::value,
              "the device extension is freed, not destroyed");

constexpr LONG kSending = 0;
constexpr LONG kDispatched = 1;
constexpr LONG kCompleted = 2;

ULONG KindOf(PDEVICE_OBJECT device)
{
    return *static_cast<ULONG*>(device->DeviceExtension);
}

FdoExtension* FdoOf(PDEVICE_OBJECT device)
{
    return static_cast<FdoExtension*>(device->DeviceExtension);
}

PdoExtension* PdoOf(PDEVICE_OBJECT device)
{
    return static_cast<PdoExtension*>(device->DeviceExtension);
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---- Synchronous helpers (PASSIVE_LEVEL only: start-up) ---------------------------------------------

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned)
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes an IRP down and waits for it: the start of a function driver runs after its lower stack started.
NTSTATUS ForwardAndWait(FdoExtension* fdo, PIRP irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(fdo->lower, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

// One URB, sent and waited for, the way a driver configures its device at start.
NTSTATUS SubmitUrbAndWait(FdoExtension* fdo, PURB urb)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, fdo->lower, nullptr, 0, nullptr,
                                             0, TRUE, &event, &iosb);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    NTSTATUS status = IofCallDriver(fdo->lower, irp);
    if (status == STATUS_PENDING)
    {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

// ---- The exchange engine ------------------------------------------------------------------------------

void PrepareBulk(FdoExtension* fdo, USBD_PIPE_HANDLE pipe, PVOID buffer, PMDL mdl, ULONG length, ULONG flags)
{
    RtlZeroMemory(&fdo->urb, sizeof(fdo->urb));
    UsbBuildInterruptOrBulkTransferRequest(&fdo->urb, USHORT(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)), pipe,
                                           buffer, mdl, length, flags, nullptr);
}

void PreparePipeReset(FdoExtension* fdo, USBD_PIPE_HANDLE pipe)
{
    RtlZeroMemory(&fdo->urb, sizeof(fdo->urb));
    fdo->urb.UrbHeader.Length = USHORT(sizeof(_URB_PIPE_REQUEST));
    fdo->urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    fdo->urb.UrbPipeRequest.PipeHandle = pipe;
}

void PrepareClassRequest(FdoExtension* fdo, UCHAR request, PVOID buffer, ULONG length, ULONG flags)
{
    RtlZeroMemory(&fdo->urb, sizeof(fdo->urb));
    auto& r = fdo->urb.UrbControlVendorClassRequest;
    r.Hdr.Length = USHORT(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    r.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    r.TransferFlags = flags;
    r.TransferBuffer = buffer;
    r.TransferBufferLength = length;
    r.Request = request;
    r.Index = fdo->interfaceNumber;
}

// Whether the last URB failed because the device left the bus, or after the PnP manager said it left:
// there is nothing to recover then, and no URB may follow to a PDO that is going away.
bool DeviceGone(FdoExtension* fdo)
{
    if (fdo->urbStatus == STATUS_DEVICE_NOT_CONNECTED || fdo->urb.UrbHeader.Status == USBD_STATUS_DEVICE_GONE)
        return true;
    if (NT_SUCCESS(fdo->urbStatus) && USBD_SUCCESS(fdo->urb.UrbHeader.Status))
        return false;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
    const bool gone = fdo->gone != FALSE;
    KeReleaseSpinLock(&fdo->lock, irql);
    return gone;
}

bool Stalled(FdoExtension* fdo)
{
    return fdo->urb.UrbHeader.Status == USBD_STATUS_STALL_PID;
}

// A partial MDL for the piece of the request's buffer that one data URB moves (IoBuildPartialMdl): it
// shares the source's locked pages, so it can be built at DISPATCH_LEVEL.
PMDL BuildPartialMdl(PMDL source, PVOID address, ULONG length)
{
    PMDL mdl = IoAllocateMdl(address, length, FALSE, FALSE, nullptr);
    if (mdl == nullptr)
        return nullptr;
    mdl->MdlFlags |=
        CSHORT(MDL_PARTIAL | (source->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)));
    if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)
        mdl->MappedSystemVa = address;
    return mdl;
}

void FreeDataMdl(FdoExtension* fdo)
{
    if (fdo->dataMdl != nullptr)
    {
        IoFreeMdl(fdo->dataMdl);
        fdo->dataMdl = nullptr;
    }
}

// The command wrapper of the running exchange: the request's own, or REQUEST SENSE after its failure.
void PrepareCommand(FdoExtension* fdo)
{
    PSCSI_REQUEST_BLOCK srb = fdo->current.srb;
    ++fdo->tag;
    fdo->moved = 0;
    CommandBlockWrapper cbw;
    if (fdo->inSense)
    {
        const uint8_t cdb[6] = {scsi::kRequestSense, 0, 0, 0, uint8_t(kSenseLength), 0};
        cbw = MakeCbw(fdo->tag, kSenseLength, true, srb->Lun, cdb, sizeof cdb);
        fdo->expected = kSenseLength;
        fdo->dataIn = true;
    }
    else
    {
        fdo->expected = srb->DataTransferLength;
        fdo->dataIn = (srb->SrbFlags & SRB_FLAGS_DATA_IN) != 0;
        cbw = MakeCbw(fdo->tag, fdo->expected, fdo->dataIn, srb->Lun, srb->Cdb, srb->CdbLength);
    }
    std::memcpy(fdo->cbw, &cbw, kCbwLength);
    fdo->step = Step::Command;
    PrepareBulk(fdo, fdo->bulkOut, fdo->cbw, nullptr, kCbwLength, USBD_TRANSFER_DIRECTION_OUT);
}

// The data URB of the running exchange, by MDL as the real driver sends it. False: no MDL could be built.
bool PrepareData(FdoExtension* fdo)
{
    PMDL source = fdo->inSense                  ? fdo->senseMdl
                  : fdo->current.irp != nullptr ? fdo->current.irp->MdlAddress
                                                : fdo->current.ownMdl;
    PVOID address = fdo->inSense ? static_cast<PVOID>(fdo->senseBuffer) : fdo->current.srb->DataBuffer;
    fdo->dataMdl = BuildPartialMdl(source, address, fdo->expected);
    if (fdo->dataMdl == nullptr)
        return false;
    fdo->step = Step::Data;
    PrepareBulk(fdo, fdo->dataIn ? fdo->bulkIn : fdo->bulkOut, nullptr, fdo->dataMdl, fdo->expected,
                fdo->dataIn ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK
                            : USBD_TRANSFER_DIRECTION_OUT);
    return true;
}

void PrepareStatus(FdoExtension* fdo, Step step)
{
    std::memset(fdo->csw, 0, sizeof fdo->csw);
    fdo->step = step;
    PrepareBulk(fdo, fdo->bulkIn, fdo->csw, nullptr, kCswLength,
                USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
}

// Reset recovery: the exchange is lost, the request fails with `outcome` once the device is reset.
void PrepareResetRecovery(FdoExtension* fdo, UCHAR outcome)
{
    FreeDataMdl(fdo);
    fdo->outcome = outcome;
    fdo->step = Step::ResetDevice;
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
        ++fdo->counters.resetRecoveries;
        KeReleaseSpinLock(&fdo->lock, irql);
    }
    PrepareClassRequest(fdo, kRequestMassStorageReset, nullptr, 0, USBD_TRANSFER_DIRECTION_OUT);
}

NTSTATUS StatusOfSrb(UCHAR srbStatus)
{
    switch (SRB_STATUS(srbStatus))
    {
    case SRB_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case SRB_STATUS_NO_DEVICE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case SRB_STATUS_INVALID_REQUEST:
        return STATUS_INVALID_DEVICE_REQUEST;
    case SRB_STATUS_DATA_OVERRUN:
        return STATUS_DATA_OVERRUN;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

// Hands a finished request back: the child's IRP is completed, an own command's waiter woken. The FDO's
// remove lock that the request holds is left to the caller, which releases it as its last touch of the
// FDO; the returned tag names it.
PVOID CompleteRequest(FdoExtension* fdo, const Request& request, UCHAR srbStatus)
{
    request.srb->SrbStatus = srbStatus;
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
        if (SRB_STATUS(srbStatus) != SRB_STATUS_SUCCESS)
            ++fdo->counters.failedRequests;
        KeReleaseSpinLock(&fdo->lock, irql);
    }
    if (request.irp != nullptr)
    {
        PIRP irp = request.irp;
        irp->IoStatus.Status = StatusOfSrb(srbStatus);
        irp->IoStatus.Information = request.srb->DataTransferLength;
        IoReleaseRemoveLock(&PdoOf(request.pdo)->removeLock, irp);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return irp;
    }
    KeSetEvent(request.done, IO_NO_INCREMENT, FALSE); // the waiter's stack holds the request block
    return request.done;
}

// Finishes the current request and makes the next waiting one current. True: its first URB is prepared.
// False: nothing runs, and the FDO may be gone as soon as the remove lock is released here.
bool FinishCurrent(FdoExtension* fdo, UCHAR srbStatus)
{
    FreeDataMdl(fdo);
    const Request finished = fdo->current;
    fdo->current = Request{};
    PVOID tag = CompleteRequest(fdo, finished, srbStatus);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
    if (fdo->queue->waiting.empty())
    {
        fdo->running = FALSE;
        KeReleaseSpinLock(&fdo->lock, irql);
        IoReleaseRemoveLock(&fdo->removeLock, tag);
        return false;
    }
    fdo->current = fdo->queue->waiting.front();
    fdo->queue->waiting.pop_front();
    KeReleaseSpinLock(&fdo->lock, irql);
    IoReleaseRemoveLock(&fdo->removeLock, tag); // the next request holds the FDO now
    fdo->step = Step::Start;
    return true;
}

// The request's own exchange ended with a valid status wrapper.
void RecordPassedOrFailed(FdoExtension* fdo, ULONG residue)
{
    const ULONG accepted = fdo->expected - residue;
    fdo->transferred = fdo->moved < accepted ? fdo->moved : accepted;
}

// Decides what follows the URB of fdo->step, given its result. True: the next URB is prepared in
// fdo->urb; false: nothing is running any more.
bool Continue(FdoExtension* fdo)
{
    for (;;)
    {
        const USBD_STATUS usbd = fdo->urb.UrbHeader.Status;
        const bool ok = NT_SUCCESS(fdo->urbStatus) && USBD_SUCCESS(usbd);
        switch (fdo->step)
        {
        case Step::Start: {
            bool gone;
            {
                KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
                gone = fdo->gone;
                ++fdo->counters.commands;
                KeReleaseSpinLock(&fdo->lock, irql);
            }
            fdo->inSense = false;
            fdo->transferred = 0;
            if (gone)
            {
                fdo->current.srb->DataTransferLength = 0;
                if (!FinishCurrent(fdo, SRB_STATUS_NO_DEVICE))
                    return false;
                continue;
            }
            PrepareCommand(fdo);
            return true;
        }
        case Step::Command:
            if (DeviceGone(fdo))
                break;
            if (!ok)
            {
                PrepareResetRecovery(fdo, SRB_STATUS_BUS_RESET);
                return true;
            }
            if (fdo->expected == 0)
            {
                PrepareStatus(fdo, Step::Status);
                return true;
            }
            if (!PrepareData(fdo))
            {
                // Without the data phase the device waits for data it will not get: start over.
                PrepareResetRecovery(fdo, SRB_STATUS_ERROR);
                return true;
            }
            return true;
        case Step::Data:
            FreeDataMdl(fdo);
            fdo->moved = fdo->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
            if (fdo->moved > fdo->expected)
                fdo->moved = fdo->expected;
            if (DeviceGone(fdo))
                break;
            if (ok)
            {
                PrepareStatus(fdo, Step::Status);
                return true;
            }
            if (Stalled(fdo))
            {
                // The device ended the data phase with a stall: clear it and read the status wrapper.
                fdo->step = Step::ClearData;
                PreparePipeReset(fdo, fdo->dataIn ? fdo->bulkIn : fdo->bulkOut);
                return true;
            }
            PrepareResetRecovery(fdo, SRB_STATUS_BUS_RESET);
            return true;
        case Step::ClearData:
            if (DeviceGone(fdo))
                break;
            if (!ok)
            {
                PrepareResetRecovery(fdo, SRB_STATUS_BUS_RESET);
                return true;
            }
            PrepareStatus(fdo, Step::Status);
            return true;
        case Step::ClearStatus:
            if (DeviceGone(fdo))
                break;
            if (!ok)
            {
                PrepareResetRecovery(fdo, SRB_STATUS_BUS_RESET);
                return true;
            }
            PrepareStatus(fdo, Step::StatusAgain);
            return true;
        case Step::Status:
        case Step::StatusAgain: {
            if (DeviceGone(fdo))
                break;
            if (!ok)
            {
                if (Stalled(fdo) && fdo->step == Step::Status)
                {
                    fdo->step = Step::ClearStatus;
                    PreparePipeReset(fdo, fdo->bulkIn);
                    return true;
                }
                PrepareResetRecovery(fdo, SRB_STATUS_BUS_RESET);
                return true;
            }
            const ULONG length = fdo->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
            const ULONG residue = ReadLe32(fdo->csw + 8);
            const UCHAR status = fdo->csw[12];
            if (length != kCswLength || ReadLe32(fdo->csw) != kCswSignature ||
                ReadLe32(fdo->csw + 4) != fdo->tag || residue > fdo->expected ||
                status > UCHAR(CswStatus::PhaseError))
            {
                PrepareResetRecovery(fdo, SRB_STATUS_BUS_RESET); // not a valid, meaningful status wrapper
                return true;
            }
            if (status == UCHAR(CswStatus::PhaseError))
            {
                PrepareResetRecovery(fdo, SRB_STATUS_BUS_RESET);
                return true;
            }
            PSCSI_REQUEST_BLOCK srb = fdo->current.srb;
            if (fdo->inSense)
            {
                // The failed command's outcome, with the sense data when REQUEST SENSE delivered it.
                srb->DataTransferLength = fdo->transferred;
                srb->ScsiStatus = SCSISTAT_CHECK_CONDITION;
                UCHAR result = SRB_STATUS_ERROR;
                const ULONG senseBytes =
                    fdo->moved < fdo->expected - residue ? fdo->moved : fdo->expected - residue;
                if (status == UCHAR(CswStatus::Passed) && senseBytes >= 8 &&
                    srb->SenseInfoBuffer != nullptr && srb->SenseInfoBufferLength != 0)
                {
                    const ULONG copy =
                        senseBytes < srb->SenseInfoBufferLength ? senseBytes : srb->SenseInfoBufferLength;
                    std::memcpy(srb->SenseInfoBuffer, fdo->senseBuffer, copy);
                    result |= SRB_STATUS_AUTOSENSE_VALID;
                }
                if (!FinishCurrent(fdo, result))
                    return false;
                continue;
            }
            RecordPassedOrFailed(fdo, residue);
            if (status == UCHAR(CswStatus::Failed))
            {
                {
                    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
                    ++fdo->counters.requestSenses;
                    KeReleaseSpinLock(&fdo->lock, irql);
                }
                fdo->inSense = true;
                PrepareCommand(fdo);
                return true;
            }
            srb->ScsiStatus = SCSISTAT_GOOD;
            srb->DataTransferLength = fdo->transferred;
            if (!FinishCurrent(fdo, fdo->transferred < fdo->expected ? SRB_STATUS_DATA_OVERRUN
                                                                     : SRB_STATUS_SUCCESS))
                return false;
            continue;
        }
        case Step::ResetDevice:
            if (DeviceGone(fdo))
                break;
            fdo->step = Step::ResetIn;
            PreparePipeReset(fdo, fdo->bulkIn);
            return true;
        case Step::ResetIn:
            if (DeviceGone(fdo))
                break;
            fdo->step = Step::ResetOut;
            PreparePipeReset(fdo, fdo->bulkOut);
            return true;
        case Step::ResetOut: {
            if (DeviceGone(fdo))
                break;
            fdo->current.srb->DataTransferLength = fdo->inSense ? fdo->transferred : 0;
            if (!FinishCurrent(fdo, fdo->outcome))
                return false;
            continue;
        }
        }
        // The device has left the bus: the request fails at once, without recovery.
        FreeDataMdl(fdo);
        fdo->current.srb->DataTransferLength = 0;
        if (!FinishCurrent(fdo, SRB_STATUS_NO_DEVICE))
            return false;
    }
}

void Pump(FdoExtension* fdo);

// Completion of every URB the engine sends. The next URB goes out from here when the sender has already
// returned (the URB was pending); otherwise the sender's loop in Pump sends it, so a device whose URBs
// complete at once does not nest one exchange inside the other on the stack.
NTSTATUS UrbCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* fdo = static_cast<FdoExtension*>(context);
    fdo->urbStatus = irp->IoStatus.Status;
    if (InterlockedCompareExchange(&fdo->handoff, kCompleted, kSending) == kSending)
        return STATUS_MORE_PROCESSING_REQUIRED;
    if (Continue(fdo))
        Pump(fdo);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the prepared URB, and the ones after it as long as each completes before IofCallDriver returns.
// One IRP, allocated with the FDO, carries them all: only one URB is ever in flight, and an IRP that is
// reused rather than freed and allocated again cannot fail for want of pool in the middle of an exchange.
void Pump(FdoExtension* fdo)
{
    for (;;)
    {
        PIRP irp = fdo->urbIrp;
        IoReuseIrp(irp, STATUS_SUCCESS);
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        sp->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        sp->Parameters.Others.Argument1 = &fdo->urb;
        IoSetCompletionRoutine(irp, UrbCompletion, fdo, TRUE, TRUE, TRUE);
        InterlockedExchange(&fdo->handoff, kSending);
        IofCallDriver(fdo->lower, irp);
        if (InterlockedCompareExchange(&fdo->handoff, kDispatched, kSending) == kSending)
            return; // still in flight: its completion routine carries on
        if (!Continue(fdo))
            return;
    }
}

// Queues a request at the FDO; when none is running it becomes current and its exchange starts on this
// thread. False: the device is gone, the request was not taken.
bool Enqueue(FdoExtension* fdo, const Request& request)
{
    PVOID tag = request.irp != nullptr ? static_cast<PVOID>(request.irp) : static_cast<PVOID>(request.done);
    if (!NT_SUCCESS(IoAcquireRemoveLock(&fdo->removeLock, tag)))
        return false;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
    if (fdo->gone)
    {
        KeReleaseSpinLock(&fdo->lock, irql);
        IoReleaseRemoveLock(&fdo->removeLock, tag);
        return false;
    }
    if (fdo->running)
    {
        fdo->queue->waiting.push_back(request);
        if (fdo->queue->waiting.size() > fdo->counters.maxQueued)
            fdo->counters.maxQueued = fdo->queue->waiting.size();
        KeReleaseSpinLock(&fdo->lock, irql);
        return true;
    }
    fdo->running = TRUE;
    fdo->current = request;
    fdo->step = Step::Start;
    KeReleaseSpinLock(&fdo->lock, irql);
    if (Continue(fdo))
        Pump(fdo);
    return true;
}

// Fails every waiting request: the device is gone. The running one ends through its failing URBs.
void FailWaiting(FdoExtension* fdo)
{
    std::deque<Request> failed;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
    fdo->gone = TRUE;
    failed.swap(fdo->queue->waiting);
    KeReleaseSpinLock(&fdo->lock, irql);
    for (const Request& request : failed)
    {
        request.srb->DataTransferLength = 0;
        IoReleaseRemoveLock(&fdo->removeLock, CompleteRequest(fdo, request, SRB_STATUS_NO_DEVICE));
    }
}

// One of the driver's own commands at start, run through the same engine and waited for.
UCHAR RunOwnCommand(FdoExtension* fdo, UCHAR lun, const UCHAR* cdb, UCHAR cdbLength, PVOID buffer,
                    ULONG length, ULONG* transferred)
{
    SCSI_REQUEST_BLOCK srb{};
    UCHAR sense[kSenseLength] = {};
    srb.Length = sizeof srb;
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.Lun = lun;
    srb.CdbLength = cdbLength;
    std::memcpy(srb.Cdb, cdb, cdbLength);
    srb.DataTransferLength = length;
    srb.DataBuffer = buffer;
    srb.SrbFlags = length != 0 ? SRB_FLAGS_DATA_IN : SRB_FLAGS_NO_DATA_TRANSFER;
    srb.SenseInfoBuffer = sense;
    srb.SenseInfoBufferLength = sizeof sense;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    Request request;
    request.srb = &srb;
    request.done = &done;
    if (length != 0)
    {
        request.ownMdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
        if (request.ownMdl == nullptr)
            return SRB_STATUS_ERROR;
        MmBuildMdlForNonPagedPool(request.ownMdl);
    }
    UCHAR result = SRB_STATUS_NO_DEVICE;
    if (Enqueue(fdo, request))
    {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        result = srb.SrbStatus;
    }
    if (request.ownMdl != nullptr)
        IoFreeMdl(request.ownMdl);
    *transferred = srb.DataTransferLength;
    return result;
}

// ---- Start: configuration and units -------------------------------------------------------------------

NTSTATUS ReadDescriptor(FdoExtension* fdo, UCHAR type, PVOID buffer, ULONG length, ULONG* got)
{
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, USHORT(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)), type, 0, 0, buffer,
                                 nullptr, length, nullptr);
    NTSTATUS status = SubmitUrbAndWait(fdo, &urb);
    *got = urb.UrbControlDescriptorRequest.TransferBufferLength;
    return status;
}

// Reads the descriptors, finds the Bulk-Only interface and selects the configuration with its pipes.
NTSTATUS SelectConfiguration(FdoExtension* fdo)
{
    USB_DEVICE_DESCRIPTOR device{};
    ULONG got = 0;
    NTSTATUS status = ReadDescriptor(fdo, USB_DEVICE_DESCRIPTOR_TYPE, &device, sizeof device, &got);
    if (!NT_SUCCESS(status) || got != sizeof device || device.bNumConfigurations == 0)
        return NT_SUCCESS(status) ? STATUS_DEVICE_PROTOCOL_ERROR : status;
    USB_CONFIGURATION_DESCRIPTOR head{};
    status = ReadDescriptor(fdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, &head, sizeof head, &got);
    if (!NT_SUCCESS(status) || got != sizeof head || head.wTotalLength < sizeof head)
        return NT_SUCCESS(status) ? STATUS_DEVICE_PROTOCOL_ERROR : status;
    auto* configuration = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ExAllocatePoolWithTag(NonPagedPool, head.wTotalLength, kPoolTag));
    if (configuration == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = ReadDescriptor(fdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration, head.wTotalLength, &got);
    if (!NT_SUCCESS(status) || got != head.wTotalLength)
    {
        ExFreePoolWithTag(configuration, kPoolTag);
        return NT_SUCCESS(status) ? STATUS_DEVICE_PROTOCOL_ERROR : status;
    }
    // Walk the descriptors for the first mass-storage interface and count its endpoints.
    const auto* bytes = reinterpret_cast<const UCHAR*>(configuration);
    const USB_INTERFACE_DESCRIPTOR* interfaceDescriptor = nullptr;
    ULONG endpoints = 0;
    for (ULONG offset = 0; offset + 2 <= got && bytes[offset] >= 2;)
    {
        const UCHAR length = bytes[offset];
        const UCHAR type = bytes[offset + 1];
        if (offset + length > got)
            break;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR))
        {
            if (interfaceDescriptor != nullptr)
                break;
            const auto* candidate = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(bytes + offset);
            if (candidate->bInterfaceClass == 0x08 && candidate->bInterfaceProtocol == 0x50)
                interfaceDescriptor = candidate;
        }
        else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && interfaceDescriptor != nullptr)
        {
            ++endpoints;
        }
        offset += length;
    }
    if (interfaceDescriptor == nullptr || endpoints < 2)
    {
        ExFreePoolWithTag(configuration, kPoolTag);
        return STATUS_DEVICE_PROTOCOL_ERROR;
    }
    const ULONG size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, endpoints);
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kPoolTag));
    if (urb == nullptr)
    {
        ExFreePoolWithTag(configuration, kPoolTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(urb, size);
    UsbBuildSelectConfigurationRequest(urb, USHORT(size), configuration);
    USBD_INTERFACE_INFORMATION& info = urb->UrbSelectConfiguration.Interface;
    info.Length = USHORT(GET_USBD_INTERFACE_SIZE(endpoints));
    info.InterfaceNumber = interfaceDescriptor->bInterfaceNumber;
    info.AlternateSetting = interfaceDescriptor->bAlternateSetting;
    info.NumberOfPipes = endpoints;
    for (ULONG i = 0; i < endpoints; ++i)
        info.Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    status = SubmitUrbAndWait(fdo, urb);
    if (NT_SUCCESS(status))
    {
        // The pipe handles are the bus driver's answer; the endpoint addresses say which is which.
        fdo->interfaceNumber = info.InterfaceNumber;
        for (ULONG i = 0; i < info.NumberOfPipes && i < endpoints; ++i)
        {
            const USBD_PIPE_INFORMATION& pipe = info.Pipes[i];
            if (pipe.PipeType == UsbdPipeTypeBulk && (pipe.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK))
                fdo->bulkIn = pipe.PipeHandle;
            else if (pipe.PipeType == UsbdPipeTypeBulk)
                fdo->bulkOut = pipe.PipeHandle;
            else if (pipe.PipeType == UsbdPipeTypeInterrupt)
                fdo->interruptIn = pipe.PipeHandle;
        }
        if (fdo->bulkIn == nullptr || fdo->bulkOut == nullptr)
            status = STATUS_DEVICE_PROTOCOL_ERROR;
    }
    ExFreePoolWithTag(urb, kPoolTag);
    if (NT_SUCCESS(status))
        fdo->configuration = configuration;
    else
        ExFreePoolWithTag(configuration, kPoolTag);
    return status;
}

// Get Max LUN; a device that stalls it has one unit, as the Bulk-Only Transport allows.
UCHAR GetMaxLun(FdoExtension* fdo)
{
    UCHAR* maxLun = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 1, kPoolTag));
    if (maxLun == nullptr)
        return 0;
    *maxLun = 0;
    PrepareClassRequest(fdo, kRequestGetMaxLun, maxLun, 1,
                        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
    URB urb = fdo->urb;
    const NTSTATUS status = SubmitUrbAndWait(fdo, &urb);
    UCHAR result =
        NT_SUCCESS(status) && urb.UrbControlVendorClassRequest.TransferBufferLength == 1 ? *maxLun : 0;
    ExFreePoolWithTag(maxLun, kPoolTag);
    return result < kMaxLuns ? result : UCHAR(kMaxLuns - 1);
}

NTSTATUS CreateChild(FdoExtension* fdo, UCHAR lun, const UCHAR* inquiry, ULONG inquiryLength)
{
    PDEVICE_OBJECT pdo = nullptr;
    const bool removable = inquiryLength > 1 && (inquiry[1] & 0x80) != 0;
    NTSTATUS status = IoCreateDevice(
        fdo->self->DriverObject, sizeof(PdoExtension), nullptr, FILE_DEVICE_MASS_STORAGE,
        FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN | (removable ? FILE_REMOVABLE_MEDIA : 0),
        FALSE, &pdo);
    if (!NT_SUCCESS(status))
        return status;
    auto* extension = PdoOf(pdo);
    extension->kind = kPdoKind;
    extension->fdo = fdo;
    extension->self = pdo;
    extension->lun = lun;
    IoInitializeRemoveLock(&extension->removeLock, kPoolTag, 0, 0);
    extension->inquiryLength = inquiryLength < kInquiryLength ? inquiryLength : kInquiryLength;
    std::memcpy(extension->inquiry, inquiry, extension->inquiryLength);
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_DIRECT_IO | DO_POWER_PAGABLE;
    pdo->AlignmentRequirement = 0;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    // The PnP manager's store: the enumerator a child of this driver is found under.
    SetDevicePropertyString(pdo, DevicePropertyEnumeratorName, u"USBSTOR");
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
    fdo->queue->children.push_back(pdo);
    fdo->queue->missing.push_back(false);
    KeReleaseSpinLock(&fdo->lock, irql);
    return STATUS_SUCCESS;
}

// Discovers the units: Get Max LUN, then INQUIRY and READ CAPACITY(10) for each, and a child for each.
NTSTATUS StartUnits(FdoExtension* fdo)
{
    fdo->maxLun = GetMaxLun(fdo);
    auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kInquiryLength, kPoolTag));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_SUCCESS;
    for (UCHAR lun = 0; lun <= fdo->maxLun && NT_SUCCESS(status); ++lun)
    {
        RtlZeroMemory(buffer, kInquiryLength);
        const UCHAR inquiry[6] = {scsi::kInquiry, 0, 0, 0, UCHAR(kInquiryLength), 0};
        ULONG got = 0;
        const UCHAR result = RunOwnCommand(fdo, lun, inquiry, sizeof inquiry, buffer, kInquiryLength, &got);
        if (SRB_STATUS(result) == SRB_STATUS_NO_DEVICE)
        {
            status = STATUS_DEVICE_NOT_CONNECTED;
            break;
        }
        UCHAR inquiryData[kInquiryLength];
        std::memcpy(inquiryData, buffer, kInquiryLength);
        const ULONG inquiryLength = SRB_STATUS(result) == SRB_STATUS_SUCCESS ? got : 0;
        // READ CAPACITY(10) here only primes the unit; the disk class driver asks again for itself.
        const UCHAR capacity[10] = {scsi::kReadCapacity10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        RunOwnCommand(fdo, lun, capacity, sizeof capacity, buffer, 8, &got);
        status = CreateChild(fdo, lun, inquiryData, inquiryLength);
    }
    ExFreePoolWithTag(buffer, kPoolTag);
    return status;
}

NTSTATUS StartFdo(FdoExtension* fdo, PIRP irp)
{
    NTSTATUS status = ForwardAndWait(fdo, irp);
    if (NT_SUCCESS(status) && !fdo->started)
    {
        status = SelectConfiguration(fdo);
        if (NT_SUCCESS(status))
            status = StartUnits(fdo);
        if (NT_SUCCESS(status))
            fdo->started = TRUE;
    }
    return CompleteIrp(irp, status, irp->IoStatus.Information);
}

// Bus relations: the children still present, in unit order, each referenced for the PnP manager, added
// to whatever a driver above already reported.
NTSTATUS QueryBusRelations(FdoExtension* fdo, PIRP irp)
{
    std::vector<PDEVICE_OBJECT> present;
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
        for (size_t i = 0; i < fdo->queue->children.size(); ++i)
        {
            if (!fdo->queue->missing[i])
                present.push_back(fdo->queue->children[i]);
        }
        KeReleaseSpinLock(&fdo->lock, irql);
    }
    auto* previous = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    const ULONG previousCount = previous != nullptr ? previous->Count : 0;
    const ULONG count = previousCount + ULONG(present.size());
    const size_t size = sizeof(DEVICE_RELATIONS) + (count > 0 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kPoolTag));
    if (relations == nullptr)
    {
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    relations->Count = count;
    for (ULONG i = 0; i < previousCount; ++i)
        relations->Objects[i] = previous->Objects[i];
    for (size_t i = 0; i < present.size(); ++i)
    {
        ObfReferenceObject(present[i]);
        relations->Objects[previousCount + i] = present[i];
    }
    if (previous != nullptr)
        ExFreePool(previous);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(fdo->lower, irp);
}

void DeleteChildren(FdoExtension* fdo)
{
    std::vector<PDEVICE_OBJECT> children;
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
        children.swap(fdo->queue->children);
        fdo->queue->missing.clear();
        KeReleaseSpinLock(&fdo->lock, irql);
    }
    for (PDEVICE_OBJECT child : children)
        IoDeleteDevice(child);
}

NTSTATUS FdoPnp(FdoExtension* fdo, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = IoAcquireRemoveLock(&fdo->removeLock, irp);
    if (!NT_SUCCESS(status))
        return CompleteIrp(irp, status);
    switch (sp->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
        status = StartFdo(fdo, irp);
        IoReleaseRemoveLock(&fdo->removeLock, irp);
        return status;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == BusRelations)
        {
            status = QueryBusRelations(fdo, irp);
            IoReleaseRemoveLock(&fdo->removeLock, irp);
            return status;
        }
        break;
    case IRP_MN_SURPRISE_REMOVAL: {
        FailWaiting(fdo);
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
        for (size_t i = 0; i < fdo->queue->missing.size(); ++i)
            fdo->queue->missing[i] = true;
        KeReleaseSpinLock(&fdo->lock, irql);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_REMOVE_DEVICE: {
        FailWaiting(fdo);
        // The running exchange holds the lock until its request completes.
        IoReleaseRemoveLockAndWait(&fdo->removeLock, irp);
        // Detached before the removal goes down, so that a lower filter deletes its device with nothing
        // attached above it (the simulated kernel does not keep a device "delete pending" as Windows does).
        PDEVICE_OBJECT lower = fdo->lower;
        IoDetachDevice(lower);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IofCallDriver(lower, irp);
        DeleteChildren(fdo);
        if (fdo->configuration != nullptr)
            ExFreePoolWithTag(fdo->configuration, kPoolTag);
        IoFreeIrp(fdo->urbIrp);
        IoFreeMdl(fdo->senseMdl);
        ExFreePoolWithTag(fdo->senseBuffer, kPoolTag);
        delete fdo->queue;
        IoDeleteDevice(fdo->self);
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    status = IofCallDriver(fdo->lower, irp);
    IoReleaseRemoveLock(&fdo->removeLock, irp);
    return status;
}

// ---- Child PDOs ---------------------------------------------------------------------------------------

// A multi-string or string ID in paged pool, as the PnP manager frees it.
NTSTATUS ReturnId(PIRP irp, const std::u16string& text, bool multi)
{
    const size_t chars = text.size() + (multi ? 2 : 1);
    auto* buffer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kPoolTag));
    if (buffer == nullptr)
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    std::memset(buffer, 0, chars * sizeof(WCHAR));
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    return CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(buffer));
}

std::u16string InquiryField(const PdoExtension* pdo, ULONG offset, ULONG length)
{
    std::u16string field;
    for (ULONG i = offset; i < offset + length && i < pdo->inquiryLength; ++i)
    {
        const UCHAR c = pdo->inquiry[i];
        field.push_back(c > 0x20 && c < 0x7F && c != ',' ? char16_t(c) : u'_');
    }
    while (!field.empty() && field.back() == u'_')
        field.pop_back();
    return field;
}

NTSTATUS PdoQueryId(PdoExtension* pdo, PIRP irp)
{
    const std::u16string device = u"USBSTOR\\Disk&Ven_" + InquiryField(pdo, 8, 8) + u"&Prod_" +
                                  InquiryField(pdo, 16, 16) + u"&Rev_" + InquiryField(pdo, 32, 4);
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType)
    {
    case BusQueryDeviceID:
        return ReturnId(irp, device, false);
    case BusQueryHardwareIDs:
        return ReturnId(irp, device + u'\0' + u"USBSTOR\\GenDisk" + u'\0' + u"GenDisk", true);
    case BusQueryInstanceID:
        return ReturnId(irp, std::u16string(1, char16_t(u'0' + pdo->lun)), false);
    default: {
        const NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

// Removal of a child: it waits for its request blocks; it is deleted only when its unit is gone (the
// device was surprise-removed), else it stays for a later start, and its parent deletes it at its own
// removal.
NTSTATUS PdoRemove(PdoExtension* pdo, PIRP irp)
{
    IoReleaseRemoveLockAndWait(&pdo->removeLock, irp);
    pdo->removed = TRUE;
    FdoExtension* fdo = pdo->fdo;
    bool remove = false;
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
        auto& children = fdo->queue->children;
        for (size_t i = 0; i < children.size(); ++i)
        {
            if (children[i] == pdo->self && fdo->queue->missing[i])
            {
                children.erase(children.begin() + long(i));
                fdo->queue->missing.erase(fdo->queue->missing.begin() + long(i));
                remove = true;
                break;
            }
        }
        KeReleaseSpinLock(&fdo->lock, irql);
    }
    PDEVICE_OBJECT self = pdo->self;
    if (!remove)
        IoInitializeRemoveLock(&pdo->removeLock, kPoolTag, 0, 0); // ready for a later start
    CompleteIrp(irp, STATUS_SUCCESS);
    if (remove)
        IoDeleteDevice(self);
    return STATUS_SUCCESS;
}

NTSTATUS PdoPnp(PdoExtension* pdo, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = IoAcquireRemoveLock(&pdo->removeLock, irp);
    if (!NT_SUCCESS(status))
    {
        if (sp->MinorFunction == IRP_MN_START_DEVICE && pdo->removed)
        {
            // A removed child that is still present starts again.
            pdo->removed = FALSE;
            IoInitializeRemoveLock(&pdo->removeLock, kPoolTag, 0, 0);
            return CompleteIrp(irp, STATUS_SUCCESS);
        }
        return CompleteIrp(irp, status);
    }
    switch (sp->MinorFunction)
    {
    case IRP_MN_REMOVE_DEVICE:
        return PdoRemove(pdo, irp);
    case IRP_MN_START_DEVICE:
        pdo->removed = FALSE;
        status = CompleteIrp(irp, STATUS_SUCCESS);
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        pdo->surprised = TRUE;
        status = CompleteIrp(irp, STATUS_SUCCESS);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        status = CompleteIrp(irp, STATUS_SUCCESS);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (sp->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
        {
            auto* relations = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
            if (relations == nullptr)
            {
                status = CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
                break;
            }
            relations->Count = 1;
            relations->Objects[0] = pdo->self;
            ObfReferenceObject(pdo->self);
            status = CompleteIrp(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
            break;
        }
        status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES capabilities = sp->Parameters.DeviceCapabilities.Capabilities;
        if (capabilities != nullptr)
        {
            capabilities->Removable = (pdo->self->Characteristics & FILE_REMOVABLE_MEDIA) != 0;
            capabilities->SurpriseRemovalOK = TRUE;
            capabilities->Address = pdo->lun;
        }
        status = CompleteIrp(irp, STATUS_SUCCESS);
        break;
    }
    case IRP_MN_QUERY_ID:
        status = PdoQueryId(pdo, irp);
        break;
    default:
        status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        break;
    }
    IoReleaseRemoveLock(&pdo->removeLock, irp);
    return status;
}

// A request block from the disk class driver: checked, then queued at the parent.
NTSTATUS PdoScsi(PdoExtension* pdo, PIRP irp)
{
    PSCSI_REQUEST_BLOCK srb = IoGetCurrentIrpStackLocation(irp)->Parameters.Scsi.Srb;
    if (srb == nullptr || srb->Function != SRB_FUNCTION_EXECUTE_SCSI || srb->CdbLength == 0 ||
        srb->CdbLength > 16)
    {
        if (srb != nullptr)
            srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    }
    if (srb->DataTransferLength != 0)
    {
        PMDL mdl = irp->MdlAddress;
        const auto* start = static_cast<const UCHAR*>(srb->DataBuffer);
        const auto* mdlStart =
            mdl != nullptr ? static_cast<const UCHAR*>(MmGetMdlVirtualAddress(mdl)) : nullptr;
        if (mdl == nullptr || start < mdlStart || start + srb->DataTransferLength > mdlStart + mdl->ByteCount)
            KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, kSrbMisuse, ULONG_PTR(irp), ULONG_PTR(srb),
                         ULONG_PTR(mdl));
        if ((mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) == 0)
            KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, kSrbMisuse + 1, ULONG_PTR(irp), ULONG_PTR(srb),
                         ULONG_PTR(mdl));
    }
    NTSTATUS status = IoAcquireRemoveLock(&pdo->removeLock, irp);
    if (!NT_SUCCESS(status) || pdo->surprised)
    {
        if (NT_SUCCESS(status))
            IoReleaseRemoveLock(&pdo->removeLock, irp);
        srb->SrbStatus = SRB_STATUS_NO_DEVICE;
        srb->DataTransferLength = 0;
        return CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED);
    }
    srb->Lun = pdo->lun;
    srb->SrbStatus = SRB_STATUS_PENDING;
    srb->ScsiStatus = SCSISTAT_GOOD;
    srb->OriginalRequest = irp;
    Request request;
    request.irp = irp;
    request.srb = srb;
    request.pdo = pdo->self;
    IoMarkIrpPending(irp);
    if (!Enqueue(pdo->fdo, request))
    {
        IoReleaseRemoveLock(&pdo->removeLock, irp);
        srb->SrbStatus = SRB_STATUS_NO_DEVICE;
        srb->DataTransferLength = 0;
        CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED);
    }
    return STATUS_PENDING;
}

// ---- Driver -------------------------------------------------------------------------------------------

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (KindOf(device) == kPdoKind)
    {
        PdoExtension* pdo = PdoOf(device);
        switch (sp->MajorFunction)
        {
        case IRP_MJ_SCSI:
            return PdoScsi(pdo, irp);
        case IRP_MJ_PNP:
            return PdoPnp(pdo, irp);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            return CompleteIrp(irp, STATUS_SUCCESS);
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            return CompleteIrp(irp, STATUS_SUCCESS);
        default:
            return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
        }
    }
    FdoExtension* fdo = FdoOf(device);
    if (sp->MajorFunction == IRP_MJ_PNP)
        return FdoPnp(fdo, irp);
    NTSTATUS status = IoAcquireRemoveLock(&fdo->removeLock, irp);
    if (!NT_SUCCESS(status))
    {
        if (sp->MajorFunction == IRP_MJ_POWER)
            PoStartNextPowerIrp(irp);
        return CompleteIrp(irp, status);
    }
    if (sp->MajorFunction == IRP_MJ_POWER)
    {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        status = PoCallDriver(fdo->lower, irp);
    }
    else
    {
        IoSkipCurrentIrpStackLocation(irp);
        status = IofCallDriver(fdo->lower, irp);
    }
    IoReleaseRemoveLock(&fdo->removeLock, irp);
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physical)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto* fdo =
        new (device->DeviceExtension) FdoExtension{}; // trivially destructible: IoDeleteDevice frees it
    fdo->kind = kFdoKind;
    fdo->self = device;
    fdo->physical = physical;
    fdo->senseBuffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kSenseLength, kPoolTag));
    fdo->senseMdl = fdo->senseBuffer != nullptr
                        ? IoAllocateMdl(fdo->senseBuffer, kSenseLength, FALSE, FALSE, nullptr)
                        : nullptr;
    fdo->queue = new (std::nothrow) FdoQueue;
    if (fdo->senseMdl == nullptr || fdo->queue == nullptr)
    {
        delete fdo->queue;
        if (fdo->senseMdl != nullptr)
            IoFreeMdl(fdo->senseMdl);
        if (fdo->senseBuffer != nullptr)
            ExFreePoolWithTag(fdo->senseBuffer, kPoolTag);
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmBuildMdlForNonPagedPool(fdo->senseMdl);
    KeInitializeSpinLock(&fdo->lock);
    IoInitializeRemoveLock(&fdo->removeLock, kPoolTag, 0, 0);
    fdo->lower = IoAttachDeviceToDeviceStack(device, physical);
    if (fdo->lower == nullptr)
    {
        delete fdo->queue;
        IoFreeMdl(fdo->senseMdl);
        ExFreePoolWithTag(fdo->senseBuffer, kPoolTag);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->urbIrp = IoAllocateIrp(fdo->lower->StackSize, FALSE);
    if (fdo->urbIrp == nullptr)
    {
        IoDetachDevice(fdo->lower);
        delete fdo->queue;
        IoFreeMdl(fdo->senseMdl);
        ExFreePoolWithTag(fdo->senseBuffer, kPoolTag);
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS MassStorageDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& routine : driver->MajorFunction)
        routine = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

MassStorageCounters GetMassStorageCounters(PDEVICE_OBJECT fdo)
{
    if (fdo == nullptr || fdo->DeviceExtension == nullptr || KindOf(fdo) != kFdoKind)
        throw std::logic_error("winsim usb: not a device of the mass-storage function driver");
    FdoExtension* extension = FdoOf(fdo);
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&extension->lock);
    const MassStorageCounters counters = extension->counters;
    KeReleaseSpinLock(&extension->lock, irql);
    return counters;
}

} // namespace winsim::usb
