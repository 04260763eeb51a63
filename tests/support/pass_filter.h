// A plain pass-through filter driver whose failures a test chooses: an AddDevice or a start that fails,
// a driver that stays attached after removal — the cases Kavfiltr and the storage models never produce.
#pragma once

#include "winsim/kernel/winsim_kernel.h"

#include <atomic>

namespace kavtest
{

struct PassFilterKnobs
{
    std::atomic<bool> failAddDevice{false};
    std::atomic<bool> failStart{false};
    std::atomic<bool> stayOnRemove{false}; // passes the removal on but never detaches
};

inline PassFilterKnobs& Knobs()
{
    static PassFilterKnobs knobs;
    return knobs;
}

inline void ResetKnobs()
{
    Knobs().failAddDevice = false;
    Knobs().failStart = false;
    Knobs().stayOnRemove = false;
}

struct PassFilterExtension
{
    PDEVICE_OBJECT lower;
};

// Passes everything down; fails start on demand, and leaves on remove unless told to stay.
inline NTSTATUS PassFilterDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_OBJECT lower = static_cast<PassFilterExtension*>(device->DeviceExtension)->lower;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_PNP)
    {
        if (sp->MinorFunction == IRP_MN_START_DEVICE && Knobs().failStart)
        {
            irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_UNSUCCESSFUL;
        }
        if (sp->MinorFunction == IRP_MN_REMOVE_DEVICE && !Knobs().stayOnRemove)
        {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            const NTSTATUS status = IofCallDriver(lower, irp);
            IoDetachDevice(lower);
            IoDeleteDevice(device);
            return status;
        }
        if (sp->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE)
        {
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
    }
    if (sp->MajorFunction == IRP_MJ_POWER)
    {
        PoStartNextPowerIrp(irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

inline NTSTATUS PassFilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    if (Knobs().failAddDevice)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(PassFilterExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    static_cast<PassFilterExtension*>(device->DeviceExtension)->lower = lower;
    device->Flags |= lower->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

inline NTSTATUS PassFilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& routine : driver->MajorFunction)
    {
        routine = PassFilterDispatch;
    }
    driver->DriverExtension->AddDevice = PassFilterAddDevice;
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

} // namespace kavtest
