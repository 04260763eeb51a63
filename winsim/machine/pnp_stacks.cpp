// winsim/machine: how the PnP manager builds and takes down the stacks of a USB storage device and its
// disks (see pnp_manager.h): the device model and bus PDO of a node, stacks built from the filter lists
// through the kernel simulation's one stack-building routine, the disks a USB node enumerates, the
// query-remove that a driver or an open volume may refuse, and removal children first.
#include "winsim/machine/pnp_manager_internal.h"

#include "winsim/kernel/pnp_stack.h"
#include "winsim/usb/disk_image.h"

#include <algorithm>

namespace winsim::machine
{

namespace wu = winsim::usb;
using namespace pnp;

namespace
{

// The registry values a PDO's device node answers IoGetDeviceProperty with, by CM_DRP_* number.
struct PropertyMapping
{
    ULONG cmProperty;
    DEVICE_REGISTRY_PROPERTY deviceProperty;
};

constexpr PropertyMapping kInstanceProperties[] = {
    {CM_DRP_DEVICEDESC, DevicePropertyDeviceDescription},
    {CM_DRP_HARDWAREID, DevicePropertyHardwareID},
    {CM_DRP_COMPATIBLEIDS, DevicePropertyCompatibleIDs},
    {CM_DRP_CLASS, DevicePropertyClassName},
    {CM_DRP_CLASSGUID, DevicePropertyClassGuid},
    {CM_DRP_DRIVER, DevicePropertyDriverKeyName},
    {CM_DRP_MFG, DevicePropertyManufacturer},
    {CM_DRP_FRIENDLYNAME, DevicePropertyFriendlyName},
    {CM_DRP_LOCATION_INFORMATION, DevicePropertyLocationInformation},
    {CM_DRP_UI_NUMBER, DevicePropertyUINumber},
    {CM_DRP_ADDRESS, DevicePropertyAddress},
    {CM_DRP_REMOVAL_POLICY, DevicePropertyRemovalPolicy},
};

// Drivers ask the PnP manager for their device's identity; it answers from the node's registry values.
void PublishInstanceData(const DevNode& node, PDEVICE_OBJECT pdo)
{
    for (const PropertyMapping& mapping : kInstanceProperties)
    {
        const auto value = node.properties.find(mapping.cmProperty);
        if (value != node.properties.end())
        {
            winsim::SetDeviceProperty(pdo, mapping.deviceProperty, value->second.data.data(),
                                      ULONG(value->second.data.size()));
        }
    }
}

} // namespace

// ---- Building ------------------------------------------------------------------------------------------

// The device model is made from the node's logical units; a unit without an image gets a sparse memory
// image, kept in the unit's slot so that its data outlives restarts and a replug.
PnpManager::Unit& PnpManager::UnitFor(UsbDevice& device)
{
    std::unique_ptr<Unit>& unit = units_[&device];
    if (!unit)
    {
        unit = std::make_unique<Unit>();
        unit->device = &device;
    }
    if (!unit->model)
    {
        wu::DeviceConfig config;
        config.vendorId = device.descriptor.idVendor;
        config.productId = device.descriptor.idProduct;
        for (const auto& lun : device.luns)
        {
            if (!lun->image)
            {
                lun->image =
                    std::static_pointer_cast<void>(std::make_shared<wu::MemoryDiskImage>(lun->sizeBytes));
            }
            wu::LunConfig lunConfig;
            lunConfig.image = std::static_pointer_cast<wu::DiskImage>(lun->image);
            lunConfig.vendor = Narrow(lun->vendor);
            lunConfig.product = Narrow(lun->product);
            lunConfig.revision = Narrow(lun->revision);
            config.luns.push_back(lunConfig);
        }
        unit->model = std::make_unique<wu::BulkOnlyDevice>(config);
    }
    return *unit;
}

// The USB node's stack on the bus PDO of its device, then the disks it enumerates. A node that does not
// start enumerates nothing: its disks are not present.
bool PnpManager::BuildUsbNode(Unit& unit)
{
    DevNode& node = *unit.device->devNode;
    if (!node.present)
    {
        return false;
    }
    if (unit.pdo == nullptr)
    {
        unit.pdo = bus_->AddDevice(*unit.model);
    }
    if (!BuildNode(node, unit.pdo))
    {
        for (const auto& lun : unit.device->luns)
        {
            SetDiskPresent(machine_, *lun, false);
        }
        return false;
    }
    EnumerateChildren(unit, node);
    return true;
}

// Builds one stack as the PnP manager does: every service of the stack is loaded before any AddDevice
// runs (lower filters, function driver, upper filters, in that order); a failed AddDevice or start
// removes what was attached again.
bool PnpManager::BuildNode(DevNode& node, PDEVICE_OBJECT pdo)
{
    NodeStack& stack = EnsureStack(node);
    stack.pdo = pdo;
    stack.started = false;
    // The PDO's hardware key is its node's, whatever device object stands for the node today.
    winsim::SetDeviceInstancePath(pdo, node.instanceId);
    stack.services.clear();

    const std::vector<WString> lowerFilters = node.GetMultiString(CM_DRP_LOWERFILTERS);
    const std::vector<WString> upperFilters = node.GetMultiString(CM_DRP_UPPERFILTERS);
    const WString function = node.Service();
    if (function.empty())
    {
        Fail(node, CM_PROB_FAILED_INSTALL);
        return false;
    }
    std::vector<WString> services = lowerFilters;
    services.push_back(function);
    services.insert(services.end(), upperFilters.begin(), upperFilters.end());

    std::vector<PDRIVER_OBJECT> drivers;
    for (const WString& service : services)
    {
        ULONG problem = 0;
        PDRIVER_OBJECT driver = LoadService(service, &problem);
        if (driver == nullptr)
        {
            Fail(node, problem);
            UnloadIdleDrivers();
            return false;
        }
        drivers.push_back(driver);
    }
    winsim::StackDrivers roles;
    roles.lowerFilters.assign(drivers.begin(), drivers.begin() + lowerFilters.size());
    roles.function = drivers[lowerFilters.size()];
    roles.upperFilters.assign(drivers.begin() + lowerFilters.size() + 1, drivers.end());

    PublishInstanceData(node, pdo);
    const winsim::BuiltStack built = winsim::BuildDeviceStack(pdo, roles, SenderFor(node));
    stack.services.assign(services.begin(), services.begin() + built.added);
    if (built.outcome != winsim::BuiltStack::Outcome::Started)
    {
        RemoveStack(node);
        Fail(node, built.outcome == winsim::BuiltStack::Outcome::AddDeviceFailed ? CM_PROB_FAILED_ADD
                                                                                 : CM_PROB_FAILED_START);
        UnloadIdleDrivers();
        return false;
    }
    stack.started = true;
    node.status |= kStartedFlags;
    node.problem = 0;
    return true;
}

// Bus relations of the USB node: the i-th child reported is the disk node of the i-th logical unit. The
// bus driver hands over one reference per object listed; the manager keeps it for a new child and drops
// it for one it already knows. Units not reported are not present.
void PnpManager::EnumerateChildren(Unit& unit, DevNode& usbNode)
{
    const std::vector<PDEVICE_OBJECT> children =
        winsim::QueryBusRelations(IoGetAttachedDevice(unit.pdo), SenderFor(usbNode));
    const auto& luns = unit.device->luns;
    if (children.size() > luns.size())
    {
        Violation("%s reported %zu children for a device with %zu logical units",
                  Narrow(usbNode.instanceId).c_str(), children.size(), luns.size());
    }
    for (size_t index = 0; index < luns.size(); ++index)
    {
        UsbLun& lun = *luns[index];
        if (index >= children.size() || lun.disk == nullptr)
        {
            SetDiskPresent(machine_, lun, false);
            if (index < children.size())
            {
                ObDereferenceObject(children[index]);
            }
            continue;
        }
        PDEVICE_OBJECT child = children[index];
        NodeStack* known = StackOf(*lun.disk);
        if (known != nullptr && known->pdo == child)
        {
            ObDereferenceObject(child);
            continue;
        }
        child->Flags |= DO_BUS_ENUMERATED_DEVICE;
        winsim::SetDevicePropertyString(child, DevicePropertyEnumeratorName, u"USBSTOR");
        SetDiskPresent(machine_, lun, true);
        NodeStack& stack = EnsureStack(*lun.disk);
        stack.relationReference = true;
        BuildNode(*lun.disk, child);
    }
}

// ---- Removal -------------------------------------------------------------------------------------------

// IRP_MN_REMOVE_DEVICE to the top of a node's stack. Every driver above the PDO must have detached and
// deleted its device when the request is done; the PDO stays (its bus decides).
void PnpManager::RemoveStack(DevNode& node)
{
    NodeStack* stack = StackOf(node);
    if (stack == nullptr || stack->pdo == nullptr)
    {
        return;
    }
    if (stack->started || stack->pdo->AttachedDevice != nullptr)
    {
        Send(node, IoGetAttachedDevice(stack->pdo), IRP_MN_REMOVE_DEVICE);
        if (stack->pdo->AttachedDevice != nullptr)
        {
            Violation("%s: the %s driver is still attached after IRP_MN_REMOVE_DEVICE",
                      Narrow(node.instanceId).c_str(),
                      Narrow(ServiceOfDriver(stack->pdo->AttachedDevice->DriverObject)).c_str());
        }
    }
    stack->started = false;
    stack->services.clear();
    node.status &= ~kStartedFlags;
}

// A disk's volume is among its removal relations and is asked first; a file system with open files on it
// refuses.
bool PnpManager::VolumeOpenOn(const DevNode& disk) const
{
    for (const auto& volume : machine_.Volumes())
    {
        if ((volume->inUse || openVolumes_.count(volume.get()) != 0) && volume->lun != nullptr &&
            volume->lun->disk == &disk)
        {
            return true;
        }
    }
    return false;
}

// Query-remove of one started stack; false when it, or the volume on it, refuses.
bool PnpManager::QueryRemove(DevNode& node)
{
    if (VolumeOpenOn(node))
    {
        return false;
    }
    NodeStack& stack = *StackOf(node);
    if (NT_SUCCESS(Send(node, IoGetAttachedDevice(stack.pdo), IRP_MN_QUERY_REMOVE_DEVICE).status))
    {
        return true;
    }
    // The stack that refused has drivers that agreed below the one that failed: they hear the cancel.
    Send(node, IoGetAttachedDevice(stack.pdo), IRP_MN_CANCEL_REMOVE_DEVICE);
    return false;
}

// Query-remove goes to the leaves first: every started disk, then the USB node. A refusal cancels the
// query for every stack that already agreed, in reverse order.
bool PnpManager::QueryRemoveSubtree(Unit& unit)
{
    std::vector<DevNode*> order;
    for (const auto& lun : unit.device->luns)
    {
        if (lun->disk != nullptr && StackOf(*lun->disk) != nullptr && StackOf(*lun->disk)->started)
        {
            order.push_back(lun->disk);
        }
    }
    DevNode& usbNode = *unit.device->devNode;
    if (StackOf(usbNode) != nullptr && StackOf(usbNode)->started)
    {
        order.push_back(&usbNode);
    }
    for (size_t index = 0; index < order.size(); ++index)
    {
        if (!QueryRemove(*order[index]))
        {
            for (size_t back = index; back-- > 0;)
            {
                DevNode& agreed = *order[back];
                Send(agreed, IoGetAttachedDevice(StackOf(agreed)->pdo), IRP_MN_CANCEL_REMOVE_DEVICE);
            }
            return false;
        }
    }
    return true;
}

// Removes the USB node's subtree, disks first. The disks' PDOs belong to the function driver, which
// deletes them when its own device is removed; only then does the manager drop its references to them.
void PnpManager::RemoveUsbSubtree(Unit& unit, bool surprise, bool deletePdo)
{
    DevNode& usbNode = *unit.device->devNode;
    std::vector<DevNode*> disks;
    for (const auto& lun : unit.device->luns)
    {
        if (lun->disk != nullptr && StackOf(*lun->disk) != nullptr && StackOf(*lun->disk)->pdo != nullptr)
        {
            disks.push_back(lun->disk);
        }
    }
    if (surprise)
    {
        for (DevNode* disk : disks)
        {
            if (StackOf(*disk)->started)
            {
                Send(*disk, IoGetAttachedDevice(StackOf(*disk)->pdo), IRP_MN_SURPRISE_REMOVAL);
            }
        }
        if (StackOf(usbNode) != nullptr && StackOf(usbNode)->started)
        {
            Send(usbNode, IoGetAttachedDevice(unit.pdo), IRP_MN_SURPRISE_REMOVAL);
        }
    }
    for (DevNode* disk : disks)
    {
        RemoveStack(*disk);
    }
    RemoveStack(usbNode);
    for (DevNode* disk : disks)
    {
        NodeStack* stack = StackOf(*disk);
        if (stack->relationReference)
        {
            ObDereferenceObject(stack->pdo);
        }
        disk->kernelStack.reset();
    }
    if (deletePdo && unit.pdo != nullptr)
    {
        bus_->RemoveDevice(unit.pdo);
        unit.pdo = nullptr;
        usbNode.kernelStack.reset();
    }
    UnloadIdleDrivers();
}

} // namespace winsim::machine
