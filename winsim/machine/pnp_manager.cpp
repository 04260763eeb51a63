// winsim/machine: the Plug and Play manager of the simulated PC (see pnp_manager.h).
#include "winsim/machine/pnp_manager.h"

#include "winsim/kernel/pnp_stack.h"

#include "winsim/usb/disk_class_driver.h"
#include "winsim/usb/disk_image.h"
#include "winsim/usb/mass_storage_driver.h"

#include <algorithm>
#include <mutex>
#include <set>

namespace winsim::machine
{

namespace wu = winsim::usb;

const char16_t* const PnpManager::kBusService = u"usbhub";

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
    std::unique_ptr<wu::BulkOnlyDevice> model;
    PDEVICE_OBJECT pdo = nullptr;
};

namespace
{

constexpr DWORD kServiceDisabled = 4; // SERVICE_DISABLED
constexpr ULONG kStartedFlags = DN_STARTED | DN_DRIVER_LOADED;

PnpManager::NodeStack* StackOf(const DevNode& node)
{
    return static_cast<PnpManager::NodeStack*>(node.kernelStack.get());
}

PnpManager::NodeStack& EnsureStack(DevNode& node)
{
    if (StackOf(node) == nullptr)
    {
        node.kernelStack = std::make_shared<PnpManager::NodeStack>();
    }
    return *StackOf(node);
}

// The service part of "\Driver\<service>".
WString ServiceOfDriver(PDRIVER_OBJECT driver)
{
    const UNICODE_STRING& name = driver->DriverName;
    WString text(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
    const size_t slash = text.rfind(u'\\');
    return slash == WString::npos ? text : text.substr(slash + 1);
}

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

// The disk node of a unit and the volume on it appear and vanish together with the unit's enumeration.
void SetDiskPresent(Machine& machine, UsbLun& lun, bool present)
{
    if (lun.disk != nullptr)
    {
        machine.SetPresent(*lun.disk, present);
        if (!present)
        {
            lun.disk->status &= ~kStartedFlags;
        }
    }
    if (lun.volume != nullptr && lun.volume->devNode != nullptr)
    {
        machine.SetPresent(*lun.volume->devNode, present);
    }
}

// The machines that have a PnP manager: a second one would build a second set of stacks over the same
// device nodes.
std::mutex g_managedLock;
std::set<const Machine*> g_managed;

} // namespace

PnpManager::PnpManager(Machine& machine) : machine_(machine)
{
    {
        std::lock_guard<std::mutex> guard(g_managedLock);
        if (!g_managed.insert(&machine).second)
        {
            Violation("the machine already has a PnP manager");
        }
    }
    try
    {
        bus_ = std::make_unique<wu::UsbBus>(kBusService);
    }
    catch (...)
    {
        std::lock_guard<std::mutex> guard(g_managedLock);
        g_managed.erase(&machine);
        throw;
    }
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    machine_.onRestart = [this](DevNode& node) { return Restart(node); };
}

// A destructor must not bug check; a test that traps bug checks sees the one shutdown raised.
PnpManager::~PnpManager()
{
    {
        std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
        machine_.onRestart = nullptr;
    }
    try
    {
        Shutdown();
    }
    catch (const winsim::BugCheckError&)
    {
    }
    bus_.reset();
    std::lock_guard<std::mutex> guard(g_managedLock);
    g_managed.erase(&machine_);
}

void PnpManager::RegisterDriver(const WString& service, const winsim::DriverEntryRoutine& entry)
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    images_[Upper(service)] = entry;
}

void PnpManager::RegisterStorageDrivers()
{
    RegisterDriver(u"USBSTOR", wu::MassStorageDriverEntry);
    RegisterDriver(u"disk", wu::DiskClassDriverEntry);
}

void PnpManager::SetPnpObserver(std::function<void(const DevNode&, UCHAR minor)> observer)
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    observer_ = std::move(observer);
}

winsim::PnpSender PnpManager::SenderFor(DevNode& node)
{
    return
        [this, &node](PDEVICE_OBJECT top, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup) {
            return Send(node, top, minor, setup);
        };
}

winsim::IrpResult PnpManager::Send(DevNode& node, PDEVICE_OBJECT top, UCHAR minor,
                                   const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    if (observer_)
    {
        observer_(node, minor);
    }
    return winsim::SendPnp(top, minor, setup);
}

// ---- Services ------------------------------------------------------------------------------------------

// Loads a service once, as the I/O manager does for the first device that needs it. Only an installed
// service with an image loads; what stops it is the problem code Windows gives the device.
PDRIVER_OBJECT PnpManager::LoadService(const WString& service, ULONG* problem)
{
    const WString key = Upper(service);
    const auto loaded = loaded_.find(key);
    if (loaded != loaded_.end())
    {
        return loaded->second;
    }
    const Service* installed = machine_.FindService(service);
    if (installed == nullptr)
    {
        *problem = CM_PROB_REGISTRY;
        return nullptr;
    }
    if (installed->start == kServiceDisabled)
    {
        *problem = CM_PROB_DISABLED_SERVICE;
        return nullptr;
    }
    const auto image = images_.find(key);
    if (image == images_.end())
    {
        *problem = CM_PROB_DRIVER_FAILED_LOAD;
        return nullptr;
    }
    PDRIVER_OBJECT driver = winsim::LoadDriver(installed->name, image->second);
    if (driver == nullptr)
    {
        *problem = CM_PROB_FAILED_DRIVER_ENTRY;
        return nullptr;
    }
    loaded_[key] = driver;
    return driver;
}

