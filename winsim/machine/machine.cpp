// winsim/machine: the model of the simulated PC and its builder. Building follows what Windows' PnP
// manager would have made of the hardware: host controllers below the PCI bus with a root hub each, USB
// devices below the hub they are plugged into with instance IDs of the USB form (generated ones when the
// device has no serial number), USBSTOR disks below mass-storage devices, and volumes below ROOT\VOLMGR
// tied to their disk through the disk's removal relations. Misuse of the builder (a duplicate or overlong
// instance ID, a port that does not exist or is taken) is a violation.
#include "winsim/machine/machine.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace winsim::machine
{
const GUID kUsbHostControllerInterface = {
    0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};
const GUID kUsbHubInterface = {0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
const GUID kVolumeInterface = {0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
const GUID kDiskInterface = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
const char16_t* const kUsbClassGuid = u"{36fc9e60-c465-11cf-8056-444553540000}";
const char16_t* const kDiskDriveClassGuid = u"{4d36e967-e325-11ce-bfc1-08002be10318}";
const char16_t* const kVolumeClassGuid = u"{71a27cdd-812a-11d0-bec7-08002be2092f}";
const char16_t* const kSystemClassGuid = u"{4d36e97d-e325-11ce-bfc1-08002be10318}";

void Violation(const char* format, ...)
{
    std::fprintf(stderr, "winsim machine violation: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    std::abort();
}

namespace
{
// FNV-1a over the upper-case text: the stable "hash" part of generated instance IDs.
uint32_t IdHash(const WString& text)
{
    uint32_t hash = 2166136261u;
    for (char16_t ch : Upper(text))
    {
        hash = (hash ^ ch) * 16777619u;
    }
    return hash;
}

WString Hex(unsigned value, int digits, bool upper)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, upper ? "%0*X" : "%0*x", digits, value);
    return Widen(buffer);
}

WString Decimal(unsigned value, int digits)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*u", digits, value);
    return Widen(buffer);
}

// "USB\ROOT_HUB20\4&1&0" -> "USB#ROOT_HUB20#4&1&0#{guid}": how Windows names device interfaces.
WString InterfaceName(const WString& instanceId, const GUID& guid)
{
    WString name = instanceId;
    std::replace(name.begin(), name.end(), u'\\', u'#');
    return name + u"#" + GuidText(guid);
}

std::vector<BYTE> Bytes(const char16_t* text, size_t characters)
{
    const BYTE* begin = reinterpret_cast<const BYTE*>(text);
    return std::vector<BYTE>(begin, begin + characters * sizeof(char16_t));
}

// Replaces characters that may not stand in one segment of an instance ID.
WString IdSegment(const WString& text)
{
    WString segment = text;
    for (char16_t& ch : segment)
    {
        if (ch == u' ' || ch == u'\\' || ch == u'#')
        {
            ch = u'_';
        }
    }
    return segment;
}
} // namespace

void DevNode::SetString(ULONG property, const WString& text)
{
    WString stored = text + u'\0';
    properties[property] = PropertyValue{REG_SZ, Bytes(stored.data(), stored.size())};
}

void DevNode::SetMultiString(ULONG property, const std::vector<WString>& items)
{
    WString stored;
    for (const WString& item : items)
    {
        stored += item;
        stored += u'\0';
    }
    stored += u'\0';
    properties[property] = PropertyValue{REG_MULTI_SZ, Bytes(stored.data(), stored.size())};
}

void DevNode::SetRaw(ULONG property, DWORD type, std::vector<BYTE> data)
{
    properties[property] = PropertyValue{type, std::move(data)};
}

std::optional<WString> DevNode::GetString(ULONG property) const
{
    auto found = properties.find(property);
    if (found == properties.end())
    {
        return std::nullopt;
    }
    const std::vector<BYTE>& data = found->second.data;
    WString text;
    for (size_t at = 0; at + 1 < data.size(); at += 2)
    {
        char16_t ch = static_cast<char16_t>(data[at] | (data[at + 1] << 8));
        if (ch == 0)
        {
            break;
        }
        text += ch;
    }
    return text;
}

std::vector<WString> DevNode::GetMultiString(ULONG property) const
{
    std::vector<WString> items;
    auto found = properties.find(property);
    if (found == properties.end())
    {
        return items;
    }
    const std::vector<BYTE>& data = found->second.data;
    WString current;
    for (size_t at = 0; at + 1 < data.size(); at += 2)
    {
        char16_t ch = static_cast<char16_t>(data[at] | (data[at + 1] << 8));
        if (ch != 0)
        {
            current += ch;
            continue;
        }
        if (current.empty())
        {
            return items;
        }
        items.push_back(current);
        current.clear();
    }
    if (!current.empty())
    {
        items.push_back(current);
    }
    return items;
}

bool IoTarget::CallFails(DWORD code)
{
    unsigned call = ++ioCalls[code];
    for (const IoFault& fault : ioFaults)
    {
        if (fault.code == code && (fault.atCall == 0 || fault.atCall == call))
        {
            return true;
        }
    }
    return false;
}

Machine::Machine()
{
    nodes_.push_back(std::make_unique<DevNode>());
    DevNode& root = *nodes_.front();
    root.handle = 0x1000;
    root.instanceId = u"HTREE\\ROOT\\0";
    root.status |= DN_ROOT_ENUMERATED;
    root.SetString(CM_DRP_ENUMERATOR_NAME, u"HTREE");
    root.SetString(CM_DRP_DEVICEDESC, u"Computer");

    volumeManager_ = &AddDevNode(root, u"ROOT\\VOLMGR\\0000");
    volumeManager_->status |= DN_ROOT_ENUMERATED;
    volumeManager_->SetString(CM_DRP_DEVICEDESC, u"Volume Manager");
    volumeManager_->SetString(CM_DRP_SERVICE, u"volmgr");
    SetDriverClass(*volumeManager_, u"System", kSystemClassGuid);

    pciBus_ = &AddDevNode(root, u"ACPI\\PNP0A08\\0");
    pciBus_->SetString(CM_DRP_DEVICEDESC, u"PCI Express Root Complex");
    pciBus_->SetString(CM_DRP_SERVICE, u"pci");
    SetDriverClass(*pciBus_, u"System", kSystemClassGuid);
}

Machine::~Machine() = default;

DevNode& Machine::AddDevNode(DevNode& parent, const WString& instanceId)
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (instanceId.empty() || instanceId.size() >= MAX_DEVICE_ID_LEN)
    {
        Violation("instance ID '%s' is empty or longer than %d characters", Narrow(instanceId).c_str(),
                  MAX_DEVICE_ID_LEN - 1);
    }
    if (FindDevNode(instanceId) != nullptr)
    {
        Violation("instance ID '%s' exists twice", Narrow(instanceId).c_str());
    }
    auto node = std::make_unique<DevNode>();
    node->handle = static_cast<DEVINST>(0x1000 + nodes_.size());
    node->instanceId = instanceId;
    node->parent = &parent;
    node->present = parent.present;
    size_t separator = instanceId.find(u'\\');
    node->SetString(CM_DRP_ENUMERATOR_NAME, instanceId.substr(0, separator));
    parent.children.push_back(node.get());
    nodes_.push_back(std::move(node));
    return *nodes_.back();
}

