// kavlab enum: runs the product's enumeration against a machine description and prints the device list
// in walk order: IDs, serial, location, the tree of device nodes with enumerator names, instance IDs and
// drive letters, and the filter state by its name. Without --all only target devices are listed, as the
// tray application shows them.
#include "lab/commands.h"

#include "winsim/machine/machine_json.h"

#include "enumlib/FilterState.h"
#include "enumlib/USBEnumerateEx.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <string>

namespace kavlab
{
namespace
{
using Kavelor::CUSBEnumerateExTree;

std::string Utf8(const Kavelor::WString& text)
{
    return winsim::machine::Narrow(winsim::machine::WString(text.begin(), text.end()));
}

const char* FilterStateName(int state)
{
    switch (state)
    {
    case Kavelor::FILTER_STATE_ENABLED:
        return "FILTER_STATE_ENABLED";
    case Kavelor::FILTER_STATE_DEVICE_OFF:
        return "FILTER_STATE_DEVICE_OFF";
    case Kavelor::FILTER_STATE_STORAGE_OFF:
        return "FILTER_STATE_STORAGE_OFF";
    default:
        return "FILTER_STATE_NOT_TARGET";
    }
}

std::string Hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

std::string Filters(const std::list<Kavelor::WString>& filters)
{
    std::string text;
    for (const Kavelor::WString& filter : filters)
    {
        text += (text.empty() ? "" : ",") + Utf8(filter);
    }
    return text;
}

void PrintNode(const CUSBEnumerateExTree& node, int depth)
{
    const Kavelor::CUSBEnumerateExTreeData& data = node.data;
    std::string line(4 + 2 * depth, ' ');
    line +=
        (data.strEnumeratorName.empty() ? std::string("?") : Utf8(data.strEnumeratorName)) + "  " +
        (data.strDeviceInstanceId.empty() ? std::string("(no device node)") : Utf8(data.strDeviceInstanceId));
    if (data.chDriveLetter != 0)
    {
        line += "  " + std::string(1, static_cast<char>(data.chDriveLetter)) + ":";
    }
    if (!data.lstLowerFilters.empty())
    {
        line += "  lower=" + Filters(data.lstLowerFilters);
    }
    if (!data.lstUpperFilters.empty())
    {
        line += "  upper=" + Filters(data.lstUpperFilters);
    }
    if ((data.ulStatus & DN_HAS_PROBLEM) != 0)
    {
        line += "  problem=" + std::to_string(data.ulProblemNumber);
    }
    std::printf("%s\n", line.c_str());
    for (const CUSBEnumerateExTree& child : node.children)
    {
        PrintNode(child, depth + 1);
    }
}

nlohmann::ordered_json NodeJson(const CUSBEnumerateExTree& node)
{
    const Kavelor::CUSBEnumerateExTreeData& data = node.data;
    nlohmann::ordered_json lower = nlohmann::ordered_json::array();
    nlohmann::ordered_json upper = nlohmann::ordered_json::array();
    for (const Kavelor::WString& filter : data.lstLowerFilters)
    {
        lower.push_back(Utf8(filter));
    }
    for (const Kavelor::WString& filter : data.lstUpperFilters)
    {
        upper.push_back(Utf8(filter));
    }
    nlohmann::ordered_json children = nlohmann::ordered_json::array();
    for (const CUSBEnumerateExTree& child : node.children)
    {
        children.push_back(NodeJson(child));
    }
    return {
        {"instanceId", Utf8(data.strDeviceInstanceId)},
        {"enumerator", Utf8(data.strEnumeratorName)},
        {"description", Utf8(data.strDeviceDesc)},
        {"friendlyName", Utf8(data.strFriendlyName)},
        {"classGuid", Utf8(data.strClassGuid)},
        {"driveLetter", data.chDriveLetter != 0 ? std::string(1, static_cast<char>(data.chDriveLetter)) : ""},
        {"lowerFilters", lower},
        {"upperFilters", upper},
        {"status", data.ulStatus},
        {"problem", data.ulProblemNumber},
        {"children", children}};
}

int Usage()
{
    std::fprintf(stderr, "usage: kavlab enum --machine FILE [--all] [--json]\n"
                         "  --machine FILE  machine description (see lab/machines/)\n"
                         "  --all           list every USB device, not only supported mass-storage devices\n"
                         "  --json          print the list as JSON\n");
    return 2;
}
} // namespace

int RunEnum(int argc, char** argv)
{
    std::string machinePath;
    bool all = false;
    bool json = false;
    for (int at = 0; at < argc; ++at)
    {
        if (std::strcmp(argv[at], "--machine") == 0 && at + 1 < argc)
        {
            machinePath = argv[++at];
        }
        else if (std::strcmp(argv[at], "--all") == 0)
        {
            all = true;
        }
        else if (std::strcmp(argv[at], "--json") == 0)
        {
            json = true;
        }
        else
        {
            return Usage();
        }
    }
    if (machinePath.empty())
    {
        return Usage();
    }

    std::unique_ptr<winsim::machine::Machine> machine;
    try
    {
        machine = winsim::machine::LoadMachineFile(machinePath);
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "kavlab enum: %s\n", error.what());
        return 1;
    }
    winsim::machine::ScopedMachine scope(*machine);
    Kavelor::CUSBEnumerateExList devices;
    Kavelor::CUSBEnumerateEx enumerator(&devices);
    enumerator.m_bTargetOnly = all ? 0 : 1;
    enumerator.Enumerate();

    if (json)
    {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const Kavelor::CUSBEnumerateExData& device : devices)
        {
            list.push_back({{"vid", Hex4(device.wVendorId)},
                            {"pid", Hex4(device.wProductId)},
                            {"serial", Utf8(device.strSerialNumber)},
                            {"location", Utf8(device.strLocation)},
                            {"filterState", FilterStateName(Kavelor::GetFilterState(device))},
                            {"tree", NodeJson(device.treeDevice)}});
        }
        std::printf("%s\n", list.dump(2).c_str());
        return 0;
    }

    std::printf("machine %s: %zu %s\n", machinePath.c_str(), devices.size(),
                all ? "USB device(s)"
                    : "supported USB mass-storage device(s) (--all lists every USB device)");
    int number = 0;
    for (const Kavelor::CUSBEnumerateExData& device : devices)
    {
        std::printf("\n[%d] VID_%s PID_%s  serial %s  location %s  %s\n", ++number,
                    Hex4(device.wVendorId).c_str(), Hex4(device.wProductId).c_str(),
                    device.strSerialNumber.empty() ? "-" : Utf8(device.strSerialNumber).c_str(),
                    device.strLocation.empty() ? "-" : Utf8(device.strLocation).c_str(),
                    FilterStateName(Kavelor::GetFilterState(device)));
        PrintNode(device.treeDevice, 0);
    }
    return 0;
}
} // namespace kavlab
