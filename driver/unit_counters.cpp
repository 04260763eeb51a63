// What the filter did for each unit, so that the user and support can see the speed-up work: counted with
// interlocked adds where the counted event happens anyway (no lock, nothing else on the URB path), and
// written by the worker into the USB device node's hardware key at most once a second while the values
// change, and once more when the stack stops. The driver only writes there and nothing it does depends
// on what is there: it gives user mode no way in. A value that cannot be written is tried again at the
// next tick, and the failure is itself counted.
#include "driver/kavfiltr.h"

#include "driver/kavfiltr_counters.h"

namespace
{
// In the order of UnitCounter.
const WCHAR* const kCounterNames[UnitCounterCount] = KAVFILTR_COUNTER_NAMES;

LONG64 ReadCounter(volatile LONG64* value)
{
    return InterlockedCompareExchange64(value, 0, 0);
}

// A READ(10) or WRITE(10) command wrapper adds one command and its bytes to the two counters given.
void CountBlockCommand(LunContext* context, const UCHAR* cbw, UnitCounter readCommands, UnitCounter readBytes,
                       UnitCounter writeCommands, UnitCounter writeBytes)
{
    UCHAR operation = cbw[FIELD_OFFSET(CommandBlockWrapper, CBWCB)];
    LONG64 bytes = CommandDataLength(cbw);
    if (operation == SCSIOP_READ10_CODE)
    {
        CountForUnit(context, readCommands, 1);
        CountForUnit(context, readBytes, bytes);
    }
    else if (operation == SCSIOP_WRITE10_CODE)
    {
        CountForUnit(context, writeCommands, 1);
        CountForUnit(context, writeBytes, bytes);
    }
}

// A key below `parent`, created volatile: the counts describe this boot's stack and go with it.
NTSTATUS CreateVolatileKey(HANDLE parent, const WCHAR* name, HANDLE* key)
{
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, parent,
                               nullptr);
    return ZwCreateKey(key, KEY_WRITE, &attributes, 0, nullptr, REG_OPTION_VOLATILE, nullptr);
}

BOOLEAN HasChanged(LunContext* context, const LONG64* now)
{
    if (ReadFlag(&context->counters.stale))
    {
        return TRUE;
    }
    for (ULONG counter = 0; counter < UnitCounterCount; ++counter)
    {
        if (now[counter] != context->counters.published[counter])
        {
            return TRUE;
        }
    }
    return FALSE;
}

// Writes the values of one unit that changed since they were last written (all of them after a start).
void PublishUnit(HANDLE countersKey, LunContext* context, const LONG64* now)
{
    // The unit's number in decimal, as the readers look it up.
    WCHAR name[3] = {};
    if (context->lun < 10)
    {
        name[0] = static_cast<WCHAR>(TEXT('0') + context->lun);
    }
    else
    {
        name[0] = TEXT('1');
        name[1] = static_cast<WCHAR>(TEXT('0') + context->lun - 10);
    }
    BOOLEAN everything = InterlockedExchange(&context->counters.stale, 0) != 0;
    HANDLE unitKey = nullptr;
    if (!NT_SUCCESS(CreateVolatileKey(countersKey, name, &unitKey)))
    {
        if (everything)
        {
            InterlockedExchange(&context->counters.stale, 1);
        }
        CountForUnit(context, CounterFailedPublishes, 1);
        return;
    }
    BOOLEAN failed = FALSE;
    for (ULONG counter = 0; counter < UnitCounterCount; ++counter)
    {
        if (!everything && now[counter] == context->counters.published[counter])
        {
            continue;
        }
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, kCounterNames[counter]);
        LONG64 value = now[counter];
        if (NT_SUCCESS(ZwSetValueKey(unitKey, &valueName, 0, REG_QWORD, &value, sizeof(value))))
        {
            context->counters.published[counter] = value;
        }
        else
        {
            failed = TRUE;
        }
    }
    ZwClose(unitKey);
    if (failed)
    {
        if (everything)
        {
            InterlockedExchange(&context->counters.stale, 1);
        }
        CountForUnit(context, CounterFailedPublishes, 1);
    }
}

// Worker handler for the last publication when the stack stops; the stopping thread waits for it.
void HandlePublishAtStop(WorkerThread*, WorkItem* item)
{
    PublishUnitCounters(item->context);
}
} // namespace

void CountForUnit(LunContext* context, UnitCounter counter, LONG64 amount)
{
    if (context != nullptr)
    {
        InterlockedExchangeAdd64(&context->counters.value[counter], amount);
    }
}