void Machine::SetDriverClass(DevNode& node, const WString& className, const WString& classGuid)
{
    node.SetString(CM_DRP_CLASS, className);
    node.SetString(CM_DRP_CLASSGUID, classGuid);
    unsigned number = driverKeyCounters_[Upper(classGuid)]++;
    node.SetString(CM_DRP_DRIVER, classGuid + u"\\" + Decimal(number, 4));
}

DevNode* Machine::FindDevNode(DEVINST handle) const
{
    if (handle < 0x1000 || handle - 0x1000 >= nodes_.size())
    {
        return nullptr;
    }
    return nodes_[handle - 0x1000].get();
}

DevNode* Machine::FindDevNode(const WString& instanceId) const
{
    for (const auto& node : nodes_)
    {
        if (EqualNoCase(node->instanceId, instanceId))
        {
            return node.get();
        }
    }
    return nullptr;
}

void Machine::SetPresent(DevNode& node, bool present)
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    node.present = present;
    for (DevNode* child : node.children)
    {
        SetPresent(*child, present);
    }
}

WString Machine::GeneratedSuffix(const DevNode& parent, ULONG port)
{
    return u"5&" + Hex(IdHash(parent.instanceId), 8, false) + u"&0&" + Decimal(port, 1);
}

Hub& Machine::NewHub(DevNode& node, ULONG ports, const WString& name)
{
    if (ports == 0 || ports > 255)
    {
        Violation("a hub has 1 to 255 ports, not %u", ports);
    }
    auto hub = std::make_unique<Hub>();
    hub->number = static_cast<unsigned>(hubs_.size() + 1);
    hub->name = name;
    hub->devNode = &node;
    for (ULONG port = 1; port <= ports; ++port)
    {
        hub->ports.push_back(UsbPort{port, nullptr});
    }
    node.interfaces.push_back(DeviceInterface{kUsbHubInterface, u"\\\\?\\" + name});
    hubs_.push_back(std::move(hub));
    return *hubs_.back();
}

