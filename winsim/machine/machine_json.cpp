// winsim/machine: loader of the machine description format (see machine_json.h). Each part of the
// description maps onto one builder call, so a machine loaded from a file and one built in a test are made
// the same way.
#include "winsim/machine/machine_json.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace winsim::machine
{
namespace
{
using Json = nlohmann::json;

[[noreturn]] void Bad(const std::string& what)
{
    throw std::runtime_error("machine description: " + what);
}

WString Text(const Json& object, const char* key, const WString& fallback = WString())
{
    if (!object.contains(key))
    {
        return fallback;
    }
    if (!object[key].is_string())
    {
        Bad(std::string("'") + key + "' must be a string");
    }
    return Widen(object[key].get<std::string>());
}

// A number written as JSON number or as "0x..." text (vendor and product IDs read better in hex).
uint64_t Number(const Json& value, const char* what)
{
    if (value.is_number_integer() && value.get<int64_t>() >= 0)
    {
        return value.get<uint64_t>();
    }
    if (value.is_string())
    {
        std::string text = value.get<std::string>();
        size_t used = 0;
        try
        {
            uint64_t number = std::stoull(text, &used, 0);
            if (used == text.size())
            {
                return number;
            }
        }
        catch (const std::exception&)
        {
        }
    }
    Bad(std::string("'") + what + "' must be a number");
}

// "64MiB", "2GiB", "512KiB" or a plain byte count.
uint64_t Size(const Json& value)
{
    if (!value.is_string())
    {
        return Number(value, "size");
    }
    std::string text = value.get<std::string>();
    const std::pair<const char*, uint64_t> units[] = {
        {"KiB", 1ull << 10}, {"MiB", 1ull << 20}, {"GiB", 1ull << 30}};
    for (const auto& unit : units)
    {
        size_t length = std::strlen(unit.first);
        if (text.size() > length && text.compare(text.size() - length, length, unit.first) == 0)
        {
            return Number(Json(text.substr(0, text.size() - length)), "size") * unit.second;
        }
    }
    return Number(value, "size");
}

std::vector<WString> TextList(const Json& value, const char* what)
{
    if (!value.is_array())
    {
        Bad(std::string("'") + what + "' must be a list of strings");
    }
    std::vector<WString> items;
    for (const Json& item : value)
    {
        if (!item.is_string())
        {
            Bad(std::string("'") + what + "' must be a list of strings");
        }
        items.push_back(Widen(item.get<std::string>()));
    }
    return items;
}

std::vector<WCHAR> Letters(const Json& object)
{
    std::vector<WCHAR> letters;
    if (object.contains("letters"))
    {
        for (const WString& letter : TextList(object["letters"], "letters"))
        {
            if (letter.size() != 1)
            {
                Bad("a drive letter is one character");
            }
            letters.push_back(Upper(letter)[0]);
        }
    }
    return letters;
}

ULONG PropertyNumber(const std::string& name)
{
    static const std::pair<const char*, ULONG> names[] = {
        {"DeviceDesc", CM_DRP_DEVICEDESC},
        {"HardwareID", CM_DRP_HARDWAREID},
        {"CompatibleIDs", CM_DRP_COMPATIBLEIDS},
        {"Service", CM_DRP_SERVICE},
        {"Class", CM_DRP_CLASS},
        {"ClassGUID", CM_DRP_CLASSGUID},
        {"Driver", CM_DRP_DRIVER},
        {"Mfg", CM_DRP_MFG},
        {"FriendlyName", CM_DRP_FRIENDLYNAME},
        {"LocationInformation", CM_DRP_LOCATION_INFORMATION},
        {"UpperFilters", CM_DRP_UPPERFILTERS},
        {"LowerFilters", CM_DRP_LOWERFILTERS},
        {"EnumeratorName", CM_DRP_ENUMERATOR_NAME}};
    for (const auto& entry : names)
    {
        if (name == entry.first)
        {
            return entry.second;
        }
    }
    Bad("unknown device property '" + name + "'");
}

DWORD IoctlNumber(const Json& value)
{
    if (!value.is_string())
    {
        return static_cast<DWORD>(Number(value, "ioctl"));
    }
    static const std::pair<const char*, DWORD> names[] = {
        {"IOCTL_GET_HCD_DRIVERKEY_NAME", IOCTL_GET_HCD_DRIVERKEY_NAME},
        {"IOCTL_USB_GET_ROOT_HUB_NAME", IOCTL_USB_GET_ROOT_HUB_NAME},
        {"IOCTL_USB_GET_NODE_INFORMATION", IOCTL_USB_GET_NODE_INFORMATION},
        {"IOCTL_USB_GET_NODE_CONNECTION_INFORMATION", IOCTL_USB_GET_NODE_CONNECTION_INFORMATION},
        {"IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX", IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX},
        {"IOCTL_USB_GET_NODE_CONNECTION_NAME", IOCTL_USB_GET_NODE_CONNECTION_NAME},
        {"IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME", IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME}};
    std::string name = value.get<std::string>();
    for (const auto& entry : names)
    {
        if (name == entry.first)
        {
            return entry.second;
        }
    }
    return static_cast<DWORD>(Number(value, "ioctl"));
}

void Faults(const Json& object, IoTarget& target)
{
    if (!object.contains("faults"))
    {
        return;
    }
    for (const Json& fault : object["faults"])
    {
        if (!fault.contains("ioctl"))
        {
            Bad("a fault names its 'ioctl'");
        }
        target.ioFaults.push_back(
            IoFault{IoctlNumber(fault["ioctl"]),
                    static_cast<unsigned>(fault.contains("atCall") ? Number(fault["atCall"], "atCall") : 0)});
    }
}

class Loader
{
public:
    explicit Loader(Machine& machine) : machine_(machine) {}

    // Properties any node may carry; applied after the builder made the node, so they override it.
    void NodeFields(const Json& object, DevNode& node)
    {
        if (object.contains("description"))
        {
            node.SetString(CM_DRP_DEVICEDESC, Text(object, "description"));
        }
        if (object.contains("service"))
        {
            node.SetString(CM_DRP_SERVICE, Text(object, "service"));
        }
        if (object.contains("friendlyName"))
        {
            node.SetString(CM_DRP_FRIENDLYNAME, Text(object, "friendlyName"));
        }
        if (object.contains("lowerFilters"))
        {
            node.SetMultiString(CM_DRP_LOWERFILTERS, TextList(object["lowerFilters"], "lowerFilters"));
        }
        if (object.contains("upperFilters"))
        {
            node.SetMultiString(CM_DRP_UPPERFILTERS, TextList(object["upperFilters"], "upperFilters"));
        }
        if (object.contains("removalRelations"))
        {
            for (const WString& id : TextList(object["removalRelations"], "removalRelations"))
            {
                node.removalRelations.push_back(id);
            }
        }
        if (object.contains("problem"))
        {
            node.problem = static_cast<ULONG>(Number(object["problem"], "problem"));
        }
        if (object.contains("properties"))
        {
            for (const auto& [name, value] : object["properties"].items())
            {
                if (value.is_string())
                {
                    node.SetString(PropertyNumber(name), Widen(value.get<std::string>()));
                }
                else
                {
                    node.SetMultiString(PropertyNumber(name), TextList(value, name.c_str()));
                }
            }
        }
        for (const char* key : {"unreadable", "unwritable"})
        {
            if (object.contains(key))
            {
                for (const WString& name : TextList(object[key], key))
                {
                    (key[2] == 'r' ? node.unreadableProperties : node.unwritableProperties)
                        .insert(PropertyNumber(Narrow(name)));
                }
            }
        }
        if (object.contains("children"))
        {
            for (const Json& child : object["children"])
            {
                GenericNode(child, node);
            }
        }
    }

    void GenericNode(const Json& object, DevNode& parent)
    {
        WString id = Text(object, "instanceId");
        if (id.empty())
        {
            Bad("a child node needs its 'instanceId'");
        }
        DevNode& node = machine_.AddDevNode(parent, id);
        if (object.contains("class") || object.contains("classGuid"))
        {
            machine_.SetDriverClass(node, Text(object, "class", u"System"),
                                    Text(object, "classGuid", kSystemClassGuid));
        }
        NodeFields(object, node);
    }

    void LoadHub(const Json& object, Hub& hub)
    {
        if (object.contains("reportedPorts"))
        {
            hub.reportedPortCount = static_cast<UCHAR>(Number(object["reportedPorts"], "reportedPorts"));
        }
        if (object.contains("connectionInfoEx"))
        {
            hub.answersConnectionInfoEx = object["connectionInfoEx"].get<bool>();
        }
        Faults(object, hub);
        if (object.contains("devices"))
        {
            for (const Json& device : object["devices"])
            {
                LoadDevice(device, hub);
            }
        }
    }

    void LoadDevice(const Json& object, Hub& hub)
    {
        if (!object.contains("port"))
        {
            Bad("a device names its 'port'");
        }
        UsbDeviceParams params;
        params.vendorId = static_cast<USHORT>(object.contains("vid") ? Number(object["vid"], "vid") : 0);
        params.productId = static_cast<USHORT>(object.contains("pid") ? Number(object["pid"], "pid") : 0);
        params.serialNumber = Text(object, "serial");
        params.instanceId = Text(object, "instanceId");
        params.className = Text(object, "class", params.className);
        params.classGuid = Text(object, "classGuid", params.classGuid);
        if (object.contains("speed"))
        {
            params.speed = static_cast<UCHAR>(Number(object["speed"], "speed"));
        }
        params.lowSpeed = object.value("lowSpeed", false);
        if (object.contains("status"))
        {
            params.connectionStatus = ConnectionStatus(object["status"]);
        }
        UsbDevice& device =
            machine_.AttachDevice(hub, static_cast<ULONG>(Number(object["port"], "port")), params);
        if (object.contains("reportedDriverKey"))
        {
            device.reportedDriverKey = Text(object, "reportedDriverKey");
        }
        if (object.contains("reportedHubName"))
        {
            device.reportedHubName = Text(object, "reportedHubName");
        }
        if (device.devNode == nullptr)
        {
            return;
        }
        if (object.contains("hub"))
        {
            const Json& hubObject = object["hub"];
            LoadHub(hubObject,
                    machine_.MakeHub(device,
                                     static_cast<ULONG>(Number(hubObject.value("ports", Json(4)), "ports"))));
        }
        if (object.contains("luns"))
        {
            for (const Json& lunObject : object["luns"])
            {
                LunParams lunParams;
                if (lunObject.contains("size"))
                {
                    lunParams.sizeBytes = Size(lunObject["size"]);
                }
                lunParams.letters = Letters(lunObject);
                lunParams.vendor = Text(lunObject, "vendor", lunParams.vendor);
                lunParams.product = Text(lunObject, "product", lunParams.product);
                lunParams.revision = Text(lunObject, "revision", lunParams.revision);
                UsbLun& lun = machine_.AddLun(device, lunParams);
                NodeFields(lunObject, *lun.disk);
                if (lunObject.value("inUse", false))
                {
                    if (lun.volume == nullptr)
                    {
                        Bad("'inUse' needs a volume: give the unit its 'letters'");
                    }
                    lun.volume->inUse = true;
                }
            }
        }
        NodeFields(object, *device.devNode);
    }

    USB_CONNECTION_STATUS ConnectionStatus(const Json& value)
    {
        static const char* const names[] = {"NoDeviceConnected",
                                            "DeviceConnected",
                                            "DeviceFailedEnumeration",
                                            "DeviceGeneralFailure",
                                            "DeviceCausedOvercurrent",
                                            "DeviceNotEnoughPower",
                                            "DeviceNotEnoughBandwidth",
                                            "DeviceHubNestedTooDeeply",
                                            "DeviceInLegacyHub",
                                            "DeviceEnumerating",
                                            "DeviceReset"};
        if (value.is_string())
        {
            for (size_t at = 0; at < sizeof names / sizeof names[0]; ++at)
            {
                if (value.get<std::string>() == names[at])
                {
                    return static_cast<USB_CONNECTION_STATUS>(at);
                }
            }
        }
        return static_cast<USB_CONNECTION_STATUS>(Number(value, "status"));
    }

    void Controller(const Json& object)
    {
        ControllerParams params;
        params.instanceId = Text(object, "instanceId");
        if (params.instanceId.empty())
        {
            Bad("a controller needs its 'instanceId'");
        }
        params.description = Text(object, "description", params.description);
        params.service = Text(object, "service", params.service);
        if (object.contains("legacyName"))
        {
            params.legacyIndex = static_cast<int>(Number(object["legacyName"], "legacyName"));
        }
        params.exposesInterface = object.value("interface", true);
        Json hubObject = object.value("rootHub", Json::object());
        params.rootHubPorts = static_cast<ULONG>(Number(hubObject.value("ports", Json(4)), "ports"));
        params.rootHubInstanceId = Text(hubObject, "instanceId");
        HostController& controller = machine_.AddHostController(params);
        if (object.contains("reportedDriverKey"))
        {
            controller.reportedDriverKey = Text(object, "reportedDriverKey");
        }
        Faults(object, controller);
        NodeFields(object, *controller.devNode);
        LoadHub(hubObject, *controller.rootHub);
    }

    void Top(const Json& root)
    {
        if (!root.is_object())
        {
            Bad("the top level is an object");
        }
        if (root.contains("services"))
        {
            for (const Json& entry : root["services"])
            {
                Service service;
                if (entry.is_string())
                {
                    service.name = Widen(entry.get<std::string>());
                }
                else
                {
                    service.name = Text(entry, "name");
                    service.type = static_cast<DWORD>(Number(entry.value("type", Json(1)), "type"));
                    service.start = static_cast<DWORD>(Number(entry.value("start", Json(3)), "start"));
                    service.imagePath = Text(entry, "imagePath");
                }
                machine_.AddService(service);
            }
        }
        if (root.contains("volumes"))
        {
            for (const Json& entry : root["volumes"])
            {
                machine_.AddVolume(nullptr, Letters(entry), entry.contains("size") ? Size(entry["size"]) : 0);
            }
        }
        if (root.contains("controllers"))
        {
            for (const Json& entry : root["controllers"])
            {
                Controller(entry);
            }
        }
        if (root.contains("token"))
        {
            const Json& token = root["token"];
            machine_.security.administrators = token.value("administrators", true);
            if (token.contains("threadAdministrators"))
            {
                machine_.security.threadAdministrators = token["threadAdministrators"].get<bool>();
            }
        }
        if (root.contains("classInstallerFlags"))
        {
            machine_.classInstallerFlags =
                static_cast<DWORD>(Number(root["classInstallerFlags"], "classInstallerFlags"));
        }
        if (root.contains("failSets"))
        {
            const Json& sets = root["failSets"];
            machine_.failAllDevicesSet = sets.value("allDevices", false);
            if (sets.contains("interfaces"))
            {
                for (const WString& text : TextList(sets["interfaces"], "interfaces"))
                {
                    GUID guid;
                    if (!ParseGuid(text, &guid))
                    {
                        Bad("'" + Narrow(text) + "' is not a GUID");
                    }
                    machine_.failingInterfaceSets.push_back(guid);
                }
            }
        }
    }

private:
    Machine& machine_;
};
} // namespace

std::unique_ptr<Machine> LoadMachineJson(const std::string& text)
{
    Json root;
    try
    {
        root = Json::parse(text);
    }
    catch (const Json::exception& error)
    {
        Bad(error.what());
    }
    auto machine = std::make_unique<Machine>();
    try
    {
        Loader(*machine).Top(root);
    }
    catch (const Json::exception& error)
    {
        Bad(error.what());
    }
    return machine;
}

std::unique_ptr<Machine> LoadMachineFile(const std::string& path)
{
    std::ifstream file(path);
    if (!file)
    {
        throw std::runtime_error("machine description: cannot open '" + path + "'");
    }
    std::stringstream text;
    text << file.rdbuf();
    return LoadMachineJson(text.str());
}
} // namespace winsim::machine
