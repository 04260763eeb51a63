// The stick's two device nodes, built in the order Windows' Plug and Play manager builds them when the
// filter lists name Kavfiltr: on the USB node the physical device, Kavfiltr as lower filter, the function
// driver on top, then start; bus relations asked, so that the function driver reports its disk; on the
// disk node the physical device, the class driver, Kavfiltr as upper filter, then start. Removal goes the
// other way, the disk before its parent. Without the filter the same stacks are built without Kavfiltr.
#include "tests/wine/datapath/stick.h"

enum BuildStep
{
    StepMedium = 1,
    StepUsbDevice,
    StepUsbFilter,
    StepFunctionDriver,
    StepUsbStart,
    StepBusRelations,
    StepDiskClass,
    StepDiskFilter,
    StepDiskStart,
};

static NTSTATUS Failed(struct StickStacks* stacks, ULONG step, NTSTATUS status)
{
    stacks->failedStep = step;
    stacks->failedStatus = status;
    return status;
}

// The answer to bus relations belongs to the Plug and Play manager, which drops its references when done.
static NTSTATUS QueryBusRelations(struct StickStacks* stacks)
{
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnp(stacks->usbDevice, IRP_MN_QUERY_DEVICE_RELATIONS, &information, BusRelations);
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)information;
    if (NT_SUCCESS(status) && relations != NULL)
    {
        for (ULONG index = 0; index < relations->Count; ++index)
        {
            ObDereferenceObject(relations->Objects[index]);
        }
        ExFreePool(relations);
    }
    return status;
}

NTSTATUS StacksBuild(PDRIVER_OBJECT driver, PDRIVER_OBJECT filter, struct StickStacks* stacks, ULONG seed,
                     BOOLEAN present, BOOLEAN writeProtected)
{
    RtlZeroMemory(stacks, sizeof(*stacks));
    stacks->filtered = filter != NULL;
    NTSTATUS status = MediumCreate(&stacks->medium, seed);
    if (!NT_SUCCESS(status))
    {
        return Failed(stacks, StepMedium, status);
    }
    stacks->medium.present = present;
    stacks->medium.writeProtected = writeProtected;
    status = UsbDeviceCreate(driver, &stacks->medium, &stacks->usbDevice);
    if (!NT_SUCCESS(status))
    {
        return Failed(stacks, StepUsbDevice, status);
    }
    if (filter != NULL)
    {
        status = FilterAddDevice(filter, stacks->usbDevice);
        if (!NT_SUCCESS(status) || stacks->usbDevice->AttachedDevice == NULL)
        {
            return Failed(stacks, StepUsbFilter, NT_SUCCESS(status) ? STATUS_NO_SUCH_DEVICE : status);
        }
    }
    status = MassStorageAttach(driver, stacks->usbDevice, &stacks->massStorage);
    if (!NT_SUCCESS(status))
    {
        return Failed(stacks, StepFunctionDriver, status);
    }
    status = SendPnp(stacks->usbDevice, IRP_MN_START_DEVICE, NULL, 0);
    if (!NT_SUCCESS(status))
    {
        return Failed(stacks, StepUsbStart, status);
    }
    stacks->usbStarted = TRUE;
    status = QueryBusRelations(stacks);
    struct MassStorageExtension* function = stacks->massStorage->DeviceExtension;
    if (!NT_SUCCESS(status) || function->disk == NULL)
    {
        return Failed(stacks, StepBusRelations, NT_SUCCESS(status) ? STATUS_NO_SUCH_DEVICE : status);
    }
    stacks->disk = function->disk;
    status = DiskClassAttach(driver, stacks->disk, &stacks->diskClass);
    if (!NT_SUCCESS(status))
    {
        return Failed(stacks, StepDiskClass, status);
    }
    if (filter != NULL)
    {
        status = FilterAddDevice(filter, stacks->disk);
        if (!NT_SUCCESS(status) || stacks->diskClass->AttachedDevice == NULL)
        {
            return Failed(stacks, StepDiskFilter, NT_SUCCESS(status) ? STATUS_NO_SUCH_DEVICE : status);
        }
    }
    status = SendPnp(stacks->disk, IRP_MN_START_DEVICE, NULL, 0);
    if (!NT_SUCCESS(status))
    {
        return Failed(stacks, StepDiskStart, status);
    }
    stacks->diskStarted = TRUE;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT StacksTop(struct StickStacks* stacks)
{
    return IoGetAttachedDeviceReference(stacks->disk);
}

// The stick pulled out: from now on it answers nothing, and both nodes are told, the disk first.
void StacksSurpriseRemove(struct StickStacks* stacks)
{
    InterlockedExchange(&stacks->medium.gone, 1);
    stacks->surpriseRemoved = TRUE;
    if (stacks->disk != NULL)
    {
        SendPnp(stacks->disk, IRP_MN_SURPRISE_REMOVAL, NULL, 0);
    }
    SendPnp(stacks->usbDevice, IRP_MN_SURPRISE_REMOVAL, NULL, 0);
}

// Removal of whatever was built, also after a failed build: each device object goes with its stack.
void StacksRemove(struct StickStacks* stacks)
{
    if (stacks->disk != NULL && stacks->diskClass != NULL)
    {
        if (!stacks->surpriseRemoved)
        {
            SendPnp(stacks->disk, IRP_MN_QUERY_REMOVE_DEVICE, NULL, 0);
        }
        SendPnp(stacks->disk, IRP_MN_REMOVE_DEVICE, NULL, 0);
    }
    else if (stacks->disk != NULL && stacks->disk->AttachedDevice != NULL)
    {
        SendPnp(stacks->disk, IRP_MN_REMOVE_DEVICE, NULL, 0);
    }
    if (stacks->usbDevice != NULL)
    {
        if (stacks->usbDevice->AttachedDevice != NULL)
        {
            if (!stacks->surpriseRemoved)
            {
                SendPnp(stacks->usbDevice, IRP_MN_QUERY_REMOVE_DEVICE, NULL, 0);
            }
            SendPnp(stacks->usbDevice, IRP_MN_REMOVE_DEVICE, NULL, 0);
        }
        UsbDeviceDelete(stacks->usbDevice);
    }
    MediumRelease(&stacks->medium);
}