HostController& Machine::AddHostController(const ControllerParams& params)
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (params.legacyIndex >= 0 && ControllerByLegacyIndex(params.legacyIndex) != nullptr)
    {
        Violation("two host controllers named HCD%d", params.legacyIndex);
    }
    DevNode& node = AddDevNode(*pciBus_, params.instanceId);
    node.SetString(CM_DRP_DEVICEDESC, params.description);
    node.SetString(CM_DRP_SERVICE, params.service);
    SetDriverClass(node, u"USB", kUsbClassGuid);
    if (params.exposesInterface)
    {
        WString path = u"\\\\?\\" + InterfaceName(params.instanceId, kUsbHostControllerInterface);
        std::transform(path.begin(), path.end(), path.begin(),
                       [](char16_t ch) { return ch >= u'A' && ch <= u'Z' ? char16_t(ch + 32) : ch; });
        node.interfaces.push_back(DeviceInterface{kUsbHostControllerInterface, path});
    }

    WString rootId = params.rootHubInstanceId;
    if (rootId.empty())
    {
        rootId = u"USB\\ROOT_HUB20\\4&" + Hex(IdHash(params.instanceId), 8, false) + u"&0";
    }
    DevNode& rootHubNode = AddDevNode(node, rootId);
    rootHubNode.SetString(CM_DRP_DEVICEDESC, u"USB Root Hub");
    rootHubNode.SetString(CM_DRP_SERVICE, u"usbhub");
    SetDriverClass(rootHubNode, u"USB", kUsbClassGuid);

    auto controller = std::make_unique<HostController>();
    controller->legacyIndex = params.legacyIndex;
    controller->devNode = &node;
    controller->rootHub = &NewHub(rootHubNode, params.rootHubPorts, InterfaceName(rootId, kUsbHubInterface));
    controllers_.push_back(std::move(controller));
    return *controllers_.back();
}

UsbDevice& Machine::AttachDevice(Hub& hub, ULONG port, const UsbDeviceParams& params)
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (port == 0 || port > hub.ports.size())
    {
        Violation("hub %u has no port %u", hub.number, port);
    }
    if (hub.ports[port - 1].device != nullptr)
    {
        Violation("port %u of hub %u is taken", port, hub.number);
    }
    WString vidPid = u"VID_" + Hex(params.vendorId, 4, true) + u"&PID_" + Hex(params.productId, 4, true);
    WString instanceId = params.instanceId;
    if (instanceId.empty())
    {
        instanceId =
            u"USB\\" + vidPid + u"\\" +
            (params.serialNumber.empty() ? GeneratedSuffix(*hub.devNode, port) : params.serialNumber);
    }

    auto device = std::make_unique<UsbDevice>();
    device->descriptor.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    device->descriptor.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    device->descriptor.bcdUSB = params.speed >= 2 ? 0x0200 : 0x0110;
    device->descriptor.bMaxPacketSize0 = 64;
    device->descriptor.idVendor = params.vendorId;
    device->descriptor.idProduct = params.productId;
    device->descriptor.bcdDevice = 0x0100;
    device->descriptor.iSerialNumber = params.serialNumber.empty() ? 0 : 3;
    device->descriptor.bNumConfigurations = 1;
    device->speed = params.speed;
    device->lowSpeed = params.lowSpeed;
    device->connectionStatus = params.connectionStatus;
    device->serialNumber = params.serialNumber;

    if (params.connectionStatus == DeviceConnected)
    {
        DevNode& node = AddDevNode(*hub.devNode, instanceId);
        node.SetString(CM_DRP_DEVICEDESC, params.description);
        if (!params.service.empty())
        {
            node.SetString(CM_DRP_SERVICE, params.service);
        }
        SetDriverClass(node, params.className, params.classGuid);
        node.SetString(CM_DRP_LOCATION_INFORMATION,
                       u"Port_#" + Decimal(port, 4) + u".Hub_#" + Decimal(hub.number, 4));
        node.SetMultiString(CM_DRP_HARDWAREID, {u"USB\\" + vidPid + u"&REV_0100", u"USB\\" + vidPid});
        node.removable = true;
        node.status |= DN_REMOVABLE;
        device->devNode = &node;
    }
    hub.ports[port - 1].device = device.get();
    device->upstream = &hub;
    device->port = port;
    devices_.push_back(std::move(device));
    return *devices_.back();
}