// The function driver's READ(10) or WRITE(10), at its command wrapper.
void CountClassCommand(LunContext* context, const UCHAR* cbw)
{
    CountBlockCommand(context, cbw, CounterClassReadCommands, CounterClassBytesRead,
                      CounterClassWriteCommands, CounterClassBytesWritten);
}

// A READ(10) or WRITE(10) command wrapper on its way to the device, the function driver's or the filter's.
void CountDeviceCommand(LunContext* context, const UCHAR* cbw)
{
    CountBlockCommand(context, cbw, CounterDeviceReadCommands, CounterDeviceBytesRead,
                      CounterDeviceWriteCommands, CounterDeviceBytesWritten);
}

// Every URB the worker sends: a command wrapper among them is a command that reaches the device.
void CountCommandSent(UsbFilterExtension* extension, PURB urb)
{
    if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
    {
        return;
    }
    const _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
    if ((transfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) || transfer.TransferBufferLength != CBW_LENGTH)
    {
        return;
    }
    const auto* cbw = static_cast<const UCHAR*>(MapTransferBuffer(urb));
    if (cbw != nullptr && ReadLittleEndian32(cbw) == CBW_SIGNATURE)
    {
        CountDeviceCommand(FindLunContext(extension, cbw[FIELD_OFFSET(CommandBlockWrapper, bCBWLUN)] & 0x0F),
                           cbw);
    }
}

// A transfer of the current command that the filter answered with a failure.
void CountFailurePassedOn(UsbFilterExtension* extension)
{
    CountForUnit(
        FindLunContext(extension, extension->currentCbw[FIELD_OFFSET(CommandBlockWrapper, bCBWLUN)] & 0x0F),
        CounterFailuresPassedOn, 1);
}

// The stack has started: every unit counts from zero, and the worker writes all of its values again.
void ResetUnitCounters(UsbFilterExtension* extension)
{
    LunContext* contexts[MAX_LUNS];
    ULONG count = ListLunContexts(extension, contexts);
    for (ULONG index = 0; index < count; ++index)
    {
        for (volatile LONG64& value : contexts[index]->counters.value)
        {
            InterlockedExchange64(&value, 0);
        }
        InterlockedExchange(&contexts[index]->counters.stale, 1);
    }
}

// The worker's tick: writes the units whose values changed. The keys are opened only when there is
// something to write, so that an idle stick costs a wake-up and a comparison a second.
void PublishUnitCounters(PVOID usbExtension)
{
    auto* extension = static_cast<UsbFilterExtension*>(usbExtension);
    LunContext* contexts[MAX_LUNS];
    ULONG count = ListLunContexts(extension, contexts);
    LONG64 now[MAX_LUNS][UnitCounterCount];
    BOOLEAN anyChanged = FALSE;
    BOOLEAN changed[MAX_LUNS] = {};
    for (ULONG index = 0; index < count; ++index)
    {
        for (ULONG counter = 0; counter < UnitCounterCount; ++counter)
        {
            now[index][counter] = ReadCounter(&contexts[index]->counters.value[counter]);
        }
        changed[index] = HasChanged(contexts[index], now[index]);
        anyChanged = anyChanged || changed[index];
    }
    if (!anyChanged)
    {
        return;
    }
    HANDLE deviceKey = nullptr;
    HANDLE countersKey = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(extension->head.physicalDevice, PLUGPLAY_REGKEY_DEVICE,
                                              KEY_WRITE, &deviceKey);
    if (NT_SUCCESS(status))
    {
        status = CreateVolatileKey(deviceKey, KAVFILTR_COUNTERS_KEY, &countersKey);
        ZwClose(deviceKey);
    }
    for (ULONG index = 0; index < count; ++index)
    {
        if (!changed[index])
        {
            continue;
        }
        if (NT_SUCCESS(status))
        {
            PublishUnit(countersKey, contexts[index], now[index]);
        }
        else
        {
            CountForUnit(contexts[index], CounterFailedPublishes, 1);
        }
    }
    if (countersKey != nullptr)
    {
        ZwClose(countersKey);
    }
}

// The stack stops (stop, surprise removal, removal): the values as they stand are written once more, on
// the worker, after the items queued before. Without pool for the item the last second's changes stay
// unwritten, which nothing depends on.
void PublishUnitCountersAtStop(UsbFilterExtension* extension)
{
    if (extension->worker == nullptr)
    {
        return;
    }
    WorkItem itemTemplate = {};
    itemTemplate.handler = HandlePublishAtStop;
    itemTemplate.waitForCompletion = 1;
    itemTemplate.context = extension;
    EnqueueWork(extension->worker, &itemTemplate);
}
