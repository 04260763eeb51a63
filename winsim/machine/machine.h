// winsim/machine: THE simulated PC. One model serves both sides of the system: the user-mode stand-ins
// (Configuration Manager, Setup API, CreateFileW/DeviceIoControl on host controllers and hubs, volume mount
// points) read and write it, and the kernel-side PnP manager builds device stacks from the same device
// nodes, so a device exists exactly once.
//
// The model is plain classes with a builder API (tests build machines in code); machine_json.h loads the
// machine description format on top of the same builder. The stand-ins act on the machine installed with
// ScopedMachine. Rules checked here: instance IDs are unique, non-empty and fit MAX_DEVICE_ID_LEN; every
// handle and device information set is counted, closing one twice is a violation, and a machine that goes
// out of scope with open handles, local blocks or SIDs is a violation (a leak).
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <usbioctl.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace winsim::machine
{
using WString = std::u16string;

// Fails the run like a bug check: the product broke a rule of the platform.
[[noreturn]] void Violation(const char* format, ...);

WString Widen(const std::string& utf8);
std::string Narrow(const WString& text);
WString Upper(const WString& text);
bool EqualNoCase(const WString& a, const WString& b);
WString GuidText(const GUID& guid); // registry form, "{xxxxxxxx-xxxx-...}" in lower case
bool ParseGuid(const WString& text, GUID* guid);
bool SameGuid(const GUID& a, const GUID& b);

// Interface and setup classes the simulated PC knows.
extern const GUID kUsbHostControllerInterface; // GUID_DEVINTERFACE_USB_HOST_CONTROLLER
extern const GUID kUsbHubInterface;            // GUID_DEVINTERFACE_USB_HUB
extern const GUID kVolumeInterface;            // GUID_DEVINTERFACE_VOLUME
extern const GUID kDiskInterface;              // GUID_DEVINTERFACE_DISK
extern const char16_t* const kUsbClassGuid;
extern const char16_t* const kDiskDriveClassGuid;
extern const char16_t* const kVolumeClassGuid;
extern const char16_t* const kSystemClassGuid;

// One registry value of a device node, stored as the bytes Windows would store.
struct PropertyValue
{
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct DeviceInterface
{
    GUID classGuid;
    WString path; // symbolic link, "\\?\..."
};

class Machine;

// One device node of the Configuration Manager: identity, place in the tree, registry properties, status,
// and the slots the kernel side uses.
class DevNode
{
public:
    DEVINST handle = 0;
    WString instanceId;
    DevNode* parent = nullptr;
    std::vector<DevNode*> children; // in enumeration order; owned by the machine
    bool present = true;
    ULONG status = DN_DRIVER_LOADED | DN_STARTED | DN_NT_ENUMERATOR | DN_NT_DRIVER;
    ULONG problem = 0;
    bool removable = false;
    std::map<ULONG, PropertyValue> properties; // CM_DRP_* -> value
    std::vector<WString> removalRelations;     // instance IDs, in the order the PnP manager reports them
    std::vector<DeviceInterface> interfaces;

    // Fault knobs: reads or writes of these properties answer CR_REGISTRY_ERROR.
    std::set<ULONG> unreadableProperties;
    std::set<ULONG> unwritableProperties;

    // Kernel side: the PnP manager keeps the device stack it built for this node here, and counts the
    // restarts the class installer asked for.
    std::shared_ptr<void> kernelStack;
    unsigned restartCount = 0;      // property-change restarts the class installer was asked for
    unsigned restartsCompleted = 0; // of those, the ones whose stop was not refused

    void SetString(ULONG property, const WString& text);
    void SetMultiString(ULONG property, const std::vector<WString>& items);
    void SetRaw(ULONG property, DWORD type, std::vector<BYTE> data);
    void RemoveProperty(ULONG property) { properties.erase(property); }
    bool HasProperty(ULONG property) const { return properties.count(property) != 0; }
    // Text of a string property up to its first terminator; nullopt when absent.
    std::optional<WString> GetString(ULONG property) const;
    // Strings of a multi-string property up to the first empty one; empty when absent.
    std::vector<WString> GetMultiString(ULONG property) const;
    WString Service() const { return GetString(CM_DRP_SERVICE).value_or(WString()); }
    WString DriverKey() const { return GetString(CM_DRP_DRIVER).value_or(WString()); }
};

// Calls of one I/O control code on one controller or hub can be made to fail.
struct IoFault
{
    DWORD code = 0;
    unsigned atCall = 0; // 1-based count of calls with this code on this object; 0 fails every call
};

// What a broken or hostile controller or hub driver answers in place of the model: the bytes it returns
// (only as many as the caller's buffer holds reach the caller, as the I/O manager copies them back) and
// whether the request succeeds. A request that fails returns no bytes.
struct IoAnswer
{
    bool succeeds = true;
    DWORD error = ERROR_GEN_FAILURE;
    std::vector<BYTE> bytes;
};

struct IoTarget
{
    std::vector<IoFault> ioFaults;
    std::map<DWORD, unsigned> ioCalls;
    // Knob: asked for every request that reached the driver (after the misuse checks and ioFaults), with
    // the request's input and output length; an answer replaces the model's, nullopt keeps it.
    std::function<std::optional<IoAnswer>(DWORD code, const std::vector<BYTE>& input, DWORD outSize)>
        answerOverride;
    // Counts the call and tells whether a fault knob makes it fail.
    bool CallFails(DWORD code);
};

struct Volume;
struct Hub;

// One logical unit of a USB mass-storage device: its disk node, its size (the backing image of the
// kernel side) and the volume on it, if any.
struct UsbLun
{
    unsigned index = 0;
    uint64_t sizeBytes = 0;
    WString vendor;
    WString product;
    WString revision;
    DevNode* disk = nullptr;
    Volume* volume = nullptr;
    // Kernel side: the backing image the USB storage model serves this unit from.
    std::shared_ptr<void> image;
};

// A device on a hub port, as the hub reports it.
struct UsbDevice
{
    USB_DEVICE_DESCRIPTOR descriptor{};
    UCHAR speed = 2; // UsbHighSpeed
    bool lowSpeed = false;
    USB_CONNECTION_STATUS connectionStatus = DeviceConnected;
    WString serialNumber; // string descriptor; empty when the device has none
    DevNode* devNode = nullptr;
    Hub* hub = nullptr;      // set when the device is itself a hub
    Hub* upstream = nullptr; // the hub and port it is plugged into
    ULONG port = 0;
    std::vector<std::unique_ptr<UsbLun>> luns;
    std::vector<USB_ENDPOINT_DESCRIPTOR> pipes;
    // What the port's driver-key request answers; unset: the device node's CM_DRP_DRIVER.
    std::optional<WString> reportedDriverKey;
    // What the port's connection-name request answers; unset: the name of the hub this device is.
    std::optional<WString> reportedHubName;
};

struct UsbPort
{
    ULONG index = 0;
    UsbDevice* device = nullptr;
};

struct Hub : IoTarget
{
    unsigned number = 0; // "Hub_#" of the location information
    WString name;        // symbolic name as the name requests report it (no "\\.\" prefix)
    DevNode* devNode = nullptr;
    std::vector<UsbPort> ports;
    std::optional<UCHAR> reportedPortCount; // bNumberOfPorts when it differs from the ports that exist
    bool answersConnectionInfoEx = true;    // older hub drivers know only the legacy request
};

struct HostController : IoTarget
{
    int legacyIndex = -1; // n of "\\.\HCDn"; -1 when the controller has no legacy name
    DevNode* devNode = nullptr;
    Hub* rootHub = nullptr;
    std::optional<WString> reportedDriverKey; // HCD driver-key answer; unset: the device node's
};

// A volume: its device node (below ROOT\VOLMGR), GUID path and drive letters.
struct Volume
{
    WString guidPath; // "\\?\Volume{...}\"
    std::vector<WCHAR> letters;
    DevNode* devNode = nullptr;
    UsbLun* lun = nullptr;
    uint64_t sizeBytes = 0;
    // What a query through the volume interface path answers, when the volume manager spells the GUID
    // path differently there (case); unset: guidPath.
    std::optional<WString> guidPathViaInterface;
    // Knob: files are open on the volume, so the file system refuses the query-remove of its disk and a
    // restart of the disk or its USB device is refused (the class installer reports DI_NEEDRESTART).
    bool inUse = false;
};

// One call of CM_Set_DevNode_Registry_PropertyW as the machine saw it: a write, or a delete (null buffer),
// with the answer it got.
struct PropertyWrite
{
    DEVINST node = 0;
    ULONG property = 0;
    bool deleted = false;
    std::vector<BYTE> data;
    CONFIGRET result = CR_SUCCESS;
};

// The user the simulated process runs as. The process token is always there; the thread has a token of
// its own only while it impersonates.
struct SecurityContext
{
    bool administrators = true;               // the process token holds BUILTIN\Administrators, enabled
    std::optional<bool> threadAdministrators; // set: the thread impersonates a token with or without it
    bool failTokenOpen = false;               // knob: opening either token fails (ERROR_ACCESS_DENIED)
};

struct Service
{
    WString name;
    DWORD type = 1;  // SERVICE_KERNEL_DRIVER
    DWORD start = 3; // SERVICE_DEMAND_START
    WString imagePath;
};

// Builder arguments. Defaults describe an ordinary device; tests set only what matters to them.
struct ControllerParams
{
    WString instanceId; // required: PCI\VEN_...\...
    WString description = u"Standard Enhanced PCI to USB Host Controller";
    WString service = u"usbehci";
    int legacyIndex = -1;
    bool exposesInterface = true;
    ULONG rootHubPorts = 4;
    WString rootHubInstanceId; // generated when empty
};

struct UsbDeviceParams
{
    USHORT vendorId = 0;
    USHORT productId = 0;
    WString serialNumber; // empty: Windows generates the instance ID from the parent and the port
    WString instanceId;   // overrides the whole instance ID (also IDs without the USB form)
    WString description = u"USB Composite Device";
    WString service;
    WString className = u"USB";
    WString classGuid = kUsbClassGuid;
    UCHAR speed = 2;
    bool lowSpeed = false;
    USB_CONNECTION_STATUS connectionStatus = DeviceConnected;
};

struct LunParams
{
    uint64_t sizeBytes = 64ull << 20;
    std::vector<WCHAR> letters; // none: the disk has no volume
    WString vendor = u"KAVLAB";
    WString product = u"Flash Disk";
    WString revision = u"1.00";
};

class Machine
{
public:
    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Device-node tree.
    DevNode& Root() { return *nodes_.front(); }
    DevNode& PciBus() { return *pciBus_; }
    DevNode& VolumeManager() { return *volumeManager_; }
    DevNode& AddDevNode(DevNode& parent, const WString& instanceId);
    // Sets class name, class GUID and a fresh driver key ("{class}\NNNN").
    void SetDriverClass(DevNode& node, const WString& className, const WString& classGuid);
    DevNode* FindDevNode(DEVINST handle) const;
    DevNode* FindDevNode(const WString& instanceId) const;
    const std::vector<std::unique_ptr<DevNode>>& DevNodes() const { return nodes_; }
    // Marks the node and its subtree present or gone (surprise removal and re-arrival).
    void SetPresent(DevNode& node, bool present);

    // USB topology.
    HostController& AddHostController(const ControllerParams& params);
    UsbDevice& AttachDevice(Hub& hub, ULONG port, const UsbDeviceParams& params);
    // Turns an attached device into a hub with the given ports.
    Hub& MakeHub(UsbDevice& device, ULONG ports);
    UsbLun& AddLun(UsbDevice& device, const LunParams& params);
    // Surprise removal: the port empties, the device's nodes and volumes become phantoms. Replug brings
    // the same device back on its port with the same instance IDs, as Windows recognises a known device.
    void Unplug(UsbDevice& device);
    void Replug(UsbDevice& device);
    const std::vector<std::unique_ptr<HostController>>& Controllers() const { return controllers_; }
    const std::vector<std::unique_ptr<Hub>>& Hubs() const { return hubs_; }
    const std::vector<std::unique_ptr<UsbDevice>>& UsbDevices() const { return devices_; }
    HostController* ControllerByLegacyIndex(int index) const;
    HostController* ControllerByInterfacePath(const WString& path) const;
    Hub* HubByName(const WString& name) const;
    UsbDevice* UsbDeviceOf(const DevNode& node) const;

    // Volumes. A volume on a disk becomes one of the disk's removal relations.
    Volume& AddVolume(DevNode* disk, const std::vector<WCHAR>& letters, uint64_t sizeBytes = 0);
    const std::vector<std::unique_ptr<Volume>>& Volumes() const { return volumes_; }
    Volume* VolumeByLetter(WCHAR letter) const;
    Volume* VolumeByInterfacePath(const WString& path) const;

    // Services installed with the service control manager.
    void AddService(const Service& service);
    const Service* FindService(const WString& name) const;
    // The service deleted (sc delete): devices whose lists still name it no longer start.
    void RemoveService(const WString& name);
    const std::vector<Service>& Services() const { return services_; }

    // Setup-API fault knobs: opening these sets fails.
    bool failAllDevicesSet = false;
    std::vector<GUID> failingInterfaceSets;

    // Kernel side: the PnP manager installs this to restart a device after a property change. It returns
    // false when the stop was refused (the class installer then reports DI_NEEDRESTART). Unset: the restart
    // is counted, and refused when a volume of the device is in use (VolumeInUseBelow).
    std::function<bool(DevNode&)> onRestart;
    // Knob: install flags the class installer adds after every property change (DI_NEEDREBOOT: the system
    // wants a reboot before the change takes effect).
    DWORD classInstallerFlags = 0;
    // Whether a volume in use (Volume::inUse) sits on a disk of the node's subtree.
    bool VolumeInUseBelow(const DevNode& node) const;

    // Every CM_Set_DevNode_Registry_PropertyW call, in order, and a hook called after each (with the
    // machine's lock held): tests see exactly what was written and can act between two writes.
    std::vector<PropertyWrite> propertyWrites;
    std::function<void(const PropertyWrite&)> onPropertyWrite;

    // The token the administrator test inspects, and what the product allocated through the security
    // calls and has not freed yet (LocalAlloc blocks, SIDs).
    SecurityContext security;
    std::set<const void*> localBlocks;
    std::set<const void*> sids;

    // Handle accounting of CreateFileW handles and device information sets.
    struct OpenObject
    {
        enum class Kind
        {
            Controller,
            Hub,
            Volume,
            DeviceInfoSet,
            KernelObject,  // semaphores, mutexes, events, threads, processes, snapshots (winsim/user)
            ServiceHandle, // service control manager and service handles: CloseServiceHandle only
            Token,
            RegistryKey // a device's hardware key or a key below it: RegCloseKey only
        } kind = Kind::Controller;
        WString subkey; // a registry key's path below the device's hardware key (path: its instance ID)
        HostController* controller = nullptr;
        Hub* hub = nullptr;
        Volume* volume = nullptr;
        DWORD access = 0;
        WString path;
        std::shared_ptr<void> payload;    // the device information set, or the object of winsim/user
        bool impersonationToken = false;  // a token from DuplicateToken (AccessCheck needs one)
        bool tokenAdministrators = false; // the token holds BUILTIN\Administrators
    };
    HANDLE OpenHandle(OpenObject object);
    OpenObject* LookupHandle(HANDLE handle); // null when not open
    void CloseOpenHandle(HANDLE handle);     // violation when not open
    size_t OpenHandleCount() const { return handles_.size(); }
    size_t HandlesOpenedTotal() const { return handlesOpened_; }

    // Every stand-in and the plug and unplug calls hold this while they read or change the machine, so a
    // scan thread and a test that plugs devices never see half a change. Direct changes to the model
    // from another thread than the scan's must hold it too.
    std::recursive_mutex& Lock() { return lock_; }

private:
    WString GeneratedSuffix(const DevNode& parent, ULONG port);
    Hub& NewHub(DevNode& node, ULONG ports, const WString& name);

    std::vector<std::unique_ptr<DevNode>> nodes_;
    DevNode* pciBus_ = nullptr;
    DevNode* volumeManager_ = nullptr;
    std::vector<std::unique_ptr<HostController>> controllers_;
    std::vector<std::unique_ptr<Hub>> hubs_;
    std::vector<std::unique_ptr<UsbDevice>> devices_;
    std::vector<std::unique_ptr<Volume>> volumes_;
    std::vector<Service> services_;
    std::map<WString, unsigned> driverKeyCounters_;
    std::map<uintptr_t, OpenObject> handles_;
    uintptr_t nextHandle_ = 0x1000;
    size_t handlesOpened_ = 0;
    unsigned volumeCounter_ = 0;
    std::recursive_mutex lock_;
};

// Installs a machine as the one the stand-ins act on, for the life of this object (one test, one kavlab
// run). On destruction the machine must have no open handle left.
class ScopedMachine
{
public:
    explicit ScopedMachine(Machine& machine);
    ~ScopedMachine();
    ScopedMachine(const ScopedMachine&) = delete;
    ScopedMachine& operator=(const ScopedMachine&) = delete;

private:
    Machine* previous_;
    Machine& machine_;
};

// The installed machine; a violation when none is installed.
Machine& Current();

// A handle to a device node's hardware key (registry_keys.cpp), with the rights a user of the machine's
// token gets: without administrator rights, reading only. Null with the error in *error when refused.
HKEY OpenDeviceKey(Machine& machine, const DevNode& node, REGSAM access, LONG* error);

// The runtime's split of a command line into its argument vector, by the Windows rules: blanks and tabs
// separate; the program name (the first argument) ends at the first blank, or at the closing quote when
// it starts with one, and takes no escapes; elsewhere quotes group and are dropped, 2n backslashes before
// a quote give n backslashes, 2n+1 give n and a literal quote, other backslashes are literal, and "" inside
// quotes is a literal quote.
std::vector<WString> SplitCommandLine(const WString& commandLine);

// The simulated process's command line for the life of this object: __argc and __wargv hold its split.
class ScopedCommandLine
{
public:
    explicit ScopedCommandLine(const WString& commandLine);
    ~ScopedCommandLine();
    ScopedCommandLine(const ScopedCommandLine&) = delete;
    ScopedCommandLine& operator=(const ScopedCommandLine&) = delete;
    const std::vector<WString>& Arguments() const { return arguments_; }

private:
    std::vector<WString> arguments_;
    std::vector<WCHAR*> pointers_;
    int previousArgc_;
    WCHAR** previousArgv_;
};
} // namespace winsim::machine