// A driver stays loaded while a built stack names it. Once none does, its last device is gone (a driver
// may keep a removed device until its unload deletes it) and it is unloaded, which checks that it left no
// device, pool block or thread behind.
void PnpManager::UnloadIdleDrivers()
{
    std::vector<WString> named;
    for (const auto& node : machine_.DevNodes())
    {
        if (const NodeStack* stack = StackOf(*node))
        {
            for (const WString& service : stack->services)
            {
                named.push_back(Upper(service));
            }
        }
    }
    for (auto it = loaded_.begin(); it != loaded_.end();)
    {
        if (std::find(named.begin(), named.end(), it->first) != named.end())
        {
            ++it;
            continue;
        }
        PDRIVER_OBJECT driver = it->second;
        it = loaded_.erase(it);
        winsim::UnloadDriver(driver);
    }
}

void PnpManager::Fail(DevNode& node, ULONG problem)
{
    node.status &= ~kStartedFlags;
    node.problem = problem;
}

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
    for (const Volume* volume : openVolumes_)
    {
        if (volume->lun != nullptr && volume->lun->disk == &disk)
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

// ---- Operations ----------------------------------------------------------------------------------------

void PnpManager::StartAll()
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    for (const auto& device : machine_.UsbDevices())
    {
        if (device->devNode != nullptr && !device->luns.empty() && device->devNode->present)
        {
            const NodeStack* stack = StackOf(*device->devNode);
            if (stack == nullptr || !stack->started)
            {
                Start(*device);
            }
        }
    }
}

bool PnpManager::Start(UsbDevice& device)
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    if (device.devNode == nullptr || device.luns.empty())
    {
        Violation("only a USB mass-storage device (one with logical units) has stacks to start");
    }
    const NodeStack* stack = StackOf(*device.devNode);
    if (stack != nullptr && stack->started)
    {
        return true;
    }
    return BuildUsbNode(UnitFor(device));
}

bool PnpManager::Restart(DevNode& node)
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    if (UsbDevice* device = machine_.UsbDeviceOf(node); device != nullptr && !device->luns.empty())
    {
        Unit& unit = UnitFor(*device);
        if (!QueryRemoveSubtree(unit))
        {
            return false;
        }
        RemoveUsbSubtree(unit, false, false);
        BuildUsbNode(unit);
        return true;
    }
    NodeStack* stack = StackOf(node);
    if (stack == nullptr || stack->pdo == nullptr)
    {
        return true; // not a node of ours, or a disk its parent does not enumerate now
    }
    if (stack->started && !QueryRemove(node))
    {
        return false;
    }
    RemoveStack(node);
    UnloadIdleDrivers();
    BuildNode(node, stack->pdo);
    return true;
}

void PnpManager::SurpriseRemove(UsbDevice& device)
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    auto found = units_.find(&device);
    if (found != units_.end() && found->second->model)
    {
        found->second->model->Unplug();
    }
    machine_.Unplug(device);
    for (const auto& lun : device.luns)
    {
        if (lun->disk != nullptr)
        {
            lun->disk->status &= ~kStartedFlags;
        }
    }
    if (found == units_.end())
    {
        return;
    }
    RemoveUsbSubtree(*found->second, true, true);
    device.devNode->status &= ~kStartedFlags;
    found->second->model.reset();
}

bool PnpManager::Replug(UsbDevice& device)
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    machine_.Replug(device);
    return Start(device);
}

void PnpManager::Shutdown()
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    for (auto& entry : units_)
    {
        Unit& unit = *entry.second;
        RemoveUsbSubtree(unit, false, true);
    }
    UnloadIdleDrivers();
}

void PnpManager::SetVolumeOpen(const Volume& volume, bool open)
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    if (open)
    {
        openVolumes_.insert(&volume);
    }
    else
    {
        openVolumes_.erase(&volume);
    }
}

// ---- Access --------------------------------------------------------------------------------------------

PDEVICE_OBJECT PnpManager::Pdo(const DevNode& node) const
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    const NodeStack* stack = StackOf(node);
    return stack != nullptr ? stack->pdo : nullptr;
}

PDEVICE_OBJECT PnpManager::StackTop(const DevNode& node) const
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    const NodeStack* stack = StackOf(node);
    return stack != nullptr && stack->started ? IoGetAttachedDevice(stack->pdo) : nullptr;
}

PDEVICE_OBJECT PnpManager::DiskTop(const UsbLun& lun) const
{
    return lun.disk != nullptr ? StackTop(*lun.disk) : nullptr;
}

wu::BulkOnlyDevice* PnpManager::DeviceModel(const UsbDevice& device) const
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    const auto found = units_.find(&device);
    return found != units_.end() ? found->second->model.get() : nullptr;
}

std::vector<WString> PnpManager::StackServices(const DevNode& node) const
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    std::vector<WString> services;
    const NodeStack* stack = StackOf(node);
    if (stack == nullptr || stack->pdo == nullptr)
    {
        return services;
    }
    for (PDEVICE_OBJECT device = stack->pdo; device != nullptr; device = device->AttachedDevice)
    {
        services.push_back(ServiceOfDriver(device->DriverObject));
    }
    return services;
}

bool PnpManager::InStack(const DevNode& node, const WString& service) const
{
    const std::vector<WString> services = StackServices(node);
    return std::any_of(services.begin(), services.end(),
                       [&service](const WString& name) { return EqualNoCase(name, service); });
}

PDRIVER_OBJECT PnpManager::LoadedDriver(const WString& service) const
{
    std::lock_guard<std::recursive_mutex> guard(machine_.Lock());
    const auto found = loaded_.find(Upper(service));
    return found != loaded_.end() ? found->second : nullptr;
}

} // namespace winsim::machine
