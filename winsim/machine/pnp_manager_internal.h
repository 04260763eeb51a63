// winsim/machine: what the PnP manager's files share: the record of one node's stack, the record of one USB
// storage device, and the helpers that read and change a node's state.
#pragma once

#include "winsim/machine/pnp_manager.h"

#include "winsim/usb/bot_device.h"

#include <memory>
#include <vector>

namespace winsim::machine
{

// One node's stack: the PDO it is built on, whether the manager holds the reference a bus driver hands
// over with its relations, and the services whose AddDevice ran for it.
struct PnpManager::NodeStack
{
    PDEVICE_OBJECT pdo = nullptr;
    bool relationReference = false;
    bool started = false;
    std::vector<WString> services;
};

// One USB storage device: the device model the bus PDO executes URBs against, and that PDO. The model
// outlives its PDO; a device that left the bus gets a fresh model when it comes back.
struct PnpManager::Unit
{
    UsbDevice* device = nullptr;
    std::unique_ptr<winsim::usb::BulkOnlyDevice> model;
    PDEVICE_OBJECT pdo = nullptr;
};

namespace pnp
{

constexpr ULONG kStartedFlags = DN_STARTED | DN_DRIVER_LOADED;

PnpManager::NodeStack* StackOf(const DevNode& node);
PnpManager::NodeStack& EnsureStack(DevNode& node);
// The service part of "\\Driver\\<service>".
WString ServiceOfDriver(PDRIVER_OBJECT driver);
// The disk node of a unit and the volume on it appear and vanish together with the unit's enumeration.
void SetDiskPresent(Machine& machine, UsbLun& lun, bool present);

} // namespace pnp
} // namespace winsim::machine
