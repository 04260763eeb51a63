// winsim/machine: the Plug and Play manager of the simulated PC (see pnp_manager.h).
#include "winsim/machine/pnp_manager.h"

#include "winsim/machine/pnp_manager_internal.h"

#include "winsim/usb/disk_class_driver.h"
#include "winsim/usb/mass_storage_driver.h"

#include <algorithm>
#include <mutex>
#include <set>

namespace winsim::machine
{

namespace wu = winsim::usb;

const char16_t* const PnpManager::kBusService = u"usbhub";

namespace pnp
{

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

WString ServiceOfDriver(PDRIVER_OBJECT driver)
{
    const UNICODE_STRING& name = driver->DriverName;
    WString text(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
    const size_t slash = text.rfind(u'\\');
    return slash == WString::npos ? text : text.substr(slash + 1);
}

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

} // namespace pnp

using namespace pnp;

namespace
{

constexpr DWORD kServiceDisabled = 4; // SERVICE_DISABLED

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
