// winsim: how the PnP manager puts one device node's stack together, shared by everything in the
// simulation that builds stacks (the simulated PC's PnP manager and the one-stick storage rig), so that the
// order of AddDevice, attachment and start exist once. Stack order is Windows': the lower filters, the
// function driver, the upper filters, each AddDevice'd on the node's PDO; then IRP_MN_START_DEVICE to the
// top. A bus driver's children are learnt from IRP_MN_QUERY_DEVICE_RELATIONS/BusRelations.
//
// What it checks: nothing beyond the kernel simulation's own rules (AddDevice through CallAddDevice, PnP
// requests through the caller's sender); a driver without an AddDevice routine fails its step with
// STATUS_NOT_SUPPORTED as the PnP manager treats it. Undoing a half-built stack is the caller's: the
// PnP manager gives the node a problem code, the rig refuses to build.
#pragma once

#include "winsim/kernel/winsim_kernel.h"

#include <functional>
#include <vector>

namespace winsim
{

// Sends one PnP request to a device: winsim::SendPnp, or a caller's wrapper that also records it.
using PnpSender = std::function<IrpResult(PDEVICE_OBJECT device, UCHAR minor,
                                          const std::function<void(PIO_STACK_LOCATION)>&)>;

// The drivers of one node's stack, loaded, in the roles the node's properties give them.
struct StackDrivers
{
    std::vector<PDRIVER_OBJECT> lowerFilters;
    PDRIVER_OBJECT function = nullptr;
    std::vector<PDRIVER_OBJECT> upperFilters;

    // Bottom to top, as AddDevice is called.
    std::vector<PDRIVER_OBJECT> InStackOrder() const;
};

struct BuiltStack
{
    enum class Outcome
    {
        Started,
        AddDeviceFailed,
        StartFailed,
    };
    Outcome outcome = Outcome::Started;
    NTSTATUS status = STATUS_SUCCESS; // of the failed AddDevice, or of the start
    size_t added = 0;                 // drivers whose AddDevice ran, in stack order, a failed one included
    PDEVICE_OBJECT functionDevice = nullptr; // the top of the stack once the function driver had attached
};

// AddDevice of every driver in stack order (stopping at the first that fails), then the start.
BuiltStack BuildDeviceStack(PDEVICE_OBJECT pdo, const StackDrivers& drivers, const PnpSender& send);

// The bus relations of a started stack: the children listed, each with the reference the bus driver hands
// over for it (the caller keeps or drops it). Empty when the query fails or lists nothing.
std::vector<PDEVICE_OBJECT> QueryBusRelations(PDEVICE_OBJECT top, const PnpSender& send);

// A PnpSender that only sends.
IrpResult SendPnpPlain(PDEVICE_OBJECT device, UCHAR minor,
                       const std::function<void(PIO_STACK_LOCATION)>& setup);

} // namespace winsim
