// winsim: the exchange engine of the mass-storage function driver model (see mass_storage_driver.h). It
// runs the request blocks queued at the FDO one at a time, each as a command wrapper URB, an optional data
// URB (by MDL) and a status wrapper URB, every URB sent from the completion of the one before, on one IRP
// that the FDO owns. It checks every status wrapper (13 bytes, signature, tag, residue not above the
// expected length, a known status), follows a failed command with REQUEST SENSE, and answers a transfer
// error, a status read that stays stalled, an invalid status wrapper or a phase error with reset recovery.
// When the watchdog (mass_storage_watchdog.cpp) cancels the URB of a command whose time-out passed, the
// engine resets the port and runs reset recovery before it fails the request.
#include "winsim/usb/mass_storage_internal.h"

#include <usbdlib.h>

#include <cstring>

namespace winsim::usb::msd
{

// A class request to the Bulk-Only interface: the engine's Mass Storage Reset, and Get Max LUN at start.
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

namespace
{

// Values of fdo->handoff, which says who sends the next URB: see Pump.
constexpr LONG kSending = 0;
constexpr LONG kDispatched = 1;
constexpr LONG kCompleted = 2;
constexpr ULONGLONG kDefaultTimeoutMs = 10000;

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

// Whether the last URB failed because the device left the bus, or after the PnP manager said it left:
// there is nothing to recover then, and no URB may follow to a PDO that is going away.
bool DeviceGone(FdoExtension* fdo)
{
    if (fdo->urbStatus == STATUS_DEVICE_NOT_CONNECTED || fdo->urb.UrbHeader.Status == USBD_STATUS_DEVICE_GONE)
    {
        return true;
    }
    if (NT_SUCCESS(fdo->urbStatus) && USBD_SUCCESS(fdo->urb.UrbHeader.Status))
    {
        return false;
    }
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
    {
        return nullptr;
    }
    mdl->MdlFlags |=
        CSHORT(MDL_PARTIAL | (source->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)));
    if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)
    {
        mdl->MappedSystemVa = address;
    }
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
    // The command's time-out runs from its wrapper to its status wrapper.
    const ULONGLONG timeoutMs = fdo->timeoutMs != 0      ? fdo->timeoutMs
                                : srb->TimeOutValue != 0 ? ULONGLONG(srb->TimeOutValue) * 1000
                                                         : kDefaultTimeoutMs;
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
        fdo->deadline = KeQueryInterruptTime() + timeoutMs * 10000;
        KeReleaseSpinLock(&fdo->lock, irql);
    }
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
    {
        return false;
    }
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
        fdo->deadline = 0;
        KeReleaseSpinLock(&fdo->lock, irql);
    }
    PrepareClassRequest(fdo, kRequestMassStorageReset, nullptr, 0, USBD_TRANSFER_DIRECTION_OUT);
}

// After a time-out: the port is reset first (it ends whatever still waits on the device), then the
// device gets reset recovery, and the request fails as timed out.
void PrepareTimeOutRecovery(FdoExtension* fdo)
{
    FreeDataMdl(fdo);
    RtlZeroMemory(&fdo->urb, sizeof(fdo->urb));
    fdo->outcome = SRB_STATUS_TIMEOUT;
    fdo->step = Step::ResetPort;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
    ++fdo->counters.portResets;
    fdo->deadline = 0;
    KeReleaseSpinLock(&fdo->lock, irql);
}

bool TimedOut(FdoExtension* fdo)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
    const bool timedOut = fdo->timedOut != FALSE;
    KeReleaseSpinLock(&fdo->lock, irql);
    return timedOut;
}

