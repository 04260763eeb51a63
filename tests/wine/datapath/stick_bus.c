// The USB device node's physical device object, as the hub driver presents a mass-storage stick: it answers
// the configuration request at once and queues every other URB for its host controller thread, which
// completes them one after another in the order they came, later and on another thread than the sender's,
// as a host controller's interrupt does.
#include "tests/wine/datapath/stick.h"

// The pipes of the stick's one interface; their handles are only compared, never followed.
static UCHAR PipeHandles[2];

static void SelectConfiguration(PURB urb)
{
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
    urb->UrbSelectConfiguration.ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)PipeHandles;
    info->InterfaceNumber = 0;
    info->AlternateSetting = 0;
    info->Class = 0x08;
    info->SubClass = 0x06;
    info->Protocol = 0x50;
    info->InterfaceHandle = (USBD_INTERFACE_HANDLE)PipeHandles;
    info->NumberOfPipes = 2;
    for (ULONG index = 0; index < 2; ++index)
    {
        PUSBD_PIPE_INFORMATION pipe = &info->Pipes[index];
        pipe->MaximumPacketSize = 512;
        pipe->EndpointAddress = index == 0 ? BULK_IN_ENDPOINT : BULK_OUT_ENDPOINT;
        pipe->Interval = 0;
        pipe->PipeType = UsbdPipeTypeBulk;
        pipe->PipeHandle = (USBD_PIPE_HANDLE)&PipeHandles[index];
        pipe->MaximumTransferSize = 1024 * 1024;
    }
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
}

static PUCHAR TransferBuffer(struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer)
{
    if (transfer->TransferBuffer != NULL)
    {
        return transfer->TransferBuffer;
    }
    if (transfer->TransferBufferMDL == NULL)
    {
        return NULL;
    }
    // The whole harness lives in one address space, so an MDL's virtual address is its system address.
    PMDL mdl = transfer->TransferBufferMDL;
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
    {
        return mdl->MappedSystemVa;
    }
    return (PUCHAR)mdl->StartVa + mdl->ByteOffset;
}

static NTSTATUS UsbdToNt(USBD_STATUS status)
{
    if (USBD_SUCCESS(status))
    {
        return STATUS_SUCCESS;
    }
    return status == USBD_STATUS_DEVICE_GONE ? STATUS_DEVICE_NOT_CONNECTED : STATUS_UNSUCCESSFUL;
}

// One URB on the host controller thread: the stick's answer, written into the URB as the USB stack does.
static NTSTATUS RunUrb(struct UsbDeviceExtension* extension, PURB urb)
{
    struct StickMedium* medium = extension->medium;
    if (medium->gone)
    {
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    switch (urb->UrbHeader.Function)
    {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        struct _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &urb->UrbBulkOrInterruptTransfer;
        BOOLEAN in = transfer->PipeHandle == (USBD_PIPE_HANDLE)&PipeHandles[0];
        PUCHAR buffer = TransferBuffer(transfer);
        ULONG length = transfer->TransferBufferLength;
        if (buffer == NULL && length != 0)
        {
            urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
            return STATUS_INVALID_PARAMETER;
        }
        USBD_STATUS status = MediumBulkTransfer(medium, in, buffer, &length);
        transfer->TransferBufferLength = length;
        urb->UrbHeader.Status = status;
        return UsbdToNt(status);
    }
    case URB_FUNCTION_CLASS_INTERFACE: {
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* request = &urb->UrbControlVendorClassRequest;
        if (request->Request == 0xFE && request->TransferBufferLength >= 1 && request->TransferBuffer != NULL)
        {
            *(PUCHAR)request->TransferBuffer = 0;
            request->TransferBufferLength = 1;
        }
        else if (request->Request == 0xFF)
        {
            MediumReset(medium);
            request->TransferBufferLength = 0;
        }
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE:
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        return STATUS_SUCCESS;
    default:
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        return STATUS_INVALID_PARAMETER;
    }
}

// One URB on the host controller thread: the stick's answer, and the URB's IRP completed.
static void CompleteUrb(PVOID context, PIRP irp)
{
    PURB urb = IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1;
    CompleteIrp(irp, RunUrb(context, urb), 0);
}

static NTSTATUS InternalControl(struct UsbDeviceExtension* extension, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_RESET_PORT || code == IOCTL_INTERNAL_USB_CYCLE_PORT)
    {
        return CompleteIrp(irp, extension->medium->gone ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS, 0);
    }
    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS)
    {
        ULONG* portStatus = stack->Parameters.Others.Argument1;
        *portStatus = extension->medium->gone ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
        return CompleteIrp(irp, STATUS_SUCCESS, 0);
    }
    PURB urb = stack->Parameters.Others.Argument1;
    if (code != IOCTL_INTERNAL_USB_SUBMIT_URB || urb == NULL)
    {
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION)
    {
        SelectConfiguration(urb);
        return CompleteIrp(irp, STATUS_SUCCESS, 0);
    }
    return IrpQueueAdd(&extension->queue, irp);
}

NTSTATUS UsbDeviceDispatch(struct UsbDeviceExtension* extension, PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction)
    {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return InternalControl(extension, irp);
    case IRP_MJ_PNP:
        return AnswerPdoPnp(irp, L"USB\\VID_3A7E&PID_1201\\KAVDATAPATH0001", L"USB\\VID_3A7E&PID_1201");
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        return CompleteIrp(irp, STATUS_SUCCESS, 0);
    default:
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS UsbDeviceCreate(PDRIVER_OBJECT driver, struct StickMedium* medium, PDEVICE_OBJECT* device)
{
    NTSTATUS status = IoCreateDevice(driver, sizeof(struct UsbDeviceExtension), NULL, FILE_DEVICE_UNKNOWN,
                                     FILE_AUTOGENERATED_DEVICE_NAME, FALSE, device);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    struct UsbDeviceExtension* extension = (*device)->DeviceExtension;
    RtlZeroMemory(extension, sizeof(*extension));
    extension->common.part = PartUsbDevice;
    extension->self = *device;
    extension->medium = medium;
    status = IrpQueueStart(&extension->queue, CompleteUrb, extension);
    if (!NT_SUCCESS(status))
    {
        IoDeleteDevice(*device);
        return status;
    }
    (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void UsbDeviceDelete(PDEVICE_OBJECT device)
{
    struct UsbDeviceExtension* extension = device->DeviceExtension;
    IrpQueueStop(&extension->queue);
    IoDeleteDevice(device);
}
