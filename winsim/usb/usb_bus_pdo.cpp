// winsim: the USB bus driver's PDOs that execute URBs against simulated mass-storage devices (see
// usb_bus_pdo.h).
#include "winsim/usb/usb_bus_pdo.h"

#include "winsim/usb/usb_bus_internal.h"

#include "winsim/usb/usb_misuse.h"

#include "winsim/kernel/winsim_kernel.h"
#include <usbdrivr.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace winsim::usb
{

using namespace bus;

namespace
{

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Runs a URB and either completes its IRP or parks it on the pipe that answered NAK.
void RunAndComplete(PdoState& s, PIRP irp, PURB urb)
{
    const UrbOutcome outcome = ExecuteUrb(s, UrbIrp{irp, false}, urb);
    if (!outcome.parked)
    {
        CompleteIrp(irp, outcome.status);
    }
}

} // namespace

struct UsbBus::State
{
    PDRIVER_OBJECT driver = nullptr;
    mutable std::mutex lock;
    UrbCompletion mode = UrbCompletion::Inline;
    std::chrono::microseconds delay{0};
    std::map<PDEVICE_OBJECT, std::unique_ptr<PdoState>> pdos;
};

namespace
{

NTSTATUS SubmitUrb(UsbBus::State& bus, PdoState& s, PIRP irp, PURB urb)
{
    UrbCompletion mode;
    std::chrono::microseconds delay;
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        mode = bus.mode;
        delay = bus.delay;
    }
    if (mode == UrbCompletion::Deferred)
    {
        IoMarkIrpPending(irp);
        PdoState* state = &s;
        QueueDpc([state, irp, urb] { RunAndComplete(*state, irp, urb); }, delay);
        return STATUS_PENDING;
    }
    const UrbOutcome outcome = ExecuteUrb(s, UrbIrp{irp, true}, urb);
    if (outcome.parked)
    {
        return STATUS_PENDING; // marked pending before it was parked; an abort may already have completed it
    }
    return CompleteIrp(irp, outcome.status);
}

NTSTATUS InternalDeviceControl(UsbBus::State& bus, PdoState& s, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->Parameters.DeviceIoControl.IoControlCode)
    {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: {
        auto* urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
        if (urb == nullptr)
        {
            return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
        }
        return SubmitUrb(bus, s, irp, urb);
    }
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* portStatus = static_cast<PULONG>(sp->Parameters.Others.Argument1);
        if (portStatus == nullptr)
        {
            return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
        }
        *portStatus = s.device->Gone() ? 0 : USBD_PORT_ENABLED | USBD_PORT_CONNECTED;
        return CompleteIrp(irp, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT: {
        if (s.device->PortReset() == TransferStatus::DeviceGone)
        {
            return CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED);
        }
        // The reset ends every transfer still waiting on the port.
        std::vector<PIRP> aborted;
        {
            std::lock_guard<std::mutex> serial(s.transferLock);
            std::lock_guard<std::mutex> guard(s.lock);
            for (PipeState& pipe : s.pipes)
            {
                pipe.hostHalted = false;
                aborted.insert(aborted.end(), pipe.parked.begin(), pipe.parked.end());
                pipe.parked.clear();
            }
        }
        for (PIRP parked : aborted)
        {
            CompleteCancelled(parked);
        }
        return CompleteIrp(irp, STATUS_SUCCESS);
    }
    default:
        return CompleteIrp(irp, STATUS_NOT_SUPPORTED);
    }
}

// A bus PDO answers the PnP requests it owns and leaves the others' status alone.
NTSTATUS Pnp(PIRP irp)
{
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return CompleteIrp(irp, STATUS_SUCCESS);
    default: {
        const NTSTATUS status = irp->IoStatus.Status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* extension = static_cast<PdoExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MajorFunction)
    {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return InternalDeviceControl(*extension->bus, *extension->state, irp);
    case IRP_MJ_PNP:
        return Pnp(irp);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        return CompleteIrp(irp, STATUS_SUCCESS);
    default:
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto& routine : driver->MajorFunction)
    {
        routine = Dispatch;
    }
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

} // namespace

UsbBus::UsbBus(const std::u16string& driverName) : state_(std::make_shared<State>())
{
    state_->driver = LoadDriver(driverName, BusEntry);
    if (state_->driver == nullptr)
    {
        throw MisuseError("the USB bus driver did not load");
    }
}

