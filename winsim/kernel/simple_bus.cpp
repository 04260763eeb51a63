// winsim: a simple bus driver for tests. Its physical device objects carry a property store and act as
// the configurable lower driver of a stack: each IRP is completed inline, or marked pending and completed
// later on the DPC thread at DISPATCH_LEVEL ("force pending"), or held until the test releases it, with
// the status and information the test chose, and every IRP received is recorded.
#include "winsim/kernel/kernel_state.h"

#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace winsim
{

struct SimpleBus::State
{
    PDRIVER_OBJECT driver = nullptr;
    uint64_t generation = 0;
    mutable std::mutex lock;
    bool defaultSet = false;
    CompletionRule defaultRule;
    std::map<UCHAR, CompletionRule> rules;
    std::deque<CompletionRule> oneShot;
    std::vector<ReceivedIrp> received;
    std::deque<std::pair<PIRP, CompletionRule>> held;
    std::map<PDEVICE_OBJECT, std::vector<PDEVICE_OBJECT>> relations;
    std::set<PDEVICE_OBJECT> pdos;
};

namespace
{

struct PdoExtension
{
    SimpleBus::State* bus;
};

constexpr ULONG kRelationsTag = PoolTag("Rel ");

bool IsHandledPnpMinor(UCHAR minor)
{
    switch (minor)
    {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
    case IRP_MN_SURPRISE_REMOVAL:
        return true;
    default:
        return false;
    }
}

// Finishes an IRP under its rule; runs on the dispatching thread, the DPC thread or the releasing thread.
void Finish(PDEVICE_OBJECT device, PIRP irp, const CompletionRule& rule, NTSTATUS status)
{
    irp->IoStatus.Information = rule.information;
    if (rule.action)
    {
        status = rule.action(device, irp, status);
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// The bus's behaviour where the test set no rule: what a plain bus driver does for its PDO.
CompletionRule DefaultBehaviour(SimpleBus::State& bus, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION sp,
                                NTSTATUS& status)
{
    CompletionRule rule;
    status = STATUS_SUCCESS;
    if (sp->MajorFunction == IRP_MJ_PNP)
    {
        if (sp->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
            sp->Parameters.QueryDeviceRelations.Type == BusRelations && bus.relations.count(device) != 0)
        {
            rule.information = ULONG_PTR(AllocateDeviceRelations(bus.relations[device]));
            if (rule.information == 0)
            {
                status = STATUS_INSUFFICIENT_RESOURCES;
            }
        }
        else if (!IsHandledPnpMinor(sp->MinorFunction))
        {
            status = irp->IoStatus.Status;
            rule.information = irp->IoStatus.Information;
        }
    }
    else if (sp->MajorFunction == IRP_MJ_READ || sp->MajorFunction == IRP_MJ_WRITE)
    {
        rule.information = sp->Parameters.Read.Length;
    }
    return rule;
}

NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* bus = static_cast<PdoExtension*>(device->DeviceExtension)->bus;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_POWER)
    {
        PoStartNextPowerIrp(irp);
    }
    CompletionRule rule;
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> lock(bus->lock);
        ReceivedIrp entry;
        entry.device = device;
        entry.major = sp->MajorFunction;
        entry.minor = sp->MinorFunction;
        entry.irql = KeGetCurrentIrql();
        if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL || sp->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        {
            entry.ioControlCode = sp->Parameters.DeviceIoControl.IoControlCode;
            entry.argument1 = sp->Parameters.Others.Argument1;
        }
        if (sp->MajorFunction == IRP_MJ_READ || sp->MajorFunction == IRP_MJ_WRITE)
        {
            entry.length = sp->Parameters.Read.Length;
            entry.byteOffset = sp->Parameters.Read.ByteOffset.QuadPart;
        }
        bus->received.push_back(entry);
        if (!bus->oneShot.empty())
        {
            rule = bus->oneShot.front();
            bus->oneShot.pop_front();
            status = rule.status;
        }
        else if (bus->rules.count(sp->MajorFunction) != 0)
        {
            rule = bus->rules[sp->MajorFunction];
            status = rule.status;
        }
        else if (bus->defaultSet)
        {
            rule = bus->defaultRule;
            status = rule.status;
        }
        else
        {
            rule = DefaultBehaviour(*bus, device, irp, sp, status);
        }
        if (rule.mode == CompletionMode::Hold)
        {
            rule.status = status;
            IoMarkIrpPending(irp);
            bus->held.emplace_back(irp, rule);
            return STATUS_PENDING;
        }
    }
    if (rule.mode == CompletionMode::Pending)
    {
        IoMarkIrpPending(irp);
        QueueDpc([device, irp, rule, status] { Finish(device, irp, rule, status); }, rule.delay);
        return STATUS_PENDING;
    }
    Finish(device, irp, rule, status);
    return status == STATUS_PENDING ? STATUS_UNSUCCESSFUL : status;
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& routine : driver->MajorFunction)
    {
        routine = BusDispatch;
    }
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

} // namespace

