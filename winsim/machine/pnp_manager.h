// winsim/machine: the kernel side of the simulated PC, a Plug and Play manager over a Machine. It keeps a
// registry of kernel-mode service images (service name -> DriverEntry), and builds the device stacks of the
// machine's USB mass-storage devices from their device-node properties as Windows does: the USB bus PDO
// (winsim/usb's UsbBus over a BulkOnlyDevice made from the node's logical units), AddDevice of every
// LowerFilters service in order, of the function driver named by the Service property and of every
// UpperFilters service; IRP_MN_START_DEVICE to the top; IRP_MN_QUERY_DEVICE_RELATIONS/BusRelations, whose
// children become the USBSTOR disk nodes of the logical units (in the order reported), each built the same
// way. Drivers are loaded once per service and unloaded when no built stack names them any more (their last
// device is gone). Restart (the class installer's DIF_PROPERTYCHANGE), surprise removal and shutdown take
// the stacks down children first and rebuild them from the filter lists as they are then. A USB node that
// does not start enumerates nothing: its disks and their volumes are not present.
//
// A unit's backing image is UsbLun::image, holding a std::shared_ptr<winsim::usb::DiskImage>; a unit
// without one gets a sparse memory image of UsbLun::sizeBytes there, so its data outlives restarts.
//
// Problem codes a node gets when its stack cannot be built, as Windows reports them through
// CM_Get_DevNode_Status: a listed service that is not installed, CM_PROB_REGISTRY (Code 19, the failure a
// filter list naming a missing service causes); an installed service whose start type is disabled,
// CM_PROB_DISABLED_SERVICE; an installed service without an image, CM_PROB_DRIVER_FAILED_LOAD; a failing
// DriverEntry, CM_PROB_FAILED_DRIVER_ENTRY; no function driver, CM_PROB_FAILED_INSTALL; AddDevice
// failing, CM_PROB_FAILED_ADD; start failing, CM_PROB_FAILED_START. No AddDevice runs before every
// service of the stack has loaded, so a missing service leaves no stack at all.
//
// Rules checked (violations abort, like every machine violation): a driver still attached to a stack after
// it completed IRP_MN_REMOVE_DEVICE; a function driver reporting more children than the device has
// logical units; two PnP managers on one machine. The kernel simulation's own checks (leaks at unload,
// remove-lock balance, IRP rules) apply to every driver the manager loads.
//
// Threads: every operation holds the machine's lock for its whole length, so the user-mode stand-ins see a
// restart as one change; the onRestart hook is called with that lock already held. The manager must be
// destroyed before the kernel simulation is reset.
#pragma once

#include "winsim/machine/machine.h"

