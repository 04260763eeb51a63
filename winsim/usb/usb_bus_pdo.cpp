// winsim: the USB bus driver's PDOs that execute URBs against simulated mass-storage devices (see
// usb_bus_pdo.h).
#include "winsim/usb/usb_bus_pdo.h"

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

namespace
{

constexpr UCHAR kClassMassStorage = 0x08;
constexpr UCHAR kSubclassScsi = 0x06;
constexpr UCHAR kProtocolBulkOnly = 0x50;
constexpr UCHAR kRequestMassStorageReset = 0xFF;
constexpr UCHAR kRequestGetMaxLun = 0xFE;
constexpr USHORT kFeatureEndpointHalt = 0;
constexpr ULONG kPipeCount = 3;

struct PipeState
{
    Pipe pipe = Pipe::BulkIn;
    UCHAR address = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    USHORT maxPacket = 0;
    UCHAR interval = 0;
    bool hostHalted = false;
    std::vector<PIRP> parked;
};

struct PdoState
{
    BulkOnlyDevice* device = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    std::mutex lock;
    // Held from a transfer's call to the device until it is completed or parked, and by an abort: a
    // transfer the device NAKs cannot slip past an abort that runs meanwhile.
    std::mutex transferLock;
    bool configured = false;
    int configurationToken = 0; // its address is the configuration handle
    int interfaceToken = 0;     // its address is the interface handle
    PipeState pipes[kPipeCount];
    std::map<USHORT, size_t> urbCounts;
};

struct PdoExtension
{
    UsbBus::State* bus;
    PdoState* state;
};

// What executing one URB led to: a status to complete the IRP with, or the IRP parked on its pipe.
struct UrbOutcome
{
    NTSTATUS status = STATUS_SUCCESS;
    bool parked = false;
};

// The IRP that carries a URB, and whether it still has to be marked pending should it be parked.
struct UrbIrp
{
    PIRP irp;
    bool markPendingToPark;
};

UrbOutcome Fail(PURB urb, USBD_STATUS usbdStatus, NTSTATUS status)
{
    urb->UrbHeader.Status = usbdStatus;
    return UrbOutcome{status, false};
}

UrbOutcome Succeed(PURB urb)
{
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return UrbOutcome{STATUS_SUCCESS, false};
}

PipeState* FindPipe(PdoState& s, USBD_PIPE_HANDLE handle)
{
    for (PipeState& pipe : s.pipes)
    {
        if (handle == static_cast<USBD_PIPE_HANDLE>(&pipe))
        {
            return &pipe;
        }
    }
    return nullptr;
}

// The buffer of a transfer: through its MDL when it has one, as the host controller uses it.
void* TransferAddress(PVOID buffer, PMDL mdl)
{
    if (mdl != nullptr)
    {
        return MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    }
    return buffer;
}

// The single interface of a Bulk-Only device, written where the client's request has room for it.
UrbOutcome FillInterface(PdoState& s, PURB urb, USBD_INTERFACE_INFORMATION& info, const UCHAR* urbEnd)
{
    const size_t needed = GET_USBD_INTERFACE_SIZE(kPipeCount);
    if (info.Length < needed || reinterpret_cast<const UCHAR*>(&info) + needed > urbEnd)
    {
        return Fail(urb, USBD_STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_PARAMETER);
    }
    info.InterfaceNumber = 0;
    info.AlternateSetting = 0;
    info.Class = kClassMassStorage;
    info.SubClass = kSubclassScsi;
    info.Protocol = kProtocolBulkOnly;
    info.InterfaceHandle = &s.interfaceToken;
    info.NumberOfPipes = kPipeCount;
    for (ULONG i = 0; i < kPipeCount; ++i)
    {
        PipeState& pipe = s.pipes[i];
        USBD_PIPE_INFORMATION& out = info.Pipes[i];
        out.MaximumPacketSize = pipe.maxPacket;
        out.EndpointAddress = pipe.address;
        out.Interval = pipe.interval;
        out.PipeType = pipe.type;
        out.PipeHandle = &pipe;
        if (out.MaximumTransferSize == 0)
        {
            out.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        out.PipeFlags = 0;
        pipe.hostHalted = false;
    }
    s.configured = true;
    return Succeed(urb);
}

UrbOutcome SelectConfiguration(PdoState& s, PURB urb)
{
    auto& select = urb->UrbSelectConfiguration;
    std::lock_guard<std::mutex> guard(s.lock);
    if (select.ConfigurationDescriptor == nullptr) // back to the unconfigured state
    {
        s.configured = false;
        select.ConfigurationHandle = nullptr;
        return Succeed(urb);
    }
    const UCHAR* end = reinterpret_cast<const UCHAR*>(urb) + urb->UrbHeader.Length;
    const UrbOutcome outcome = FillInterface(s, urb, select.Interface, end);
    if (NT_SUCCESS(outcome.status))
    {
        select.ConfigurationHandle = &s.configurationToken;
    }
    return outcome;
}

UrbOutcome SelectInterface(PdoState& s, PURB urb)
{
    auto& select = urb->UrbSelectInterface;
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.configured || select.ConfigurationHandle != &s.configurationToken)
    {
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    if (select.Interface.InterfaceNumber != 0 || select.Interface.AlternateSetting != 0)
    {
        return Fail(urb, USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER);
    }
    const UCHAR* end = reinterpret_cast<const UCHAR*>(urb) + urb->UrbHeader.Length;
    return FillInterface(s, urb, select.Interface, end);
}

// A transfer error leaves the host side of the pipe halted until the client resets the pipe.
void CancelParked(PDEVICE_OBJECT device, PIRP irp);

UrbOutcome TransferError(PdoState& s, PipeState& pipe, PURB urb, USBD_STATUS usbdStatus)
{
    std::lock_guard<std::mutex> guard(s.lock);
    pipe.hostHalted = true;
    return Fail(urb, usbdStatus, STATUS_UNSUCCESSFUL);
}

UrbOutcome BulkOrInterruptTransfer(PdoState& s, const UrbIrp& carrier, PURB urb)
{
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    PipeState* pipe = nullptr;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        pipe = s.configured ? FindPipe(s, transfer.PipeHandle) : nullptr;
        if (pipe == nullptr)
        {
            return Fail(urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
        }
        if (pipe->hostHalted)
        {
            transfer.TransferBufferLength = 0;
            return Fail(urb, USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL);
        }
    }
    const ULONG requested = transfer.TransferBufferLength;
    void* buffer = TransferAddress(transfer.TransferBuffer, transfer.TransferBufferMDL);
    if (transfer.TransferBufferMDL != nullptr && buffer == nullptr)
    {
        return Fail(urb, USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES);
    }
    if (buffer == nullptr && requested != 0)
    {
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }

    // The direction is the endpoint's: the bus ignores USBD_TRANSFER_DIRECTION_IN on a bulk pipe.
    std::lock_guard<std::mutex> serial(s.transferLock);
    const TransferResult result = s.device->Transfer(pipe->pipe, buffer, requested);
    transfer.TransferBufferLength = result.bytes;
    switch (result.status)
    {
    case TransferStatus::Ok:
        if (pipe->pipe != Pipe::BulkOut && result.bytes < requested &&
            (transfer.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0)
        {
            return TransferError(s, *pipe, urb, USBD_STATUS_DATA_UNDERRUN);
        }
        return Succeed(urb);
    case TransferStatus::Stall:
        return TransferError(s, *pipe, urb, USBD_STATUS_STALL_PID);
    case TransferStatus::Overrun:
        return TransferError(s, *pipe, urb, USBD_STATUS_BABBLE_DETECTED);
    case TransferStatus::Nak: {
        // Parked with a cancel routine, as a host controller queues a transfer the client may cancel; one
        // cancelled before it got here ends at once.
        std::lock_guard<std::mutex> guard(s.lock);
        IoSetCancelRoutine(carrier.irp, CancelParked);
        if (__atomic_load_n(&carrier.irp->Cancel, __ATOMIC_SEQ_CST) &&
            IoSetCancelRoutine(carrier.irp, nullptr) != nullptr)
        {
            transfer.TransferBufferLength = 0;
            return Fail(urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
        }
        urb->UrbHeader.Status = USBD_STATUS_PENDING;
        if (carrier.markPendingToPark)
        {
            IoMarkIrpPending(carrier.irp);
        }
        pipe->parked.push_back(carrier.irp);
        return UrbOutcome{STATUS_PENDING, true};
    }
    case TransferStatus::DeviceGone:
        return Fail(urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    }
    return Fail(urb, USBD_STATUS_INTERNAL_HC_ERROR, STATUS_UNSUCCESSFUL);
}

void CompleteCancelled(PIRP irp)
{
    IoSetCancelRoutine(irp, nullptr);
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// A parked transfer cancelled by its sender ends as cancelled, unless an abort took it from its pipe
// first (the abort completes it then).
void CancelParked(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PdoState& s = *static_cast<PdoExtension*>(device->DeviceExtension)->state;
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        for (PipeState& pipe : s.pipes)
        {
            const auto at = std::find(pipe.parked.begin(), pipe.parked.end(), irp);
            if (at != pipe.parked.end())
            {
                pipe.parked.erase(at);
                found = true;
            }
        }
    }
    if (found)
    {
        CompleteCancelled(irp);
    }
}

UrbOutcome PipeRequest(PdoState& s, PURB urb)
{
    const USHORT function = urb->UrbHeader.Function;
    PipeState* pipe = nullptr;
    std::vector<PIRP> aborted;
    {
        std::lock_guard<std::mutex> serial(s.transferLock);
        std::lock_guard<std::mutex> guard(s.lock);
        pipe = s.configured ? FindPipe(s, urb->UrbPipeRequest.PipeHandle) : nullptr;
        if (pipe == nullptr)
        {
            return Fail(urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
        }
        if (function == URB_FUNCTION_ABORT_PIPE)
        {
            aborted.swap(pipe->parked);
        }
        if (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
            function == URB_FUNCTION_SYNC_RESET_PIPE)
        {
            pipe->hostHalted = false;
        }
    }
    for (PIRP irp : aborted)
    {
        CompleteCancelled(irp);
    }
    if (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || function == URB_FUNCTION_SYNC_CLEAR_STALL)
    {
        if (s.device->ClearHalt(pipe->pipe) == TransferStatus::DeviceGone)
        {
            return Fail(urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
        }
    }
    return Succeed(urb);
}

UrbOutcome ClassInterfaceRequest(PdoState& s, PURB urb)
{
    auto& request = urb->UrbControlVendorClassRequest;
    TransferStatus status = TransferStatus::Stall;
    if (request.Request == kRequestMassStorageReset)
    {
        status = s.device->MassStorageReset();
        request.TransferBufferLength = 0;
    }
    else if (request.Request == kRequestGetMaxLun)
    {
        auto* buffer =
            static_cast<UCHAR*>(TransferAddress(request.TransferBuffer, request.TransferBufferMDL));
        if (buffer == nullptr || request.TransferBufferLength < 1)
        {
            return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        uint8_t maxLun = 0;
        status = s.device->GetMaxLun(&maxLun);
        if (status == TransferStatus::Ok)
        {
            *buffer = maxLun;
            request.TransferBufferLength = 1;
        }
    }
    if (status == TransferStatus::DeviceGone)
    {
        return Fail(urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    }
    if (status != TransferStatus::Ok)
    {
        return Fail(urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    }
    return Succeed(urb);
}

UrbOutcome ClearEndpointFeature(PdoState& s, PURB urb)
{
    const auto& request = urb->UrbControlFeatureRequest;
    if (request.FeatureSelector != kFeatureEndpointHalt)
    {
        return Fail(urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    }
    for (PipeState& pipe : s.pipes)
    {
        if (pipe.address == UCHAR(request.Index))
        {
            if (s.device->ClearHalt(pipe.pipe) == TransferStatus::DeviceGone)
            {
                return Fail(urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
            }
            return Succeed(urb);
        }
    }
    return Fail(urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
}

// The device and configuration descriptors that describe the PDO's pipes.
UrbOutcome GetDescriptor(PdoState& s, PURB urb)
{
    auto& request = urb->UrbControlDescriptorRequest;
    const DeviceConfig& config = s.device->Config();
    std::vector<UCHAR> bytes;
    if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE)
    {
        USB_DEVICE_DESCRIPTOR device{};
        device.bLength = sizeof device;
        device.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        device.bcdUSB = 0x0200;
        device.bMaxPacketSize0 = 64;
        device.idVendor = config.vendorId;
        device.idProduct = config.productId;
        device.bcdDevice = config.bcdDevice;
        device.bNumConfigurations = 1;
        const auto* raw = reinterpret_cast<const UCHAR*>(&device);
        bytes.assign(raw, raw + sizeof device);
    }
    else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)
    {
        USB_CONFIGURATION_DESCRIPTOR configuration{};
        USB_INTERFACE_DESCRIPTOR interface {
        };
        configuration.bLength = sizeof configuration;
        configuration.bDescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
        configuration.wTotalLength =
            USHORT(sizeof configuration + sizeof interface + kPipeCount * sizeof(USB_ENDPOINT_DESCRIPTOR));
        configuration.bNumInterfaces = 1;
        configuration.bConfigurationValue = 1;
        configuration.bmAttributes = 0x80; // bus powered
        configuration.MaxPower = 50;       // 100 mA
        interface.bLength = sizeof interface;
        interface.bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
        interface.bNumEndpoints = kPipeCount;
        interface.bInterfaceClass = kClassMassStorage;
        interface.bInterfaceSubClass = kSubclassScsi;
        interface.bInterfaceProtocol = kProtocolBulkOnly;
        const auto append = [&bytes](const void* p, size_t n) {
            bytes.insert(bytes.end(), static_cast<const UCHAR*>(p), static_cast<const UCHAR*>(p) + n);
        };
        append(&configuration, sizeof configuration);
        append(&interface, sizeof interface);
        for (const PipeState& pipe : s.pipes)
        {
            USB_ENDPOINT_DESCRIPTOR endpoint{};
            endpoint.bLength = sizeof endpoint;
            endpoint.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
            endpoint.bEndpointAddress = pipe.address;
            endpoint.bmAttributes =
                pipe.type == UsbdPipeTypeBulk ? USB_ENDPOINT_TYPE_BULK : USB_ENDPOINT_TYPE_INTERRUPT;
            endpoint.wMaxPacketSize = pipe.maxPacket;
            endpoint.bInterval = pipe.interval;
            append(&endpoint, sizeof endpoint);
        }
    }
    else
    {
        return Fail(urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    }
    auto* buffer = static_cast<UCHAR*>(TransferAddress(request.TransferBuffer, request.TransferBufferMDL));
    if (buffer == nullptr)
    {
        return Fail(urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    const ULONG length = std::min<ULONG>(request.TransferBufferLength, ULONG(bytes.size()));
    std::memcpy(buffer, bytes.data(), length);
    request.TransferBufferLength = length;
    return Succeed(urb);
}

UrbOutcome ExecuteUrb(PdoState& s, const UrbIrp& carrier, PURB urb)
{
    {
        std::lock_guard<std::mutex> guard(s.lock);
        ++s.urbCounts[urb->UrbHeader.Function];
    }
    switch (urb->UrbHeader.Function)
    {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(s, urb);
    case URB_FUNCTION_SELECT_INTERFACE:
        return SelectInterface(s, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkOrInterruptTransfer(s, carrier, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return PipeRequest(s, urb);
    case URB_FUNCTION_CLASS_INTERFACE:
        return ClassInterfaceRequest(s, urb);
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
        return ClearEndpointFeature(s, urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(s, urb);
    default:
        return Fail(urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_NOT_SUPPORTED);
    }
}

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
    s->pipes[0] =
        PipeState{Pipe::BulkIn, config.bulkInAddress, UsbdPipeTypeBulk, config.maxPacketSize, 0, false, {}};
    s->pipes[1] =
        PipeState{Pipe::BulkOut, config.bulkOutAddress, UsbdPipeTypeBulk, config.maxPacketSize, 0, false, {}};
    s->pipes[2] =
        PipeState{Pipe::InterruptIn, config.interruptInAddress, UsbdPipeTypeInterrupt, 8, 8, false, {}};
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
