// Bad input from the machine: overlong, unterminated and empty property values, empty or broken
// multi-strings, instance IDs without the USB form, hubs that report 255 ports, name themselves, are named
// behind two ports or answer a connection status that names none, I/O controls that fail at the second
// call, removal relations that form a cycle or name each other. The walk shortens; it never crashes or
// loops and leaks no handle.
#include "tests/support/test_machines.h"

#include "enumlib/DevNodeProperty.h"
#include "enumlib/FilterState.h"
#include "enumlib/USBEnumerateEx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <optional>

namespace
{

using namespace kavtest;
using Kavelor::CUSBEnumerateEx;
using Kavelor::CUSBEnumerateExList;

CUSBEnumerateExList Enumerate(Machine& machine)
{
    CUSBEnumerateExList list;
    CUSBEnumerateEx enumerator(&list);
    enumerator.Enumerate();
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
    return list;
}

std::vector<BYTE> Utf16Bytes(const WString& text)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(bytes, bytes + text.size() * 2);
}

std::vector<std::string> StringList(DEVINST node, ULONG property, bool* ok)
{
    std::list<Kavelor::WString> values;
    *ok = Kavelor::GetDevNodeStringList(node, property, values);
    std::vector<std::string> texts;
    for (const Kavelor::WString& value : values)
    {
        texts.push_back(Text(value));
    }
    return texts;
}

class BadInputTest : public ::testing::Test
{
protected:
    BadInputTest() : scope_(machine_)
    {
        controller_ = &AddController(machine_, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, true);
        stick_ = &AddStick(machine_, *controller_->rootHub, 1, kVid, kPid, u"STICK", {u'E'});
        AddKeyboard(machine_, *controller_->rootHub, 2);
    }

    Machine machine_;
    ScopedMachine scope_;
    HostController* controller_ = nullptr;
    UsbDevice* stick_ = nullptr;
};

TEST_F(BadInputTest, OverlongAndUnterminatedStringsStayInTheirBuffer)
{
    DevNode& node = *stick_->devNode;
    node.SetString(CM_DRP_FRIENDLYNAME, WString(200, u'N')); // 402 bytes: does not fit 400
    node.SetMultiString(CM_DRP_LOWERFILTERS, {u"Kavfiltr"});
    node.SetRaw(CM_DRP_DEVICEDESC, REG_SZ, Utf16Bytes(WString(200, u'D'))); // exactly 400, no terminator

    CUSBEnumerateExList list = Enumerate(machine_);
    ASSERT_EQ(list.size(), 2u);
    const auto& root = list.front().treeDevice.data;
    EXPECT_TRUE(root.strFriendlyName.empty());
    EXPECT_EQ(root.strDeviceDesc.size(), 200u);
    EXPECT_EQ(Text(root.strEnumeratorName), "USB");
    // Without a readable friendly name the device does not count as enabled.
    EXPECT_EQ(Kavelor::GetFilterState(list.front()), Kavelor::FILTER_STATE_DEVICE_OFF);
}

TEST_F(BadInputTest, StringPropertiesFitUpTo199Characters)
{
    DevNode& node = *stick_->devNode;
    Kavelor::WString text;
    node.SetString(CM_DRP_LOCATION_INFORMATION, WString(199, u'L'));
    EXPECT_TRUE(Kavelor::GetDevNodeString(CM_DRP_LOCATION_INFORMATION, node.handle, text));
    EXPECT_EQ(text.size(), 199u);
    node.SetString(CM_DRP_LOCATION_INFORMATION, WString(200, u'L'));
    EXPECT_FALSE(Kavelor::GetDevNodeString(CM_DRP_LOCATION_INFORMATION, node.handle, text));
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(Kavelor::GetDevNodeString(CM_DRP_LOCATION_INFORMATION, 0, text));
}

