// Fuzz target: the enumeration library's walk over a simulated PC that the input builds and whose host
// controllers, hubs and device nodes answer what the input says: names without terminators, ActualLength
// larger than any buffer, any port count, any connection information, property values of any type and
// length, broken multi-strings, odd instance IDs, removal relations that point anywhere, volumes whose
// names do not fit. The walk (all three controller routes, the device list and what m_bTargetOnly
// keeps of it, the volume list, every record's filter state) must end, must not crash and must close
// every handle; every winsim misuse rule stays armed, and a broken rule aborts as a crash the fuzzer keeps.
//
// Input: lines of text; each line is one instruction, an unknown one is ignored. The first character is
// the instruction, its numbers follow separated by blanks (decimal, or hexadecimal with 0x), and the
// instructions with text take the rest of the line after the numbers. In text every byte is one UTF-16
// unit, except %XXXX (four hex digits) which gives any unit, %0000 included. Objects are chosen by
// number modulo how many exist: nodes in creation order (0 is the root), devices, hubs (root hubs
// included), controllers, volumes; a target is a controller or hub, controllers counted first.
//
//   C legacy iface ports id        host controller; legacy 0-9 gives \\.\HCDn, iface 1 the interface
//   D hub port vid pid status id   device on a hub port; id "" builds USB\VID_v&PID_p\<n>, a leading =
//                                  gives the whole instance ID, anything else is the serial number
//   H dev ports                    the device becomes a hub
//   L node letters                 a USBSTOR disk below the node; letters A-Z give it a volume
//   Z dev pipes                    number of pipes the device's connection information lists
//   S node prop text               string property (CM_DRP_ number); M: multi-string, items split at |
//   P node prop type hex           property stored as raw bytes with the registry type
//   U node prop                    property unreadable
//   R node text                    removal relation; text #k names node k
//   T node status problem present  device-node status, problem and presence (subtree)
//   I node index text              interface path of the node's index-th interface
//   X dev                          surprise removal of the device
//   K hub count                    port count the hub reports
//   E hub 0|1                      whether the hub answers the EX connection request
//   N hub text                     the hub's name (CreateFileW and its interface path follow it)
//   G dev text                     driver key the device's port reports; J: hub name its port reports
//   Q controller text              driver key the controller reports
//   W vol text                     volume GUID path; Y: the GUID path answered through its interface
//   F target code call             the code's call number call (0: every call) fails
//   A target code flags hex        the target answers the code with these bytes; flags 1: the request
//                                  fails instead, 2: the answer stays for every later call
//   B                              the all-devices set cannot be opened
//   O which                        the controller (0), volume (1) or hub (2) interface set cannot be opened
//
// Codes: 0 HCD driver key, 1 root hub name, 2 node information, 3 connection information, 4 connection
// information EX, 5 connection name, 6 connection driver key.
#include "winsim/machine/machine.h"

