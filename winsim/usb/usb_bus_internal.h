// winsim: what the bus PDO's files share (see usb_bus_pdo.h): the state of a simulated device's PDO and
// its pipes, and the execution of one URB against the device, which the dispatch side calls and which
// parks the transfers a device NAKs until they are cancelled, aborted or ended by a port reset.
#pragma once

#include "winsim/usb/usb_bus_pdo.h"

#include "winsim/kernel/winsim_kernel.h"
#include <usbdrivr.h>

#include <map>
#include <mutex>
#include <vector>

namespace winsim::usb::bus
{

constexpr UCHAR kClassMassStorage = 0x08;
constexpr UCHAR kSubclassScsi = 0x06;
constexpr UCHAR kProtocolBulkOnly = 0x50;
constexpr UCHAR kRequestMassStorageReset = 0xFF;
constexpr UCHAR kRequestGetMaxLun = 0xFE;
constexpr USHORT kFeatureEndpointHalt = 0;

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
    int configurationToken = 0;   // its address is the configuration handle
    int interfaceToken = 0;       // its address is the interface handle
    std::vector<PipeState> pipes; // the interface's endpoints in descriptor order; fixed once created
    std::map<USHORT, size_t> urbCounts;
    size_t failBulkOutIn = 0; // UsbBus::FailBulkOutTransfer: bulk OUT transfers until the one that fails
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

// Executes one URB against the PDO's device; a transfer the device NAKs is parked on its pipe.
UrbOutcome ExecuteUrb(PdoState& s, const UrbIrp& carrier, PURB urb);
// Completes a parked transfer as cancelled.
void CompleteCancelled(PIRP irp);

} // namespace winsim::usb::bus