// Parked transfers are cancelled and free PDOs deleted; a destructor must not bug check.
UsbBus::~UsbBus()
{
    try
    {
        FlushDpcs();
        std::vector<PDEVICE_OBJECT> pdos;
        {
            std::lock_guard<std::mutex> guard(state_->lock);
            for (const auto& entry : state_->pdos)
            {
                pdos.push_back(entry.first);
            }
        }
        for (PDEVICE_OBJECT pdo : pdos)
        {
            if (pdo->AttachedDevice == nullptr)
            {
                RemoveDevice(pdo);
            }
        }
        if (state_->driver->DeviceObject == nullptr)
        {
            UnloadDriver(state_->driver);
        }
    }
    catch (const BugCheckError&)
    {
    }
}

PDRIVER_OBJECT UsbBus::Driver() const
{
    return state_->driver;
}

PDEVICE_OBJECT UsbBus::AddDevice(BulkOnlyDevice& device)
{
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(state_->driver, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
    {
        throw MisuseError("IoCreateDevice failed for a USB PDO");
    }
    auto s = std::make_unique<PdoState>();
    s->device = &device;
    s->pdo = pdo;
    const DeviceConfig& config = device.Config();
    if (config.endpoints.empty())
    {
        s->pipes.push_back(PipeState{
            Pipe::BulkIn, config.bulkInAddress, UsbdPipeTypeBulk, config.maxPacketSize, 0, false, {}});
        s->pipes.push_back(PipeState{
            Pipe::BulkOut, config.bulkOutAddress, UsbdPipeTypeBulk, config.maxPacketSize, 0, false, {}});
        s->pipes.push_back(
            PipeState{Pipe::InterruptIn, config.interruptInAddress, UsbdPipeTypeInterrupt, 8, 8, false, {}});
    }
    for (const EndpointConfig& endpoint : config.endpoints)
    {
        s->pipes.push_back(PipeState{endpoint.pipe,
                                     endpoint.address,
                                     endpoint.interrupt ? UsbdPipeTypeInterrupt : UsbdPipeTypeBulk,
                                     endpoint.maxPacketSize,
                                     UCHAR(endpoint.interrupt ? 8 : 0),
                                     false,
                                     {}});
    }
    auto* extension = static_cast<PdoExtension*>(pdo->DeviceExtension);
    extension->bus = state_.get();
    extension->state = s.get();
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    SetDevicePropertyString(pdo, DevicePropertyEnumeratorName, u"USB");
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->pdos[pdo] = std::move(s);
    return pdo;
}

void UsbBus::RemoveDevice(PDEVICE_OBJECT pdo)
{
    std::unique_ptr<PdoState> s;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        const auto found = state_->pdos.find(pdo);
        if (found == state_->pdos.end())
        {
            throw MisuseError("not a PDO of this USB bus");
        }
        s = std::move(found->second);
        state_->pdos.erase(found);
    }
    std::vector<PIRP> parked;
    {
        std::lock_guard<std::mutex> serial(s->transferLock);
        std::lock_guard<std::mutex> guard(s->lock);
        for (PipeState& pipe : s->pipes)
        {
            parked.insert(parked.end(), pipe.parked.begin(), pipe.parked.end());
        }
    }
    for (PIRP irp : parked)
    {
        CompleteCancelled(irp);
    }
    IoDeleteDevice(pdo);
}

void UsbBus::SetCompletion(UrbCompletion mode, std::chrono::microseconds delay)
{
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->mode = mode;
    state_->delay = delay;
}

size_t UsbBus::ParkedTransfers(PDEVICE_OBJECT pdo) const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    const auto found = state_->pdos.find(pdo);
    if (found == state_->pdos.end())
    {
        throw MisuseError("not a PDO of this USB bus");
    }
    std::lock_guard<std::mutex> pdoGuard(found->second->lock);
    size_t count = 0;
    for (const PipeState& pipe : found->second->pipes)
    {
        count += pipe.parked.size();
    }
    return count;
}

void UsbBus::FailBulkOutTransfer(PDEVICE_OBJECT pdo, size_t n)
{
    std::lock_guard<std::mutex> guard(state_->lock);
    const auto found = state_->pdos.find(pdo);
    if (found == state_->pdos.end())
    {
        throw MisuseError("not a PDO of this USB bus");
    }
    std::lock_guard<std::mutex> pdoGuard(found->second->lock);
    found->second->failBulkOutIn = n;
}

size_t UsbBus::UrbCount(PDEVICE_OBJECT pdo, USHORT function) const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    const auto found = state_->pdos.find(pdo);
    if (found == state_->pdos.end())
    {
        throw MisuseError("not a PDO of this USB bus");
    }
    std::lock_guard<std::mutex> pdoGuard(found->second->lock);
    const auto count = found->second->urbCounts.find(function);
    return count == found->second->urbCounts.end() ? 0 : count->second;
}

} // namespace winsim::usb