Hub& Machine::MakeHub(UsbDevice& device, ULONG ports)
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (device.devNode == nullptr || device.hub != nullptr)
    {
        Violation("only a connected device that is not yet a hub can become one");
    }
    device.descriptor.bDeviceClass = 0x09; // USB_DEVICE_CLASS_HUB
    device.devNode->SetString(CM_DRP_SERVICE, u"usbhub");
    device.devNode->SetString(CM_DRP_DEVICEDESC, u"Generic USB Hub");
    device.hub = &NewHub(*device.devNode, ports, InterfaceName(device.devNode->instanceId, kUsbHubInterface));
    return *device.hub;
}

UsbLun& Machine::AddLun(UsbDevice& device, const LunParams& params)
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (device.devNode == nullptr || device.hub != nullptr)
    {
        Violation("a logical unit needs a connected device that is not a hub");
    }
    DevNode& usbNode = *device.devNode;
    usbNode.SetString(CM_DRP_SERVICE, u"USBSTOR");
    if (usbNode.GetString(CM_DRP_DEVICEDESC) == WString(u"USB Composite Device"))
    {
        usbNode.SetString(CM_DRP_DEVICEDESC, u"USB Mass Storage Device");
    }
    device.descriptor.bDeviceClass = 0; // class in the interface descriptor: mass storage
    if (device.pipes.empty())
    {
        device.pipes.push_back(USB_ENDPOINT_DESCRIPTOR{7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, 2, 512, 0});
        device.pipes.push_back(USB_ENDPOINT_DESCRIPTOR{7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x02, 2, 512, 0});
    }

    auto lun = std::make_unique<UsbLun>();
    lun->index = static_cast<unsigned>(device.luns.size());
    lun->sizeBytes = params.sizeBytes;
    lun->vendor = params.vendor;
    lun->product = params.product;
    lun->revision = params.revision;

    // USBSTOR names the disk by its inquiry strings; a device without serial number gets the USB node's
    // generated suffix, with the ampersands turned into the form USBSTOR uses.
    WString serial = device.serialNumber;
    if (serial.empty())
    {
        serial = usbNode.instanceId.substr(usbNode.instanceId.rfind(u'\\') + 1);
    }
    WString diskId = u"USBSTOR\\Disk&Ven_" + IdSegment(params.vendor) + u"&Prod_" +
                     IdSegment(params.product) + u"&Rev_" + IdSegment(params.revision) + u"\\" + serial +
                     u"&" + Decimal(lun->index, 1);
    DevNode& disk = AddDevNode(usbNode, diskId);
    disk.SetString(CM_DRP_DEVICEDESC, u"Disk drive");
    disk.SetString(CM_DRP_FRIENDLYNAME, params.vendor + u" " + params.product + u" USB Device");
    disk.SetString(CM_DRP_SERVICE, u"disk");
    SetDriverClass(disk, u"DiskDrive", kDiskDriveClassGuid);
    disk.removable = true;
    disk.interfaces.push_back(
        DeviceInterface{kDiskInterface, u"\\\\?\\" + InterfaceName(diskId, kDiskInterface)});
    lun->disk = &disk;
    if (!params.letters.empty())
    {
        lun->volume = &AddVolume(&disk, params.letters, params.sizeBytes);
        lun->volume->lun = lun.get();
    }
    device.luns.push_back(std::move(lun));
    return *device.luns.back();
}

void Machine::Unplug(UsbDevice& device)
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (device.upstream != nullptr && device.upstream->ports[device.port - 1].device == &device)
    {
        device.upstream->ports[device.port - 1].device = nullptr;
    }
    if (device.devNode != nullptr)
    {
        SetPresent(*device.devNode, false);
    }
    for (const auto& lun : device.luns)
    {
        if (lun->volume != nullptr && lun->volume->devNode != nullptr)
        {
            SetPresent(*lun->volume->devNode, false);
        }
    }
}

void Machine::Replug(UsbDevice& device)
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    UsbPort& port = device.upstream->ports[device.port - 1];
    if (port.device != nullptr && port.device != &device)
    {
        Violation("port %u of hub %u is taken", device.port, device.upstream->number);
    }
    port.device = &device;
    if (device.devNode != nullptr)
    {
        SetPresent(*device.devNode, device.devNode->parent->present);
    }
    for (const auto& lun : device.luns)
    {
        if (lun->volume != nullptr && lun->volume->devNode != nullptr)
        {
            SetPresent(*lun->volume->devNode, device.devNode != nullptr && device.devNode->present);
        }
    }
}

