// winsim: the disk class driver model (see disk_class_driver.h): its entry, AddDevice, dispatch, PnP and
// the READ CAPACITY(10) at start, the options and what the tests read back. Reads and writes are in
// disk_class_transfer.cpp, the media-change polling in disk_class_media_poll.cpp.
#include "winsim/usb/disk_class_internal.h"

#include "winsim/usb/scsi_defs.h"

#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace winsim::usb
{
namespace
{

using namespace disk;

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
    {
        IoDeleteDevice(device);
    }
}

DiskExtension* DiskOf(PDEVICE_OBJECT device)
{
    return static_cast<DiskExtension*>(device->DeviceExtension);
}

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned)
    {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    }
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
        {
            ExFreePoolWithTag(data, kPoolTag);
        }
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
                {
                    disk->maxPiece = blockLength;
                }
                status = STATUS_SUCCESS;
                break;
            }
            status = STATUS_DEVICE_DATA_ERROR;
            continue;
        }
        bool retry = false;
        status = InterpretFailure(disk, srb, status, &retry);
        if (!retry)
        {
            break;
        }
    }
    IoFreeMdl(mdl);
    ExFreePoolWithTag(data, kPoolTag);
    return status;
}

NTSTATUS Pnp(DiskExtension* disk, PIRP irp)
{
    NTSTATUS status = IoAcquireRemoveLock(&disk->removeLock, irp);
    if (!NT_SUCCESS(status))
    {
        return CompleteIrp(irp, status);
    }
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
            {
                status = capacity;
            }
        }
        if (NT_SUCCESS(status))
        {
            InterlockedExchange(&disk->started, 1);
            StartMediaPolling(disk);
        }
        CompleteIrp(irp, status, irp->IoStatus.Information);
        IoReleaseRemoveLock(&disk->removeLock, irp);
        return status;
    }
    case IRP_MN_STOP_DEVICE:
        // No poll may reach a stopped device; the next start polls again.
        InterlockedExchange(&disk->started, 0);
        StopMediaPolling(disk);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        InterlockedExchange(&disk->gone, 1);
        StopMediaPolling(disk);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        InterlockedExchange(&disk->gone, 1);
        InterlockedExchange(&disk->started, 0);
        // The thread first (its poll holds the remove lock), then whatever other poll or request runs.
        StopMediaPolling(disk);
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
        {
            PoStartNextPowerIrp(irp);
        }
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
        {
            options = found->second;
        }
    }
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(
        driver, sizeof(DiskExtension), nullptr, FILE_DEVICE_DISK,
        FILE_DEVICE_SECURE_OPEN | (physical->Characteristics & FILE_REMOVABLE_MEDIA), FALSE, &device);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    DiskExtension* disk = DiskOf(device);
    disk->kind = kDiskKind;
    disk->self = device;
    disk->pdo = physical;
    disk->maxTransfer = options.maxTransferLength;
    disk->retries = options.retries;
    disk->maxOutstanding = options.maxOutstanding;
    disk->retryAfterPieces = options.retryAfterPieces;
    disk->volumeMounted = options.volumeMounted;
    disk->pollInterval = ULONGLONG(options.mediaPollInterval.count()) * 10000;
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
    {
        routine = Dispatch;
    }
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
    {
        throw std::invalid_argument(
            "winsim usb: the disk's maximum transfer length must be a multiple of 512 "
            "that READ(10) can express");
    }
    if (options.maxOutstanding == 0 || options.maxOutstanding > kMaxOutstanding)
    {
        throw std::invalid_argument("winsim usb: the disk class keeps 1 to 8 pieces of a request in flight");
    }
    if (options.mediaPollInterval.count() < 0)
    {
        throw std::invalid_argument("winsim usb: the media poll interval cannot be negative");
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
    {
        throw std::logic_error("winsim usb: not a device of the disk class driver");
    }
    const DiskExtension* disk = DiskOf(diskFdo);
    DiskClassInfo info;
    info.blockLength = disk->blockLength;
    info.blockCount = disk->blockCount;
    info.pieces = ULONGLONG(__atomic_load_n(&disk->pieces, __ATOMIC_SEQ_CST));
    info.retries = ULONGLONG(__atomic_load_n(&disk->retried, __ATOMIC_SEQ_CST));
    info.mediaChanges = ULONGLONG(__atomic_load_n(&disk->mediaChanges, __ATOMIC_SEQ_CST));
    info.mostInFlight = ULONGLONG(__atomic_load_n(&disk->mostInFlight, __ATOMIC_SEQ_CST));
    info.polls = ULONGLONG(__atomic_load_n(&disk->polls, __ATOMIC_SEQ_CST));
    info.verifyVolume = (__atomic_load_n(&diskFdo->Flags, __ATOMIC_SEQ_CST) & DO_VERIFY_VOLUME) != 0;
    return info;
}

} // namespace winsim::usb