#include "winsim/kernel/winsim_kernel.h"
#include "winsim/usb/bot_device.h"
#include "winsim/usb/usb_bus_pdo.h"
#include "winsim/kernel/pnp_stack.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace winsim::machine
{

class PnpManager
{
public:
    // Installs Machine::onRestart; the machine must outlive the manager.
    explicit PnpManager(Machine& machine);
    // Shuts everything down and removes the onRestart hook.
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // The image of a kernel service: what loading the service runs. A service the machine lists as
    // installed but that has no image here fails to load (CM_PROB_DRIVER_FAILED_LOAD).
    void RegisterDriver(const WString& service, const winsim::DriverEntryRoutine& entry);
    // Registers "USBSTOR" and "disk" with the mass-storage function-driver and disk-class models.
    void RegisterStorageDrivers();

    // Builds the stacks of every present USB mass-storage device (a device with logical units) that has
    // none yet. Nodes that fail carry their problem code.
    void StartAll();
    // Builds the stacks of one device; false when its USB node did not start.
    bool Start(UsbDevice& device);
    // The class installer's restart of a USB storage node or of one of its disk nodes: query-remove the
    // node's subtree (disks first), remove it, rebuild from the current filter lists. False when a driver
    // refused the query-remove (the stacks then stay as they were). A node the manager does not build
    // stacks for is left alone (true).
    bool Restart(DevNode& node);
    // The device leaves the bus with whatever I/O is in flight: the device model is unplugged, the machine
    // marks its nodes phantoms, IRP_MN_SURPRISE_REMOVAL and then IRP_MN_REMOVE_DEVICE go to every stack,
    // disks first, and the bus deletes its PDO.
    void SurpriseRemove(UsbDevice& device);
    // The same device comes back on its port (Machine::Replug) and its stacks are built again on a fresh
    // device model over the same images.
    bool Replug(UsbDevice& device);
    // Removes every stack, deletes the bus PDOs and unloads every driver.
    void Shutdown();
    // A volume with open files: the file system refuses the query-remove of its disk, so a restart of the
    // disk or its USB node is refused (the class installer then reports DI_NEEDRESTART). Surprise removal
    // cannot be refused.
    void SetVolumeOpen(const Volume& volume, bool open);

    // Access for tests and kavlab. Null or empty when the node has no stack.
    PDEVICE_OBJECT Pdo(const DevNode& node) const;
    PDEVICE_OBJECT StackTop(const DevNode& node) const;
    // Where a file system sends reads and writes of a logical unit: the top of its disk stack.
    PDEVICE_OBJECT DiskTop(const UsbLun& lun) const;
    // The device model behind a USB storage node (kept across restarts; a new one after Replug).
    winsim::usb::BulkOnlyDevice* DeviceModel(const UsbDevice& device) const;
    winsim::usb::UsbBus& Bus() { return *bus_; }
    // The service names of the drivers with a device in the node's stack, bottom (the bus driver) to top.
    std::vector<WString> StackServices(const DevNode& node) const;
    // Whether a device of the service's driver is attached in the node's stack.
    bool InStack(const DevNode& node, const WString& service) const;
    // The loaded driver of a service; null when it is not loaded.
    PDRIVER_OBJECT LoadedDriver(const WString& service) const;
    // Called before every PnP request the manager sends, with the node and the minor function; lets a test
    // see the order of removal or act while a request is under way.
    void SetPnpObserver(std::function<void(const DevNode&, UCHAR minor)> observer);

    // The service name the bus driver's PDOs are reported under by StackServices.
    static const char16_t* const kBusService;

    struct NodeStack; // what the manager built for one node, kept in DevNode::kernelStack

private:
    struct Unit; // one USB storage device: its device model and bus PDO

    Unit& UnitFor(UsbDevice& device);
    bool BuildUsbNode(Unit& unit);
    bool BuildNode(DevNode& node, PDEVICE_OBJECT pdo);
    void EnumerateChildren(Unit& unit, DevNode& usbNode);
    bool QueryRemoveSubtree(Unit& unit);
    bool QueryRemove(DevNode& node);
    bool VolumeOpenOn(const DevNode& disk) const;
    void RemoveDiskStack(DevNode& disk);
    void RemoveUsbSubtree(Unit& unit, bool surprise, bool deletePdo);
    void RemoveStack(DevNode& node);
    PDRIVER_OBJECT LoadService(const WString& service, ULONG* problem);
    void UnloadIdleDrivers();
    void Fail(DevNode& node, ULONG problem);
    winsim::PnpSender SenderFor(DevNode& node);
    winsim::IrpResult Send(DevNode& node, PDEVICE_OBJECT top, UCHAR minor,
                           const std::function<void(PIO_STACK_LOCATION)>& setup = {});

    Machine& machine_;
    std::unique_ptr<winsim::usb::UsbBus> bus_;
    std::map<WString, winsim::DriverEntryRoutine> images_; // by upper-case service name
    std::map<WString, PDRIVER_OBJECT> loaded_;             // by upper-case service name
    std::map<const UsbDevice*, std::unique_ptr<Unit>> units_;
    std::function<void(const DevNode&, UCHAR)> observer_;
    std::set<const Volume*> openVolumes_;
};

} // namespace winsim::machine
