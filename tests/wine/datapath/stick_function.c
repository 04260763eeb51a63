// The mass-storage function driver on the USB device node, as Windows' USBSTOR works: the disk's SCSI
// requests wait in one queue and a single thread carries them out one at a time as Bulk-Only exchanges
// (command wrapper, data, status wrapper) through the stack below it, where Kavfiltr sits when it is
// loaded. A failed command is followed by REQUEST SENSE, a transport error by reset recovery. The data
// phase goes in an MDL that carries its system address (Wine's kernel maps none), the wrappers in pool.
#include "tests/wine/datapath/stick.h"

#pragma pack(push, 1)
struct CommandWrapper
{
    ULONG signature;
    ULONG tag;
    ULONG dataTransferLength;
    UCHAR flags;
    UCHAR lun;
    UCHAR cdbLength;
    UCHAR cdb[16];
};
struct StatusWrapper
{
    ULONG signature;
    ULONG tag;
    ULONG residue;
    UCHAR status;
};
#pragma pack(pop)
_Static_assert(sizeof(struct CommandWrapper) == 31, "a command wrapper is 31 bytes on the wire");
_Static_assert(sizeof(struct StatusWrapper) == 13, "a status wrapper is 13 bytes on the wire");

static NTSTATUS BulkTransfer(struct MassStorageExtension* extension, BOOLEAN in, PVOID buffer, PMDL mdl,
                             ULONG* length, USBD_STATUS* usbd)
{
    struct _URB_BULK_OR_INTERRUPT_TRANSFER urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.PipeHandle = in ? extension->bulkIn : extension->bulkOut;
    urb.TransferFlags =
        in ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_TRANSFER_DIRECTION_OUT;
    urb.TransferBuffer = mdl == NULL ? buffer : NULL;
    urb.TransferBufferMDL = mdl;
    urb.TransferBufferLength = *length;
    NTSTATUS status = SendUrb(extension->lower, (PURB)&urb);
    *length = urb.TransferBufferLength;
    *usbd = urb.Hdr.Status;
    return status;
}

static NTSTATUS ControlRequest(struct MassStorageExtension* extension, UCHAR request, PVOID buffer,
                               ULONG length)
{
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    urb.TransferFlags = length != 0 ? USBD_TRANSFER_DIRECTION_IN : 0;
    urb.TransferBuffer = buffer;
    urb.TransferBufferLength = length;
    urb.Request = request;
    return SendUrb(extension->lower, (PURB)&urb);
}

static NTSTATUS ResetPipe(struct MassStorageExtension* extension, USBD_PIPE_HANDLE pipe)
{
    struct _URB_PIPE_REQUEST urb;
    RtlZeroMemory(&urb, sizeof(urb));
    urb.Hdr.Length = sizeof(urb);
    urb.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    urb.PipeHandle = pipe;
    return SendUrb(extension->lower, (PURB)&urb);
}

// Reset recovery: the class reset, then both pipes cleared, so that the next command starts afresh.
static void ResetRecovery(struct MassStorageExtension* extension)
{
    ControlRequest(extension, 0xFF, NULL, 0);
    ResetPipe(extension, extension->bulkIn);
    ResetPipe(extension, extension->bulkOut);
}

static BOOLEAN Gone(NTSTATUS status, USBD_STATUS usbd)
{
    return status == STATUS_DEVICE_NOT_CONNECTED || usbd == USBD_STATUS_DEVICE_GONE;
}

