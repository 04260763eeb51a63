// winsim: the media-change polling of the disk class driver model (see disk_class_driver.h). Windows' class
// driver learns of a medium that was swapped or taken out of a removable unit without waiting for the
// next read: about once a second it sends a TEST UNIT READY and reads the answer as it reads a request's
// sense, so a UNIT ATTENTION (medium changed) is counted and, with a mounted volume, sets DO_VERIFY_VOLUME.
// Here one system thread per started removable disk device sends the poll once per configured interval
// (on the simulated clock); PollMediumNow sends the same poll from the caller's thread. Every poll holds
// the remove lock while its request block is below, so a removal waits for it; the thread is stopped at
// stop, surprise removal and removal, and started again at the next start.
//
// What it checks: PollMediumNow above PASSIVE_LEVEL is a bug check (the poll waits for its answer).
#include "winsim/usb/disk_class_internal.h"

#include "winsim/usb/scsi_defs.h"

#include <stdexcept>

namespace winsim::usb
{
namespace disk
{
namespace
{

NTSTATUS PollCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned)
    {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Polls once per interval until the stop event is set. Whatever a poll finds is already dealt with by
// PollMedium; the thread only keeps the rhythm.
VOID MediaPollThread(PVOID context)
{
    auto* disk = static_cast<DiskExtension*>(context);
    LARGE_INTEGER wait;
    wait.QuadPart = -LONGLONG(disk->pollInterval);
    while (KeWaitForSingleObject(&disk->pollStop, Executive, KernelMode, FALSE, &wait) != STATUS_SUCCESS)
    {
        PollMedium(disk);
    }
    KeSetEvent(&disk->pollEnded, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

// The request block goes down without data and without retries: the next poll is the retry. Only a
// started device that is not leaving is polled; the remove lock keeps it from being removed meanwhile.
NTSTATUS PollMedium(DiskExtension* disk)
{
    SCSI_REQUEST_BLOCK srb{};
    UCHAR sense[kSenseLength] = {};
    NTSTATUS status = IoAcquireRemoveLock(&disk->removeLock, &srb);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (InterlockedCompareExchange(&disk->gone, 0, 0) != 0)
    {
        status = STATUS_DEVICE_NOT_CONNECTED;
    }
    else if (InterlockedCompareExchange(&disk->started, 0, 0) == 0)
    {
        status = STATUS_INVALID_DEVICE_STATE;
    }
    else
    {
        PIRP irp = IoAllocateIrp(disk->lower->StackSize, FALSE);
        if (irp == nullptr)
        {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
        else
        {
            srb.Length = sizeof srb;
            srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
            srb.CdbLength = 6;
            srb.Cdb[0] = scsi::kTestUnitReady;
            srb.SrbFlags = SRB_FLAGS_NO_DATA_TRANSFER;
            srb.SenseInfoBuffer = sense;
            srb.SenseInfoBufferLength = sizeof sense;
            srb.TimeOutValue = 10;
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
            sp->MajorFunction = IRP_MJ_SCSI;
            sp->Parameters.Scsi.Srb = &srb;
            IoSetCompletionRoutine(irp, PollCompletion, &event, TRUE, TRUE, TRUE);
            __atomic_add_fetch(&disk->polls, 1, __ATOMIC_SEQ_CST);
            status = IofCallDriver(disk->lower, irp);
            if (status == STATUS_PENDING)
            {
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            }
            status = irp->IoStatus.Status;
            IoFreeIrp(irp);
            if (!NT_SUCCESS(status) || SRB_STATUS(srb.SrbStatus) != SRB_STATUS_SUCCESS)
            {
                bool retry = false;
                status = InterpretFailure(disk, srb, status, &retry);
            }
        }
    }
    IoReleaseRemoveLock(&disk->removeLock, &srb);
    return status;
}

// Windows' class driver polls only removable media. A thread that cannot be created leaves the device
// working without polling, as one without media-change notification.
void StartMediaPolling(DiskExtension* disk)
{
    if (disk->pollThread != nullptr || disk->pollInterval == 0 ||
        (disk->self->Characteristics & FILE_REMOVABLE_MEDIA) == 0)
    {
        return;
    }
    KeInitializeEvent(&disk->pollStop, NotificationEvent, FALSE);
    KeInitializeEvent(&disk->pollEnded, NotificationEvent, FALSE);
    // A kernel handle: PnP runs in whatever process, and a handle in its table could be closed by it.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                           MediaPollThread, disk);
    if (!NT_SUCCESS(status))
    {
        return;
    }
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       &disk->pollThread, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status))
    {
        // The thread cannot be waited for through its object: stop it and wait for its last word, since it
        // uses the device extension until then.
        disk->pollThread = nullptr;
        KeSetEvent(&disk->pollStop, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&disk->pollEnded, Executive, KernelMode, FALSE, nullptr);
    }
}

// Waits until the thread has ended, so that no poll starts after a stop or a removal and the thread is
// gone before the device object.
void StopMediaPolling(DiskExtension* disk)
{
    if (disk->pollThread == nullptr)
    {
        return;
    }
    KeSetEvent(&disk->pollStop, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(disk->pollThread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(disk->pollThread);
    disk->pollThread = nullptr;
}

} // namespace disk

NTSTATUS PollMediumNow(PDEVICE_OBJECT diskFdo)
{
    if (diskFdo == nullptr || diskFdo->DeviceExtension == nullptr ||
        static_cast<disk::DiskExtension*>(diskFdo->DeviceExtension)->kind != disk::kDiskKind)
    {
        throw std::logic_error("winsim usb: not a device of the disk class driver");
    }
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != PASSIVE_LEVEL)
    {
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, disk::kPollMisuse, ULONG_PTR(diskFdo), irql, 0);
    }
    return disk::PollMedium(static_cast<disk::DiskExtension*>(diskFdo->DeviceExtension));
}

} // namespace winsim::usb