#include "enumlib/DevNodeProperty.h"
#include "enumlib/FilterState.h"
#include "enumlib/USBEnumerateEx.h"
#include "enumlib/VolumeEnumerate.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace
{
using namespace winsim::machine;

// Requests to controllers and hubs one input may cause. An honest machine of the largest size an input
// can build stays far below; more means the walk visits something again and again.
const unsigned kMaxIoRequests = 200000;
const size_t kMaxControllers = 12;
const size_t kMaxHubs = 24;
const size_t kMaxDevices = 96;

const DWORD kCodes[] = {IOCTL_GET_HCD_DRIVERKEY_NAME,
                        IOCTL_USB_GET_ROOT_HUB_NAME,
                        IOCTL_USB_GET_NODE_INFORMATION,
                        IOCTL_USB_GET_NODE_CONNECTION_INFORMATION,
                        IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX,
                        IOCTL_USB_GET_NODE_CONNECTION_NAME,
                        IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME};

[[noreturn]] void Breach(const char* what)
{
    std::fprintf(stderr, "enum_walk_fuzz: %s\n", what);
    std::abort();
}

// One instruction line: numbers first, then the rest as text or hex bytes.
class Line
{
public:
    explicit Line(const std::string& text) : text_(text), at_(1) {}

    char Op() const { return text_.empty() ? 0 : text_[0]; }

    uint32_t Number()
    {
        while (at_ < text_.size() && text_[at_] == ' ')
        {
            ++at_;
        }
        size_t end = text_.find(' ', at_);
        std::string token = text_.substr(at_, end == std::string::npos ? std::string::npos : end - at_);
        at_ = end == std::string::npos ? text_.size() : end;
        bool hex = token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
        return static_cast<uint32_t>(std::strtoull(token.c_str() + (hex ? 2 : 0), nullptr, hex ? 16 : 10));
    }

    std::string Rest()
    {
        if (at_ < text_.size() && text_[at_] == ' ')
        {
            ++at_;
        }
        std::string rest = at_ < text_.size() ? text_.substr(at_) : std::string();
        at_ = text_.size();
        return rest;
    }

    WString Text()
    {
        std::string rest = Rest();
        WString text;
        for (size_t at = 0; at < rest.size(); ++at)
        {
            if (rest[at] == '%' && IsHex(rest, at + 1, 4))
            {
                text += static_cast<char16_t>(std::strtoul(rest.substr(at + 1, 4).c_str(), nullptr, 16));
                at += 4;
            }
            else
            {
                text += static_cast<char16_t>(static_cast<unsigned char>(rest[at]));
            }
        }
        return text;
    }

    std::vector<BYTE> Hex()
    {
        std::string rest = Rest();
        std::vector<BYTE> bytes;
        for (size_t at = 0; at + 1 < rest.size(); at += 2)
        {
            if (!IsHex(rest, at, 2))
            {
                break;
            }
            bytes.push_back(static_cast<BYTE>(std::strtoul(rest.substr(at, 2).c_str(), nullptr, 16)));
        }
        return bytes;
    }

private:
    static bool IsHex(const std::string& text, size_t at, size_t count)
    {
        if (at + count > text.size())
        {
            return false;
        }
        for (size_t i = at; i < at + count; ++i)
        {
            if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            {
                return false;
            }
        }
        return true;
    }

    std::string text_;
    size_t at_;
};

template <typename T> T* Pick(const std::vector<std::unique_ptr<T>>& items, uint32_t number)
{
    return items.empty() ? nullptr : items[number % items.size()].get();
}

ULONG Property(uint32_t number)
{
    return number >= CM_DRP_MIN && number <= CM_DRP_MAX ? number : CM_DRP_MIN + number % CM_DRP_MAX;
}

std::vector<WString> SplitItems(const WString& text)
{
    std::vector<WString> items;
    size_t start = 0;
    for (size_t at = 0; at <= text.size(); ++at)
    {
        if (at == text.size() || text[at] == u'|')
        {
            items.push_back(text.substr(start, at - start));
            start = at + 1;
        }
    }
    return items;
}

WString Hex4(uint32_t value)
{
    const char16_t digits[] = u"0123456789ABCDEF";
    WString text;
    for (int shift = 12; shift >= 0; shift -= 4)
    {
        text += digits[(value >> shift) & 0xF];
    }
    return text;
}

// Builds the machine from the instructions and answers the controllers' and hubs' requests from them.
class HostileMachine
{
public:
    explicit HostileMachine(Machine& machine) : machine_(machine) {}

    void Run(const std::string& line)
    {
        Line in(line);
        switch (in.Op())
        {
        case 'C':
            AddController(in);
            break;
        case 'D':
            AddDevice(in);
            break;
        case 'H':
            MakeHub(in);
            break;
        case 'L':
            AddDisk(in);
            break;
        case 'X':
            if (UsbDevice* device = Pick(machine_.UsbDevices(), in.Number()))
            {
                machine_.Unplug(*device);
            }
            break;
        default:
            Tamper(in);
            break;
        }
    }

    // Every request of the controllers and hubs is counted and may get the input's answer.
    void InstallAnswers()
    {
        for (const auto& controller : machine_.Controllers())
        {
            Answer(*controller);
        }
        for (const auto& hub : machine_.Hubs())
        {
            Answer(*hub);
        }
    }

private:
    struct Queued
    {
        IoAnswer answer;
        bool stays = false;
    };

    DevNode* Node(uint32_t number) const
    {
        const auto& nodes = machine_.DevNodes();
        return nodes[number % nodes.size()].get();
    }

    IoTarget* Target(uint32_t number) const
    {
        size_t count = machine_.Controllers().size() + machine_.Hubs().size();
        if (count == 0)
        {
            return nullptr;
        }
        size_t at = number % count;
        if (at < machine_.Controllers().size())
        {
            return machine_.Controllers()[at].get();
        }
        return machine_.Hubs()[at - machine_.Controllers().size()].get();
    }

    bool FreeId(const WString& id) const
    {
        return !id.empty() && id.size() < MAX_DEVICE_ID_LEN && machine_.FindDevNode(id) == nullptr;
    }

    WString Numbered(const char16_t* prefix) { return prefix + Hex4(++serial_); }

    void AddController(Line& in)
    {
        if (machine_.Controllers().size() >= kMaxControllers)
        {
            return;
        }
        ControllerParams params;
        uint32_t legacy = in.Number();
        params.legacyIndex =
            legacy <= 9 && machine_.ControllerByLegacyIndex(static_cast<int>(legacy)) == nullptr
                ? static_cast<int>(legacy)
                : -1;
        params.exposesInterface = (in.Number() & 1) != 0;
        params.rootHubPorts = 1 + (in.Number() + 254) % 255;
        params.instanceId = in.Text();
        if (!FreeId(params.instanceId))
        {
            params.instanceId = Numbered(u"PCI\\VEN_8086&DEV_1C26\\3&1&0&");
        }
        params.rootHubInstanceId = Numbered(u"USB\\ROOT_HUB20\\4&");
        if (FreeId(params.instanceId) && FreeId(params.rootHubInstanceId))
        {
            machine_.AddHostController(params);
        }
    }

    void AddDevice(Line& in)
    {
        Hub* hub = Pick(machine_.Hubs(), in.Number());
        uint32_t port = in.Number();
        UsbDeviceParams params;
        params.vendorId = static_cast<USHORT>(in.Number());
        params.productId = static_cast<USHORT>(in.Number());
        params.connectionStatus = static_cast<USB_CONNECTION_STATUS>(in.Number() % 7);
        WString id = in.Text();
        if (hub == nullptr || machine_.UsbDevices().size() >= kMaxDevices)
        {
            return;
        }
        port = 1 + (port - 1) % static_cast<uint32_t>(hub->ports.size());
        if (hub->ports[port - 1].device != nullptr)
        {
            return;
        }
        WString prefix = u"USB\\VID_" + Hex4(params.vendorId) + u"&PID_" + Hex4(params.productId) + u"\\";
        if (!id.empty() && id[0] == u'=')
        {
            params.instanceId = id.substr(1);
        }
        else if (id.empty())
        {
            params.instanceId = prefix + Numbered(u"6&1a2b&0&");
        }
        else
        {
            params.serialNumber = id;
            params.instanceId = prefix + id;
        }
        if (params.connectionStatus != DeviceConnected || FreeId(params.instanceId))
        {
            machine_.AttachDevice(*hub, port, params);
        }
    }

    void MakeHub(Line& in)
    {
        UsbDevice* device = Pick(machine_.UsbDevices(), in.Number());
        ULONG ports = 1 + (in.Number() + 254) % 255;
        if (device != nullptr && device->devNode != nullptr && device->hub == nullptr &&
            machine_.Hubs().size() < kMaxHubs)
        {
            machine_.MakeHub(*device, ports);
        }
    }

    void AddDisk(Line& in)
    {
        DevNode* parent = Node(in.Number());
        WString letters = in.Text();
        WString id = Numbered(u"USBSTOR\\Disk&Ven_KAV&Prod_Stick&Rev_1.00\\") + u"&0";
        if (!FreeId(id))
        {
            return;
        }
        DevNode& disk = machine_.AddDevNode(*parent, id);
        disk.SetString(CM_DRP_DEVICEDESC, u"Disk drive");
        disk.SetString(CM_DRP_SERVICE, u"disk");
        machine_.SetDriverClass(disk, u"DiskDrive", kDiskDriveClassGuid);
        std::vector<WCHAR> free;
        for (char16_t letter : letters)
        {
            if (letter >= u'A' && letter <= u'Z' && machine_.VolumeByLetter(letter) == nullptr &&
                std::find(free.begin(), free.end(), letter) == free.end())
            {
                free.push_back(letter);
            }
        }
        if (!letters.empty())
        {
            machine_.AddVolume(&disk, free, 64ull << 20);
        }
    }

    void Tamper(Line& in)
    {
        char op = in.Op();
        switch (op)
        {
        case 'S':
        case 'M':
        case 'P':
        case 'U': {
            DevNode* node = Node(in.Number());
            ULONG property = Property(in.Number());
            if (op == 'S')
            {
                node->SetString(property, in.Text());
            }
            else if (op == 'M')
            {
                node->SetMultiString(property, SplitItems(in.Text()));
            }
            else if (op == 'P')
            {
                DWORD type = in.Number();
                node->SetRaw(property, type, in.Hex());
            }
            else
            {
                node->unreadableProperties.insert(property);
            }
            break;
        }
        case 'R': {
            DevNode* node = Node(in.Number());
            WString text = in.Text();
            if (!text.empty() && text[0] == u'#')
            {
                text = Node(static_cast<uint32_t>(std::strtoul(Narrow(text.substr(1)).c_str(), nullptr, 10)))
                           ->instanceId;
            }
            node->removalRelations.push_back(text);
            break;
        }
        case 'T': {
            DevNode* node = Node(in.Number());
            node->status = in.Number();
            node->problem = in.Number();
            bool present = (in.Number() & 1) != 0;
            if (node != &machine_.Root())
            {
                machine_.SetPresent(*node, present);
            }
            break;
        }
        case 'I': {
            DevNode* node = Node(in.Number());
            uint32_t index = in.Number();
            WString path = in.Text();
            if (!node->interfaces.empty())
            {
                node->interfaces[index % node->interfaces.size()].path = path;
            }
            break;
        }
        case 'K':
        case 'E':
        case 'N': {
            Hub* hub = Pick(machine_.Hubs(), in.Number());
            if (hub == nullptr)
            {
                break;
            }
            if (op == 'K')
            {
                hub->reportedPortCount = static_cast<UCHAR>(in.Number());
            }
            else if (op == 'E')
            {
                hub->answersConnectionInfoEx = (in.Number() & 1) != 0;
            }
            else
            {
                hub->name = in.Text();
            }
            break;
        }
        case 'Z':
        case 'G':
        case 'J': {
            UsbDevice* device = Pick(machine_.UsbDevices(), in.Number());
            if (device == nullptr)
            {
                break;
            }
            if (op == 'Z')
            {
                uint32_t pipes = in.Number() % 64;
                device->pipes.clear();
                for (uint32_t at = 0; at < pipes; ++at)
                {
                    UCHAR address = static_cast<UCHAR>((at % 15 + 1) | (at % 2 != 0 ? 0x80 : 0));
                    device->pipes.push_back(
                        USB_ENDPOINT_DESCRIPTOR{7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, 2, 512, 0});
                }
            }
            else if (op == 'G')
            {
                device->reportedDriverKey = in.Text();
            }
            else
            {
                device->reportedHubName = in.Text();
            }
            break;
        }
        case 'Q':
            if (HostController* controller = Pick(machine_.Controllers(), in.Number()))
            {
                controller->reportedDriverKey = in.Text();
            }
            break;
        case 'W':
        case 'Y':
            if (Volume* volume = Pick(machine_.Volumes(), in.Number()))
            {
                (op == 'W' ? volume->guidPath : volume->guidPathViaInterface.emplace()) = in.Text();
            }
            break;
        case 'F':
            if (IoTarget* target = Target(in.Number()))
            {
                DWORD code = kCodes[in.Number() % 7];
                target->ioFaults.push_back(IoFault{code, in.Number()});
            }
            break;
        case 'A':
            if (IoTarget* target = Target(in.Number()))
            {
                DWORD code = kCodes[in.Number() % 7];
                uint32_t flags = in.Number();
                Queued queued;
                queued.answer.succeeds = (flags & 1) == 0;
                queued.answer.bytes = in.Hex();
                queued.stays = (flags & 2) != 0;
                answers_[{target, code}].push_back(queued);
            }
            break;
        case 'B':
            machine_.failAllDevicesSet = true;
            break;
        case 'O': {
            const GUID* sets[] = {&kUsbHostControllerInterface, &kVolumeInterface, &kUsbHubInterface};
            machine_.failingInterfaceSets.push_back(*sets[in.Number() % 3]);
            break;
        }
        default:
            break;
        }
    }

    void Answer(IoTarget& target)
    {
        IoTarget* key = &target;
        target.answerOverride = [this, key](DWORD code, const std::vector<BYTE>&,
                                            DWORD) -> std::optional<IoAnswer> {
            if (++requests_ > kMaxIoRequests)
            {
                Breach("the walk does not end: too many requests to controllers and hubs");
            }
            auto found = answers_.find({key, code});
            if (found == answers_.end() || found->second.empty())
            {
                return std::nullopt;
            }
            Queued queued = found->second.front();
            if (!queued.stays || found->second.size() > 1)
            {
                found->second.pop_front();
            }
            return queued.answer;
        };
    }

    Machine& machine_;
    uint32_t serial_ = 0;
    unsigned requests_ = 0;
    std::map<std::pair<IoTarget*, DWORD>, std::deque<Queued>> answers_;
};

// What the applications do with the list: the filter state of every record and the reads behind it.
// ENUM_WALK_VERBOSE=1 prints the list, to see what an input builds when it is replayed.
void UseRecords(const Kavelor::CUSBEnumerateExList& list)
{
    bool verbose = std::getenv("ENUM_WALK_VERBOSE") != nullptr;
    for (const Kavelor::CUSBEnumerateExData& record : list)
    {
        int state = Kavelor::GetFilterState(record);
        // What m_bTargetOnly keeps, without a second walk.
        Kavelor::IsMassStorageDevice(record);
        for (const Kavelor::CUSBEnumerateExTree* node = &record.treeDevice; node != nullptr;
             node = node->NextPreOrder())
        {
            Kavelor::IsUpperFilterEnabled(node->data.dnDevInst);
            if (verbose)
            {
                std::fprintf(stderr, "  %s%s letter %c\n", node == &record.treeDevice ? "" : "  ",
                             Narrow(node->data.strDeviceInstanceId).c_str(),
                             node->data.chDriveLetter != 0 ? static_cast<char>(node->data.chDriveLetter)
                                                           : '-');
            }
        }
        if (verbose)
        {
            std::fprintf(stderr, "record %04x:%04x filter state %d\n", record.wVendorId, record.wProductId,
                         state);
        }
    }
}

void Walk(Machine& machine)
{
    {
        Kavelor::CVolumeEnumerateList volumes;
        Kavelor::CVolumeEnumerate enumerator(&volumes);
        enumerator.Enumerate();
    }
    {
        Kavelor::CUSBEnumerateExList list;
        Kavelor::CUSBEnumerateEx enumerator(&list);
        enumerator.Enumerate();
        UseRecords(list);
    }
    // Every node's identity as the list parses it.
    for (const auto& node : machine.DevNodes())
    {
        WORD vendor = 0;
        WORD product = 0;
        Kavelor::WString serial;
        Kavelor::WString location;
        Kavelor::ParseUsbInstanceId(node->handle, vendor, product, serial, location);
    }
    if (machine.OpenHandleCount() != 0)
    {
        Breach("a handle is still open after the walk");
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Machine machine;
    HostileMachine hostile(machine);
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= input.size())
    {
        size_t end = input.find('\n', start);
        if (end == std::string::npos)
        {
            end = input.size();
        }
        hostile.Run(input.substr(start, end - start));
        start = end + 1;
    }
    hostile.InstallAnswers();
    ScopedMachine scope(machine);
    Walk(machine);
    return 0;
}