TEST_F(BadInputTest, EmptyAndBrokenMultiStrings)
{
    DevNode& node = *stick_->devNode;
    bool ok = false;
    node.SetRaw(CM_DRP_LOWERFILTERS, REG_MULTI_SZ, {0, 0});
    EXPECT_TRUE(StringList(node.handle, CM_DRP_LOWERFILTERS, &ok).empty());
    EXPECT_TRUE(ok);
    node.SetRaw(CM_DRP_LOWERFILTERS, REG_MULTI_SZ, {});
    EXPECT_TRUE(StringList(node.handle, CM_DRP_LOWERFILTERS, &ok).empty());
    EXPECT_TRUE(ok);
    node.SetMultiString(CM_DRP_LOWERFILTERS, {});
    EXPECT_TRUE(StringList(node.handle, CM_DRP_LOWERFILTERS, &ok).empty());
    EXPECT_TRUE(ok);
    // Reading stops at the first empty string.
    node.SetMultiString(CM_DRP_LOWERFILTERS, {u"First", u"", u"Kavfiltr"});
    EXPECT_EQ(StringList(node.handle, CM_DRP_LOWERFILTERS, &ok), (std::vector<std::string>{"First"}));
    // No closing terminators and an odd byte count: the last string ends with the value.
    std::vector<BYTE> unterminated = Utf16Bytes(WString(u"Ab\0Kavfiltr", 11));
    unterminated.push_back(0);
    node.SetRaw(CM_DRP_LOWERFILTERS, REG_MULTI_SZ, unterminated);
    EXPECT_EQ(StringList(node.handle, CM_DRP_LOWERFILTERS, &ok),
              (std::vector<std::string>{"Ab", "Kavfiltr"}));
    EXPECT_TRUE(ok);
    node.unreadableProperties.insert(CM_DRP_LOWERFILTERS);
    EXPECT_TRUE(StringList(node.handle, CM_DRP_LOWERFILTERS, &ok).empty());
    EXPECT_FALSE(ok);
    std::list<Kavelor::WString> stale{TEXT("stale")};
    EXPECT_FALSE(Kavelor::GetDevNodeStringList(0, CM_DRP_LOWERFILTERS, stale));
    EXPECT_TRUE(stale.empty());
}

TEST_F(BadInputTest, InstanceIdsWithoutTheUsbForm)
{
    struct Case
    {
        const char16_t* id;
        WORD vid;
        WORD pid;
        const char* serial;
    } cases[] = {
        {u"USB\\VID_0x1a2b&PID_12345\\SER", 0x1A2B, 0x2345, "SER"}, // 0x prefix, low 16 bits only
        {u"USB\\VID_12&PID_34\\A B", 0x12, 0x34, "A"},              // the serial ends at a blank
        {u"USB\\VID_&PID_34\\X", 0, 0, ""},
        {u"USB\\VID_12&PID_34", 0, 0, ""},
        {u"usb\\vid_12&pid_34\\X", 0, 0, ""},
        {u"HID\\VID_12&PID_34\\X", 0, 0, ""},
        {u"USB\\VID_12&PID_34&MI_00\\6&1&0&0000", 0, 0, ""},
        {u"USB\\VID_12&PID_34\\6&1&0&2", 0x12, 0x34, ""},
    };
    for (const Case& c : cases)
    {
        DevNode& node = machine_.AddDevNode(machine_.Root(), c.id);
        WORD vid = 0;
        WORD pid = 0;
        Kavelor::WString serial;
        Kavelor::WString location;
        EXPECT_TRUE(Kavelor::ParseUsbInstanceId(node.handle, vid, pid, serial, location));
        EXPECT_EQ(vid, c.vid) << Narrow(c.id);
        EXPECT_EQ(pid, c.pid) << Narrow(c.id);
        EXPECT_EQ(Text(serial), c.serial) << Narrow(c.id);
    }
    WORD vid = 0;
    WORD pid = 0;
    Kavelor::WString serial;
    Kavelor::WString location;
    EXPECT_FALSE(Kavelor::ParseUsbInstanceId(0, vid, pid, serial, location));
}

TEST_F(BadInputTest, HubReportingTwoHundredFiftyFivePorts)
{
    controller_->rootHub->reportedPortCount = 255;
    EXPECT_EQ(Enumerate(machine_).size(), 2u);
    EXPECT_EQ(controller_->rootHub->ioCalls[IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX], 255u);
}