HostController* Machine::ControllerByLegacyIndex(int index) const
{
    for (const auto& controller : controllers_)
    {
        if (controller->legacyIndex == index && controller->devNode->present)
        {
            return controller.get();
        }
    }
    return nullptr;
}

HostController* Machine::ControllerByInterfacePath(const WString& path) const
{
    for (const auto& controller : controllers_)
    {
        for (const DeviceInterface& iface : controller->devNode->interfaces)
        {
            if (controller->devNode->present && EqualNoCase(iface.path, path))
            {
                return controller.get();
            }
        }
    }
    return nullptr;
}

Hub* Machine::HubByName(const WString& name) const
{
    for (const auto& hub : hubs_)
    {
        if (hub->devNode->present && EqualNoCase(hub->name, name))
        {
            return hub.get();
        }
    }
    return nullptr;
}

UsbDevice* Machine::UsbDeviceOf(const DevNode& node) const
{
    for (const auto& device : devices_)
    {
        if (device->devNode == &node)
        {
            return device.get();
        }
    }
    return nullptr;
}

bool Machine::VolumeInUseBelow(const DevNode& node) const
{
    for (const auto& volume : volumes_)
    {
        if (!volume->inUse || volume->lun == nullptr || volume->lun->disk == nullptr)
        {
            continue;
        }
        for (const DevNode* at = volume->lun->disk; at != nullptr; at = at->parent)
        {
            if (at == &node)
            {
                return true;
            }
        }
    }
    return false;
}

Volume& Machine::AddVolume(DevNode* disk, const std::vector<WCHAR>& letters, uint64_t sizeBytes)
{
    std::lock_guard<std::recursive_mutex> lock(lock_);
    for (WCHAR letter : letters)
    {
        if (letter < u'A' || letter > u'Z')
        {
            Violation("drive letters are A to Z in upper case");
        }
        if (VolumeByLetter(letter) != nullptr)
        {
            Violation("drive letter %c is taken", static_cast<char>(letter));
        }
    }
    unsigned number = ++volumeCounter_;
    WString guid =
        u"{6d2f" + Hex(number, 4, false) + u"-0d5a-11f0-9c3e-" + Hex(0x806e6f6e, 8, false) + u"6963}";
    auto volume = std::make_unique<Volume>();
    volume->guidPath = u"\\\\?\\Volume" + guid + u"\\";
    volume->letters = letters;
    volume->sizeBytes = sizeBytes;

    WString id = u"STORAGE\\Volume\\" + guid + u"#" + Hex(0x100000u * number, 16, false);
    DevNode& node = AddDevNode(*volumeManager_, id);
    node.SetString(CM_DRP_DEVICEDESC, u"Generic volume");
    node.SetString(CM_DRP_SERVICE, u"volume");
    SetDriverClass(node, u"Volume", kVolumeClassGuid);
    node.interfaces.push_back(
        DeviceInterface{kVolumeInterface, u"\\\\?\\" + InterfaceName(id, kVolumeInterface)});
    node.present = disk == nullptr || disk->present;
    volume->devNode = &node;
    if (disk != nullptr)
    {
        disk->removalRelations.push_back(id);
    }
    volumes_.push_back(std::move(volume));
    return *volumes_.back();
}

Volume* Machine::VolumeByLetter(WCHAR letter) const
{
    for (const auto& volume : volumes_)
    {
        bool has = std::find(volume->letters.begin(), volume->letters.end(), letter) != volume->letters.end();
        if (has && volume->devNode->present)
        {
            return volume.get();
        }
    }
    return nullptr;
}

Volume* Machine::VolumeByInterfacePath(const WString& path) const
{
    for (const auto& volume : volumes_)
    {
        for (const DeviceInterface& iface : volume->devNode->interfaces)
        {
            if (volume->devNode->present && EqualNoCase(iface.path, path))
            {
                return volume.get();
            }
        }
    }
    return nullptr;
}

void Machine::AddService(const Service& service)
{
    if (FindService(service.name) != nullptr)
    {
        Violation("service '%s' is installed twice", Narrow(service.name).c_str());
    }
    services_.push_back(service);
}

void Machine::RemoveService(const WString& name)
{
    for (auto service = services_.begin(); service != services_.end(); ++service)
    {
        if (EqualNoCase(service->name, name))
        {
            services_.erase(service);
            return;
        }
    }
    Violation("service '%s' is not installed", Narrow(name).c_str());
}

const Service* Machine::FindService(const WString& name) const
{
    for (const Service& service : services_)
    {
        if (EqualNoCase(service.name, name))
        {
            return &service;
        }
    }
    return nullptr;
}
} // namespace winsim::machine