// One Bulk-Only exchange. Returns the transport's status; *commandStatus is the status wrapper's answer.
static NTSTATUS Exchange(struct MassStorageExtension* extension, const UCHAR* cdb, UCHAR cdbLength,
                         PVOID data, ULONG length, BOOLEAN in, ULONG* moved, UCHAR* commandStatus)
{
    struct CommandWrapper* command = ExAllocatePoolWithTag(NonPagedPool, sizeof(*command), STICK_TAG);
    struct StatusWrapper* answer = ExAllocatePoolWithTag(NonPagedPool, 64, STICK_TAG);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    *moved = 0;
    *commandStatus = 0xFF;
    if (command == NULL || answer == NULL)
    {
        goto done;
    }
    RtlZeroMemory(command, sizeof(*command));
    command->signature = 0x43425355;
    command->tag = ++extension->tag;
    command->dataTransferLength = length;
    command->flags = in ? 0x80 : 0;
    command->cdbLength = cdbLength;
    RtlCopyMemory(command->cdb, cdb, cdbLength);
    ULONG wrapperLength = sizeof(*command);
    status = BulkTransfer(extension, FALSE, command, NULL, &wrapperLength, &usbd);
    if (!NT_SUCCESS(status))
    {
        goto failed;
    }
    if (length != 0)
    {
        PMDL mdl = MappedMdl(data, length);
        if (mdl == NULL)
        {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto failed;
        }
        ULONG dataLength = length;
        status = BulkTransfer(extension, in, NULL, mdl, &dataLength, &usbd);
        IoFreeMdl(mdl);
        if (NT_SUCCESS(status))
        {
            *moved = dataLength;
        }
        else if (Gone(status, usbd))
        {
            goto failed;
        }
        else
        {
            // A stalled data pipe is cleared and the status wrapper still read, as the transport allows.
            ResetPipe(extension, in ? extension->bulkIn : extension->bulkOut);
        }
    }
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        ULONG answerLength = 64;
        status = BulkTransfer(extension, TRUE, answer, NULL, &answerLength, &usbd);
        if (NT_SUCCESS(status) && answerLength == sizeof(*answer) && answer->signature == 0x53425355 &&
            answer->tag == command->tag && answer->status <= 1)
        {
            *commandStatus = answer->status;
            goto done;
        }
        if (Gone(status, usbd))
        {
            goto failed;
        }
        if (!NT_SUCCESS(status))
        {
            ResetPipe(extension, extension->bulkIn);
            continue;
        }
        break;
    }
    status = STATUS_IO_DEVICE_ERROR;
failed:
    if (!Gone(status, usbd))
    {
        ResetRecovery(extension);
    }
    else
    {
        status = STATUS_DEVICE_NOT_CONNECTED;
    }
done:
    if (command != NULL)
    {
        ExFreePoolWithTag(command, STICK_TAG);
    }
    if (answer != NULL)
    {
        ExFreePoolWithTag(answer, STICK_TAG);
    }
    return status;
}

// Carries out one SCSI request block and completes its IRP, with sense data when the command failed.
static void RunSrb(PVOID context, PIRP irp)
{
    struct MassStorageExtension* extension = context;
    PSCSI_REQUEST_BLOCK srb = IoGetCurrentIrpStackLocation(irp)->Parameters.Scsi.Srb;
    BOOLEAN in = (srb->SrbFlags & SRB_FLAGS_DATA_IN) != 0;
    ULONG moved = 0;
    UCHAR commandStatus = 0;
    NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED;
    if (!extension->gone)
    {
        status = Exchange(extension, srb->Cdb, srb->CdbLength, srb->DataBuffer, srb->DataTransferLength, in,
                          &moved, &commandStatus);
    }
    if (!NT_SUCCESS(status))
    {
        srb->SrbStatus = status == STATUS_DEVICE_NOT_CONNECTED ? SRB_STATUS_NO_DEVICE : SRB_STATUS_ERROR;
        srb->DataTransferLength = 0;
        CompleteIrp(irp, status, 0);
        return;
    }
    srb->DataTransferLength = moved;
    if (commandStatus == 0)
    {
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        srb->ScsiStatus = 0;
        CompleteIrp(irp, STATUS_SUCCESS, moved);
        return;
    }
    srb->ScsiStatus = 0x02;
    srb->SrbStatus = SRB_STATUS_ERROR;
    UCHAR senseCdb[6] = {SCSIOP_REQUEST_SENSE, 0, 0, 0, 18, 0};
    UCHAR sense[18];
    RtlZeroMemory(sense, sizeof(sense));
    ULONG senseMoved = 0;
    UCHAR senseStatus = 0;
    if (srb->SenseInfoBuffer != NULL && srb->SenseInfoBufferLength != 0 &&
        NT_SUCCESS(Exchange(extension, senseCdb, 6, sense, sizeof(sense), TRUE, &senseMoved, &senseStatus)) &&
        senseStatus == 0)
    {
        ULONG copied = senseMoved < srb->SenseInfoBufferLength ? senseMoved : srb->SenseInfoBufferLength;
        RtlCopyMemory(srb->SenseInfoBuffer, sense, copied);
        srb->SrbStatus |= SRB_STATUS_AUTOSENSE_VALID;
    }
    CompleteIrp(irp, STATUS_IO_DEVICE_ERROR, moved);
}