TEST_F(BadInputTest, HubNamingItselfOrItsParentIsNotWalkedAgain)
{
    UsbDeviceParams params;
    params.vendorId = 0x05E3;
    params.productId = 0x0608;
    UsbDevice& hubDevice = machine_.AttachDevice(*controller_->rootHub, 3, params);
    Hub& hub = machine_.MakeHub(hubDevice, 2);
    AddStick(machine_, hub, 1, kVid, 0x1201, u"BEHIND");
    UsbDeviceParams loopParams = params;
    loopParams.serialNumber = u"LOOP";
    UsbDevice& loop = machine_.AttachDevice(hub, 2, loopParams);
    machine_.MakeHub(loop, 2);
    loop.reportedHubName = controller_->rootHub->name;

    EXPECT_EQ(Enumerate(machine_).size(), 3u);
    hubDevice.reportedHubName = controller_->rootHub->name;
    EXPECT_EQ(Enumerate(machine_).size(), 2u);
}

// Every hub has one upstream port: a hub that a second port names again is walked once, so its devices
// are listed once and hubs that name each other behind many ports cannot multiply the walk.
TEST_F(BadInputTest, HubNamedBehindTwoPortsIsWalkedOnce)
{
    UsbDeviceParams params;
    params.vendorId = 0x05E3;
    params.productId = 0x0608;
    UsbDevice& hubDevice = machine_.AttachDevice(*controller_->rootHub, 3, params);
    Hub& hub = machine_.MakeHub(hubDevice, 2);
    AddStick(machine_, hub, 1, kVid, 0x1201, u"BEHIND");
    params.serialNumber = u"TWIN";
    UsbDevice& twin = machine_.AttachDevice(*controller_->rootHub, 4, params);
    machine_.MakeHub(twin, 2);
    twin.reportedHubName = hub.name;

    CUSBEnumerateExList list = Enumerate(machine_);
    std::vector<WORD> products;
    for (const auto& record : list)
    {
        products.push_back(record.wProductId);
    }
    EXPECT_EQ(products, (std::vector<WORD>{kPid, 0xC31C, 0x1201}));
    EXPECT_EQ(hub.ioCalls[IOCTL_USB_GET_NODE_INFORMATION], 1u);
}

TEST_F(BadInputTest, IoControlsFailingAtTheSecondCall)
{
    // The root hub name: the size query succeeds, the name read fails. The controller is registered and
    // so not walked again by a later route; its devices are missing.
    controller_->ioFaults.push_back(IoFault{IOCTL_USB_GET_ROOT_HUB_NAME, 2});
    EXPECT_TRUE(Enumerate(machine_).empty());

    controller_->ioFaults.clear();
    controller_->ioCalls.clear();
    // The stick's driver key: it is dropped, the keyboard stays.
    controller_->rootHub->ioFaults.push_back(IoFault{IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 2});
    CUSBEnumerateExList list = Enumerate(machine_);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().wVendorId, 0x046D);

    // The HCD driver key: route 1 fails, route 2 finds the controller.
    controller_->rootHub->ioFaults.clear();
    controller_->ioFaults.push_back(IoFault{IOCTL_GET_HCD_DRIVERKEY_NAME, 2});
    EXPECT_EQ(Enumerate(machine_).size(), 2u);
}

TEST_F(BadInputTest, RemovalRelationsThatFormACycle)
{
    DevNode& disk = *stick_->luns[0]->disk;
    DevNode& volume = *stick_->luns[0]->volume->devNode;
    volume.removalRelations.push_back(disk.instanceId);
    volume.removalRelations.push_back(stick_->devNode->instanceId);
    disk.removalRelations.push_back(disk.instanceId);
    disk.removalRelations.push_back(u"STORAGE\\Volume\\GONE");

    CUSBEnumerateExList list = Enumerate(machine_);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(TreeIds(list.front().treeDevice).size(), 3u); // device, disk, volume
}

TEST_F(BadInputTest, EmptyPropertyValuesReadAsEmptyText)
{
    DevNode& node = *stick_->devNode;
    node.SetRaw(CM_DRP_FRIENDLYNAME, REG_SZ, {});
    node.SetRaw(CM_DRP_LOCATION_INFORMATION, REG_BINARY, {});
    Kavelor::WString text = TEXT("stale");
    EXPECT_TRUE(Kavelor::GetDevNodeString(CM_DRP_FRIENDLYNAME, node.handle, text));
    EXPECT_TRUE(text.empty());

    CUSBEnumerateExList list = Enumerate(machine_);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(list.front().treeDevice.data.strFriendlyName.empty());
    EXPECT_TRUE(list.front().strLocation.empty());
}

