// The stick driver's entry: one dispatch table for every device object it creates (each extension says
// which part it plays), and a control device through which the runner asks for one workload at a time.
// Requests from user mode arrive on the one thread Wine gives a driver process for them; a run keeps that
// thread while its own requests move between the harness's threads, Kavfiltr's worker and completion.
#include "tests/wine/datapath/stick.h"

DRIVER_INITIALIZE DriverEntry;

static PDEVICE_OBJECT ControlDevice;
static PDRIVER_OBJECT Filter;

static NTSTATUS Control(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PVOID buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode)
    {
    case IOCTL_DATAPATH_RUN: {
        if (in < sizeof(struct DatapathRunRequest) || out < sizeof(struct DatapathRunResult))
        {
            return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        struct DatapathRunRequest request = *(struct DatapathRunRequest*)buffer;
        if (request.filtered && Filter == NULL)
        {
            NTSTATUS status = FilterLoad(&Filter);
            if (!NT_SUCCESS(status))
            {
                Filter = NULL;
                return CompleteIrp(irp, status, 0);
            }
        }
        struct DatapathRunResult result;
        NTSTATUS status = WorkloadRun(ControlDevice->DriverObject, Filter, &request, &result);
        RtlCopyMemory(buffer, &result, sizeof(result));
        // A run whose stacks could not be built still reports how far it came.
        if (!NT_SUCCESS(status) && result.setupStep == 0)
        {
            return CompleteIrp(irp, status, 0);
        }
        return CompleteIrp(irp, STATUS_SUCCESS, sizeof(result));
    }
    case IOCTL_DATAPATH_UNLOAD_FILTER: {
        if (out < sizeof(struct DatapathUnloadResult))
        {
            return CompleteIrp(irp, STATUS_BUFFER_TOO_SMALL, 0);
        }
        struct DatapathUnloadResult result;
        RtlZeroMemory(&result, sizeof(result));
        result.unloadStatus = Filter != NULL ? FilterUnload(Filter) : STATUS_NOT_FOUND;
        Filter = NULL;
        result.unloadRoutineRan = (ULONG)FilterCounts.unloaded;
        result.poolLeft = FilterCounts.pool;
        result.irpsLeft = FilterCounts.irps;
        result.threadsLeft = FilterCounts.threads;
        RtlCopyMemory(buffer, &result, sizeof(result));
        return CompleteIrp(irp, STATUS_SUCCESS, sizeof(result));
    }
    default:
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS ControlDispatch(PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction)
    {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return CompleteIrp(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        return Control(irp);
    default:
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    struct StickCommon* common = device->DeviceExtension;
    switch (common->part)
    {
    case PartControl:
        return ControlDispatch(irp);
    case PartUsbDevice:
        return UsbDeviceDispatch(device->DeviceExtension, irp);
    case PartMassStorage:
        return MassStorageDispatch(device->DeviceExtension, irp);
    case PartDisk:
        return DiskDispatch(device->DeviceExtension, irp);
    case PartDiskClass:
        return DiskClassDispatch(device->DeviceExtension, irp);
    default:
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

static void Unload(PDRIVER_OBJECT driver)
{
    (void)driver;
    if (Filter != NULL)
    {
        FilterUnload(Filter);
        Filter = NULL;
    }
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, DATAPATH_CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(ControlDevice);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    (void)registryPath;
    for (ULONG index = 0; index <= IRP_MJ_MAXIMUM_FUNCTION; ++index)
    {
        driver->MajorFunction[index] = Dispatch;
    }
    driver->DriverUnload = Unload;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, DATAPATH_CONTROL_NAME);
    NTSTATUS status = IoCreateDevice(driver, sizeof(struct StickCommon), &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &ControlDevice);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ((struct StickCommon*)ControlDevice->DeviceExtension)->part = PartControl;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, DATAPATH_CONTROL_LINK);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status))
    {
        IoDeleteDevice(ControlDevice);
        return status;
    }
    ControlDevice->Flags |= DO_BUFFERED_IO;
    ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