NTSTATUS MassStorageQueueSrb(struct MassStorageExtension* extension, PIRP irp)
{
    return IrpQueueAdd(&extension->queue, irp);
}

// Start: the stack below starts first; then the interface is configured (Kavfiltr learns the pipes from
// this request on its way up), the number of logical units asked, and the one disk created.
static NTSTATUS Start(struct MassStorageExtension* extension, PIRP irp)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    NTSTATUS status = SendAndWait(extension->lower, irp);
    if (NT_SUCCESS(status))
    {
        SIZE_T size = sizeof(struct _URB_SELECT_CONFIGURATION) + sizeof(USBD_PIPE_INFORMATION);
        PURB urb = ExAllocatePoolWithTag(NonPagedPool, size, STICK_TAG);
        static USB_CONFIGURATION_DESCRIPTOR configuration = {
            sizeof(USB_CONFIGURATION_DESCRIPTOR), 2, 32, 1, 1, 0, 0x80, 50};
        status = STATUS_INSUFFICIENT_RESOURCES;
        if (urb != NULL)
        {
            RtlZeroMemory(urb, size);
            urb->UrbHeader.Length = (USHORT)size;
            urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
            urb->UrbSelectConfiguration.ConfigurationDescriptor = &configuration;
            urb->UrbSelectConfiguration.Interface.Length =
                sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION);
            urb->UrbSelectConfiguration.Interface.NumberOfPipes = 2;
            status = SendUrb(extension->lower, urb);
            if (NT_SUCCESS(status))
            {
                PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
                for (ULONG index = 0; index < info->NumberOfPipes; ++index)
                {
                    if (info->Pipes[index].EndpointAddress & 0x80)
                    {
                        extension->bulkIn = info->Pipes[index].PipeHandle;
                    }
                    else
                    {
                        extension->bulkOut = info->Pipes[index].PipeHandle;
                    }
                }
            }
            ExFreePoolWithTag(urb, STICK_TAG);
        }
    }
    if (NT_SUCCESS(status))
    {
        UCHAR maxLun = 0;
        ControlRequest(extension, 0xFE, &maxLun, 1);
        status = DiskCreate(extension->self->DriverObject, extension, &extension->disk);
    }
    return CompleteIrp(irp, status, 0);
}

static NTSTATUS Pnp(struct MassStorageExtension* extension, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
        return Start(extension, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations && extension->disk != NULL)
        {
            PDEVICE_RELATIONS relations =
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), STICK_TAG);
            if (relations == NULL)
            {
                return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            }
            relations->Count = 1;
            relations->Objects[0] = extension->disk;
            ObReferenceObject(extension->disk);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = (ULONG_PTR)relations;
        }
        break;
    case IRP_MN_SURPRISE_REMOVAL:
        InterlockedExchange(&extension->gone, 1);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        IrpQueueStop(&extension->queue);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(extension->lower, irp);
        IoDetachDevice(extension->lower);
        if (extension->disk != NULL)
        {
            IoDeleteDevice(extension->disk);
        }
        IoDeleteDevice(extension->self);
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension->lower, irp);
}

NTSTATUS MassStorageDispatch(struct MassStorageExtension* extension, PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction)
    {
    case IRP_MJ_PNP:
        return Pnp(extension, irp);
    default:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(extension->lower, irp);
    }
}

NTSTATUS MassStorageAttach(PDRIVER_OBJECT driver, PDEVICE_OBJECT usbDevice, PDEVICE_OBJECT* device)
{
    NTSTATUS status = IoCreateDevice(driver, sizeof(struct MassStorageExtension), NULL,
                                     FILE_DEVICE_BUS_EXTENDER, 0, FALSE, device);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    struct MassStorageExtension* extension = (*device)->DeviceExtension;
    RtlZeroMemory(extension, sizeof(*extension));
    extension->common.part = PartMassStorage;
    extension->self = *device;
    extension->lower = IoAttachDeviceToDeviceStack(*device, usbDevice);
    if (extension->lower == NULL)
    {
        IoDeleteDevice(*device);
        return STATUS_NO_SUCH_DEVICE;
    }
    status = IrpQueueStart(&extension->queue, RunSrb, extension);
    if (!NT_SUCCESS(status))
    {
        IoDetachDevice(extension->lower);
        IoDeleteDevice(*device);
        return status;
    }
    (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