// The hub driver writes the connection status; a number that names no status is no connected device,
// whatever its low bits say.
TEST_F(BadInputTest, ConnectionStatusThatNamesNoStatusListsNoDevice)
{
    const ULONG statuses[] = {0x02000201, 0x101, 0xFFFFFFFF};
    for (ULONG status : statuses)
    {
        controller_->rootHub->answerOverride = [status](DWORD code, const std::vector<BYTE>& in,
                                                        DWORD) -> std::optional<IoAnswer> {
            ULONG port = 0;
            std::memcpy(&port, in.data(), sizeof port);
            if (code != IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX || port != 1)
            {
                return std::nullopt;
            }
            USB_NODE_CONNECTION_INFORMATION_EX info;
            std::memset(&info, 0, sizeof info);
            info.ConnectionIndex = port;
            info.DeviceDescriptor.idVendor = kVid;
            info.DeviceDescriptor.idProduct = kPid;
            IoAnswer answer;
            answer.bytes.resize(offsetof(USB_NODE_CONNECTION_INFORMATION_EX, PipeList));
            std::memcpy(answer.bytes.data(), &info, answer.bytes.size());
            std::memcpy(answer.bytes.data() + offsetof(USB_NODE_CONNECTION_INFORMATION_EX, ConnectionStatus),
                        &status, sizeof status);
            return answer;
        };
        CUSBEnumerateExList list = Enumerate(machine_);
        ASSERT_EQ(list.size(), 1u) << std::hex << status;
        EXPECT_EQ(list.front().wVendorId, 0x046D);
    }
}

// Removal relations that name each other (volumes that say they depend on one another) are each followed
// once: the tree stays small and still shows every volume, and a volume that spans two disks stays below
// both.
TEST_F(BadInputTest, RemovalRelationsThatNameEachOtherAreFollowedOnce)
{
    UsbDevice& multi = AddStick(machine_, *controller_->rootHub, 3, kVid, 0x1201, u"MULTI", {u'F'});
    LunParams lun;
    for (WCHAR letter : {u'G', u'H', u'I', u'J'})
    {
        lun.letters = {letter};
        machine_.AddLun(multi, lun);
    }
    std::vector<DevNode*> volumes;
    for (const auto& unit : multi.luns)
    {
        volumes.push_back(unit->volume->devNode);
    }
    for (DevNode* volume : volumes)
    {
        for (DevNode* other : volumes)
        {
            if (other != volume)
            {
                volume->removalRelations.push_back(other->instanceId);
            }
        }
    }
    // The first disk's volume also spans the second disk.
    multi.luns[1]->disk->removalRelations.push_back(volumes[0]->instanceId);

    CUSBEnumerateExList list = Enumerate(machine_);
    ASSERT_EQ(list.size(), 3u);
    const Kavelor::CUSBEnumerateExTree& device = std::next(list.begin(), 2)->treeDevice;
    std::vector<std::string> ids = TreeIds(device);
    // The device, five disks, five volumes followed once, and each volume's other four shown again.
    EXPECT_LE(ids.size(), 1u + 5u + 5u + 5u * 4u + 1u);
    for (DevNode* volume : volumes)
    {
        EXPECT_NE(std::find(ids.begin(), ids.end(), "    " + Narrow(volume->instanceId)), ids.end());
    }
    ASSERT_GE(device.children.size(), 2u);
    const Kavelor::CUSBEnumerateExTree& secondDisk = device.children[1];
    bool spanned = false;
    for (const auto& child : secondDisk.children)
    {
        spanned = spanned || child.data.dnDevInst == volumes[0]->handle;
    }
    EXPECT_TRUE(spanned);
}

TEST_F(BadInputTest, SetsThatCannotBeOpened)
{
    machine_.failAllDevicesSet = true;
    machine_.failingInterfaceSets.push_back(kUsbHostControllerInterface);
    machine_.failingInterfaceSets.push_back(kVolumeInterface);
    CUSBEnumerateExList list = Enumerate(machine_);
    ASSERT_EQ(list.size(), 2u); // route 1 still finds HCD0
    EXPECT_EQ(list.front().treeDevice.children[0].children[0].data.chDriveLetter, 0);
}
} // namespace