bool InExchange(Step step)
{
    return step == Step::Command || step == Step::Data || step == Step::ClearData || step == Step::Status ||
           step == Step::ClearStatus || step == Step::StatusAgain;
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
    case SRB_STATUS_TIMEOUT:
        return STATUS_IO_TIMEOUT;
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
        {
            ++fdo->counters.failedRequests;
        }
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
    fdo->deadline = 0; // its time-out no longer runs: the watchdog need not look before the next command
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
        if (InExchange(fdo->step) && TimedOut(fdo) && !DeviceGone(fdo))
        {
            // Whatever the URB that was cancelled did, the exchange is lost.
            PrepareTimeOutRecovery(fdo);
            return true;
        }
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
            {
                KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
                fdo->timedOut = FALSE;
                KeReleaseSpinLock(&fdo->lock, irql);
            }
            if (gone)
            {
                fdo->current.srb->DataTransferLength = 0;
                if (!FinishCurrent(fdo, SRB_STATUS_NO_DEVICE))
                {
                    return false;
                }
                continue;
            }
            PrepareCommand(fdo);
            return true;
        }
        case Step::Command:
            if (DeviceGone(fdo))
            {
                break;
            }
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
            {
                fdo->moved = fdo->expected;
            }
            if (DeviceGone(fdo))
            {
                break;
            }
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
            {
                break;
            }
            if (!ok)
            {
                PrepareResetRecovery(fdo, SRB_STATUS_BUS_RESET);
                return true;
            }
            PrepareStatus(fdo, Step::Status);
            return true;
        case Step::ClearStatus:
            if (DeviceGone(fdo))
            {
                break;
            }
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
            {
                break;
            }
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
                {
                    return false;
                }
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
            {
                return false;
            }
            continue;
        }
        case Step::ResetPort:
            if (DeviceGone(fdo))
            {
                break;
            }
            PrepareResetRecovery(fdo, SRB_STATUS_TIMEOUT);
            return true;
        case Step::ResetDevice:
            if (DeviceGone(fdo))
            {
                break;
            }
            fdo->step = Step::ResetIn;
            PreparePipeReset(fdo, fdo->bulkIn);
            return true;
        case Step::ResetIn:
            if (DeviceGone(fdo))
            {
                break;
            }
            fdo->step = Step::ResetOut;
            PreparePipeReset(fdo, fdo->bulkOut);
            return true;
        case Step::ResetOut: {
            if (DeviceGone(fdo))
            {
                break;
            }
            fdo->current.srb->DataTransferLength = fdo->inSense ? fdo->transferred : 0;
            if (!FinishCurrent(fdo, fdo->outcome))
            {
                return false;
            }
            continue;
        }
        }
        // The device has left the bus: the request fails at once, without recovery.
        FreeDataMdl(fdo);
        fdo->current.srb->DataTransferLength = 0;
        if (!FinishCurrent(fdo, SRB_STATUS_NO_DEVICE))
        {
            return false;
        }
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
    {
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
        fdo->urbInFlight = FALSE;
        if (fdo->urbStatus == STATUS_CANCELLED)
        {
            ++fdo->counters.cancelledUrbs;
        }
        const bool watchdogCancelling = fdo->cancelling != FALSE;
        if (watchdogCancelling)
        {
            // Neither the watchdog, still in IoCancelIrp, nor a sender still in IofCallDriver may see the
            // IRP reused under it: the engine goes on from whichever of them lets go last.
            const bool senderInside =
                InterlockedCompareExchange(&fdo->handoff, kCompleted, kSending) == kSending;
            fdo->resumeHolds = senderInside ? 2 : 1;
        }
        KeReleaseSpinLock(&fdo->lock, irql);
        if (watchdogCancelling)
        {
            return STATUS_MORE_PROCESSING_REQUIRED; // the watchdog carries on once IoCancelIrp returned
        }
    }
    if (InterlockedCompareExchange(&fdo->handoff, kCompleted, kSending) == kSending)
    {
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (Continue(fdo))
    {
        Pump(fdo);
    }
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
        const bool portReset = fdo->step == Step::ResetPort;
        sp->Parameters.DeviceIoControl.IoControlCode =
            portReset ? IOCTL_INTERNAL_USB_RESET_PORT : IOCTL_INTERNAL_USB_SUBMIT_URB;
        sp->Parameters.Others.Argument1 = portReset ? nullptr : &fdo->urb;
        IoSetCompletionRoutine(irp, UrbCompletion, fdo, TRUE, TRUE, TRUE);
        {
            KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
            fdo->urbInFlight = TRUE;
            KeReleaseSpinLock(&fdo->lock, irql);
        }
        InterlockedExchange(&fdo->handoff, kSending);
        IofCallDriver(fdo->lower, irp);
        if (InterlockedCompareExchange(&fdo->handoff, kDispatched, kSending) == kSending)
        {
            return; // still in flight: its completion routine carries on
        }
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
        const bool watchdogLast = fdo->resumeHolds != 0 && --fdo->resumeHolds != 0;
        KeReleaseSpinLock(&fdo->lock, irql);
        if (watchdogLast)
        {
            return; // completed while the watchdog cancelled it: it carries on once IoCancelIrp returned
        }
        if (!Continue(fdo))
        {
            return;
        }
    }
}

} // namespace

// Queues a request at the FDO; when none is running it becomes current and its exchange starts on this
// thread. False: the device is gone, the request was not taken.
bool Enqueue(FdoExtension* fdo, const Request& request)
{
    PVOID tag = request.irp != nullptr ? static_cast<PVOID>(request.irp) : static_cast<PVOID>(request.done);
    if (!NT_SUCCESS(IoAcquireRemoveLock(&fdo->removeLock, tag)))
    {
        return false;
    }
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
        {
            fdo->counters.maxQueued = fdo->queue->waiting.size();
        }
        KeReleaseSpinLock(&fdo->lock, irql);
        return true;
    }
    fdo->running = TRUE;
    fdo->current = request;
    fdo->step = Step::Start;
    KeReleaseSpinLock(&fdo->lock, irql);
    if (Continue(fdo))
    {
        Pump(fdo);
    }
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
        {
            return SRB_STATUS_ERROR;
        }
        MmBuildMdlForNonPagedPool(request.ownMdl);
    }
    UCHAR result = SRB_STATUS_NO_DEVICE;
    if (Enqueue(fdo, request))
    {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        result = srb.SrbStatus;
    }
    if (request.ownMdl != nullptr)
    {
        IoFreeMdl(request.ownMdl);
    }
    *transferred = srb.DataTransferLength;
    return result;
}

// The engine goes on from the watchdog's thread after a cancelled URB came back during IoCancelIrp.
void ResumeAfterCancel(FdoExtension* fdo)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    if (Continue(fdo))
    {
        Pump(fdo);
    }
    KeLowerIrql(old);
}

} // namespace winsim::usb::msd