SimpleBus::SimpleBus(const std::u16string& driverName) : state_(std::make_shared<State>())
{
    state_->driver = LoadDriver(driverName, BusEntry);
    state_->generation = detail::KernelGeneration();
}

// Leaves to ResetKernel() whatever a test left attached or unfreed; a destructor must not bug check.
SimpleBus::~SimpleBus()
{
    if (state_->generation != detail::KernelGeneration())
    {
        return;
    }
    try
    {
        FlushDpcs();
        std::set<PDEVICE_OBJECT> pdos;
        {
            std::lock_guard<std::mutex> lock(state_->lock);
            pdos = state_->pdos;
        }
        for (PDEVICE_OBJECT pdo : pdos)
        {
            if (pdo->AttachedDevice == nullptr)
            {
                DeletePdo(pdo);
            }
        }
        if (state_->driver->DeviceObject == nullptr && detail::PoolBlocksOfDriver(state_->driver) == 0)
        {
            UnloadDriver(state_->driver);
        }
    }
    catch (const BugCheckError&)
    {
    }
}

PDRIVER_OBJECT SimpleBus::Driver() const
{
    return state_->driver;
}

PDEVICE_OBJECT SimpleBus::CreatePdo(const std::u16string& enumeratorName, DEVICE_TYPE type,
                                    ULONG characteristics)
{
    PDEVICE_OBJECT pdo = nullptr;
    {
        detail::DriverScope scope(state_->driver);
        const NTSTATUS status = IoCreateDevice(state_->driver, sizeof(PdoExtension), nullptr, type,
                                               characteristics | FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
        if (!NT_SUCCESS(status))
        {
            throw std::runtime_error("SimpleBus: IoCreateDevice failed for a PDO");
        }
    }
    static_cast<PdoExtension*>(pdo->DeviceExtension)->bus = state_.get();
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    if (!enumeratorName.empty())
    {
        SetDevicePropertyString(pdo, DevicePropertyEnumeratorName, enumeratorName);
    }
    std::lock_guard<std::mutex> lock(state_->lock);
    state_->pdos.insert(pdo);
    return pdo;
}

void SimpleBus::DeletePdo(PDEVICE_OBJECT pdo)
{
    {
        std::lock_guard<std::mutex> lock(state_->lock);
        state_->pdos.erase(pdo);
        state_->relations.erase(pdo);
    }
    IoDeleteDevice(pdo);
}

void SimpleBus::SetDefaultRule(const CompletionRule& rule)
{
    std::lock_guard<std::mutex> lock(state_->lock);
    state_->defaultSet = true;
    state_->defaultRule = rule;
}

void SimpleBus::SetRule(UCHAR major, const CompletionRule& rule)
{
    std::lock_guard<std::mutex> lock(state_->lock);
    state_->rules[major] = rule;
}

void SimpleBus::ClearRule(UCHAR major)
{
    std::lock_guard<std::mutex> lock(state_->lock);
    state_->rules.erase(major);
}

void SimpleBus::QueueRule(const CompletionRule& rule)
{
    std::lock_guard<std::mutex> lock(state_->lock);
    state_->oneShot.push_back(rule);
}

void SimpleBus::SetBusRelations(PDEVICE_OBJECT pdo, const std::vector<PDEVICE_OBJECT>& children)
{
    std::lock_guard<std::mutex> lock(state_->lock);
    state_->relations[pdo] = children;
}

std::vector<ReceivedIrp> SimpleBus::Received() const
{
    std::lock_guard<std::mutex> lock(state_->lock);
    return state_->received;
}

void SimpleBus::ClearReceived()
{
    std::lock_guard<std::mutex> lock(state_->lock);
    state_->received.clear();
}

size_t SimpleBus::HeldCount() const
{
    std::lock_guard<std::mutex> lock(state_->lock);
    return state_->held.size();
}

void SimpleBus::ReleaseHeld()
{
    std::deque<std::pair<PIRP, CompletionRule>> held;
    {
        std::lock_guard<std::mutex> lock(state_->lock);
        held.swap(state_->held);
    }
    for (auto& entry : held)
    {
        Finish(IoGetCurrentIrpStackLocation(entry.first)->DeviceObject, entry.first, entry.second,
               entry.second.status);
    }
}

void SimpleBus::ReleaseHeld(NTSTATUS status)
{
    std::deque<std::pair<PIRP, CompletionRule>> held;
    {
        std::lock_guard<std::mutex> lock(state_->lock);
        held.swap(state_->held);
    }
    for (auto& entry : held)
    {
        Finish(IoGetCurrentIrpStackLocation(entry.first)->DeviceObject, entry.first, entry.second, status);
    }
}

PDEVICE_RELATIONS AllocateDeviceRelations(const std::vector<PDEVICE_OBJECT>& objects)
{
    const size_t count = objects.size();
    const size_t size = sizeof(DEVICE_RELATIONS) + (count > 0 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kRelationsTag));
    if (relations == nullptr)
    {
        return nullptr;
    }
    relations->Count = ULONG(count);
    for (size_t i = 0; i < count; ++i)
    {
        relations->Objects[i] = objects[i];
    }
    return relations;
}

} // namespace winsim
