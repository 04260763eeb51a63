// winsim: the URBs a simulated USB device's PDO executes (see usb_bus_pdo.h): configuration and interface
// selection with the pipes' handles, bulk transfers against the Bulk-Only device (a NAKed one parked on its
// pipe, cancellable), pipe aborts and resets, class requests, clear-feature and descriptors. Misuse by the
// driver above (a pipe handle that is not one of this configuration's, a buffer too short for its
// description) fails the URB as the USB stack does.
#include "winsim/usb/usb_bus_internal.h"

#include "winsim/usb/usb_misuse.h"

#include <algorithm>
#include <cstring>

namespace winsim::usb::bus
{
namespace
{

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
    const ULONG count = ULONG(s.pipes.size());
    const size_t needed = GET_USBD_INTERFACE_SIZE(count);
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
    info.NumberOfPipes = count;
    for (ULONG i = 0; i < count; ++i)
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
        if (pipe->pipe == Pipe::BulkOut && s.failBulkOutIn != 0 && --s.failBulkOutIn == 0)
        {
            transfer.TransferBufferLength = 0;
            pipe->hostHalted = true;
            return Fail(urb, USBD_STATUS_XACT_ERROR, STATUS_UNSUCCESSFUL);
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
        configuration.wTotalLength = USHORT(sizeof configuration + sizeof interface +
                                            s.pipes.size() * sizeof(USB_ENDPOINT_DESCRIPTOR));
        configuration.bNumInterfaces = 1;
        configuration.bConfigurationValue = 1;
        configuration.bmAttributes = 0x80; // bus powered
        configuration.MaxPower = 50;       // 100 mA
        interface.bLength = sizeof interface;
        interface.bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
        interface.bNumEndpoints = UCHAR(s.pipes.size());
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

} // namespace

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

} // namespace winsim::usb::bus
