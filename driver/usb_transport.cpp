// The USB-side filter sits below the mass-storage function driver and sees every URB it sends to the bus.
// It owns the device's worker thread and one context per logical unit.
#include "kavfiltr.h"

namespace
{
// A unit's context owns its two buffers; they go with it when the context list is destroyed.
void ReleaseLunContext(PVOID item, ULONG maxItemSize)
{
    if (maxItemSize != sizeof(LunContext))
    {
        return;
    }
    auto* context = static_cast<LunContext*>(item);
    AlignedBuffer* buffers[] = {context->readAheadBuffer, context->writeBuffer};
    for (AlignedBuffer* buffer : buffers)
    {
        if (buffer != nullptr)
        {
            AlignedBufferRelease(buffer);
            ExFreePoolWithTag(buffer, KAVFILTR_POOL_TAG);
        }
    }
}
} // namespace

NTSTATUS UsbRoleInitialize(UsbFilterExtension* extension)
{
    extension->head.role = RoleUsbDevice;
    extension->botState = PhaseCommand;
    extension->currentPhase = PhaseNone;
    extension->bulkInPipe = nullptr;
    extension->bulkOutPipe = nullptr;
    RtlZeroMemory(extension->currentCbw, sizeof(extension->currentCbw));
    extension->currentCdb = nullptr;
    extension->readBufferCapacity = LUN_BUFFER_CAPACITY;
    extension->writeBufferCapacity = LUN_BUFFER_CAPACITY;
    extension->busRelations = nullptr;
    NTSTATUS status = StartWorker(&extension->worker);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    const PoolListTemplate contextsTemplate = {ReleaseLunContext, sizeof(LunContext)};
    return PoolListCreate(&contextsTemplate, &extension->lunContexts);
}

// Called once the remove lock has drained: no transfer and no handler uses the worker or the contexts.
void UsbRoleRelease(UsbFilterExtension* extension)
{
    StopWorker(extension->worker);
    extension->worker = nullptr;
    PoolListDestroy(extension->lunContexts);
    extension->lunContexts = nullptr;
    if (extension->busRelations != nullptr)
    {
        ExFreePoolWithTag(extension->busRelations, KAVFILTR_POOL_TAG);
        extension->busRelations = nullptr;
    }
}

NTSTATUS DispatchUrb(PDEVICE_OBJECT device, PIRP irp)
{
    auto* extension = static_cast<FilterExtension*>(device->DeviceExtension);
    NTSTATUS status = IoAcquireRemoveLock(&extension->removeLock, irp);
    if (!NT_SUCCESS(status))
    {
        return CompleteWithStatus(irp, status);
    }
    return PassDown(extension, irp);
}
