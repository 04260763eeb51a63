// winsim: the USB bus driver's physical device objects for simulated mass-storage devices. Each PDO
// executes the URBs that its function driver (or a filter below it) submits with
// IOCTL_INTERNAL_USB_SUBMIT_URB against a BulkOnlyDevice: configuration and interface selection (one
// interface with bulk IN, bulk OUT and an interrupt IN pipe), bulk and interrupt transfers by
// TransferBuffer or TransferBufferMDL, pipe abort, reset and clear-stall, the mass-storage class requests
// and the device and configuration descriptors. URBs complete inline, or are left pending and completed
// later on the DPC thread at DISPATCH_LEVEL as a host controller's DPC does.
//
// What it checks, as the USB stack does: a transfer needs a configured device and a pipe handle of that
// configuration, and a buffer when it has a length; after a transfer error the host side of the pipe
// stays halted (USBD_STATUS_ENDPOINT_HALTED) until the client resets it; a short IN transfer without
// USBD_SHORT_TRANSFER_OK is an error. The direction of a bulk transfer is the pipe's, whatever the flags
// say. A transfer the device answers with NAK stays pending until the pipe is aborted (there is no
// cancel routine). The bus must be destroyed before the kernel simulation is reset.
#pragma once

#include "winsim/usb/bot_device.h"

#include <ntddk.h>

#include <chrono>
#include <memory>
#include <string>

namespace winsim::usb
{

enum class UrbCompletion
{
    Inline,   // the URB is executed and completed in the dispatch routine
    Deferred, // marked pending, executed and completed on the DPC thread at DISPATCH_LEVEL
};

class UsbBus
{
public:
    explicit UsbBus(const std::u16string& driverName = u"WinsimUsbHub");
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    PDRIVER_OBJECT Driver() const;
    // A PDO for the device, which must outlive it; enumerator name "USB".
    PDEVICE_OBJECT AddDevice(BulkOnlyDevice& device);
    // Completes its parked transfers as cancelled and deletes the PDO (nothing may be attached to it).
    void RemoveDevice(PDEVICE_OBJECT pdo);

    void SetCompletion(UrbCompletion mode, std::chrono::microseconds delay = std::chrono::microseconds(0));
    // Transfers waiting for an abort because the device answered NAK.
    size_t ParkedTransfers(PDEVICE_OBJECT pdo) const;
    // URBs received by the PDO, by function.
    size_t UrbCount(PDEVICE_OBJECT pdo, USHORT function) const;
    // The n-th bulk OUT transfer from now (1: the next) fails on the wire, as after repeated CRC errors: the
    // device sees nothing of it, the URB ends with USBD_STATUS_XACT_ERROR and the host side of the pipe
    // halts. 0 turns it off.
    void FailBulkOutTransfer(PDEVICE_OBJECT pdo, size_t n);

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace winsim::usb
