// The host-controller and hub walk: each controller walked once whatever routes and spellings reach it,
// hubs walked port by port and in depth, the connection-information fallback, and the device-node route
// for controllers that only the scan finds.
#include "tests/support/test_machines.h"

#include "enumlib/DevNodeProperty.h"
#include "enumlib/USBEnumerateBase.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace
{

using namespace kavtest;

// Records the hooks the walk calls, in order.
class CRecorder : public Kavelor::CUSBEnumerateBase
{
public:
    std::vector<std::string> events;
    size_t ControllerCount() const { return m_controllers.size(); }

protected:
    void OnPortDevice(Kavelor::CUSBIoControl&, ULONG port,
                      const USB_NODE_CONNECTION_INFORMATION_EX& info) override
    {
        if (info.ConnectionStatus == NoDeviceConnected)
        {
            return;
        }
        char text[64];
        std::snprintf(text, sizeof text, "port %u vid %04x speed %u", port, info.DeviceDescriptor.idVendor,
                      info.Speed);
        events.push_back(text);
    }
    void OnDevNodeDevice(DEVINST node) override
    {
        Kavelor::WString id;
        Kavelor::GetDeviceInstanceId(node, id);
        events.push_back("node " + Text(id));
    }
};

UsbDevice& AddPlain(Machine& machine, Hub& hub, ULONG port, USHORT vid, bool lowSpeed = false)
{
    UsbDeviceParams params;
    params.vendorId = vid;
    params.productId = 1;
    params.serialNumber = u"S" + Widen(std::to_string(vid));
    params.lowSpeed = lowSpeed;
    params.speed = lowSpeed ? 0 : 2;
    return machine.AttachDevice(hub, port, params);
}

std::vector<std::string> Walk(Machine& machine, size_t* controllers = nullptr)
{
    CRecorder recorder;
    recorder.Enumerate();
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
    if (controllers != nullptr)
    {
        *controllers = recorder.ControllerCount();
    }
    return recorder.events;
}

TEST(Walk, ControllerReachedByEveryRouteIsWalkedOnce)
{
    Machine machine;
    ScopedMachine scope(machine);
    // Reachable as \\.\HCD0, through its interface, and by the scan (its description names a USB host).
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&11583659&0&E8", 0, true);
    controller.devNode->SetString(CM_DRP_DEVICEDESC, u"Intel(R) USB Enhanced Host Controller");
    AddPlain(machine, *controller.rootHub, 2, 0x1111);

    size_t controllers = 0;
    EXPECT_EQ(Walk(machine, &controllers), (std::vector<std::string>{"port 2 vid 1111 speed 2"}));
    EXPECT_EQ(controllers, 1u);
    EXPECT_EQ(controller.ioCalls[IOCTL_USB_GET_ROOT_HUB_NAME], 2u); // size query and name: one walk
}

TEST(Walk, DriverKeyInAnotherCaseIsTheSameController)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_1033&DEV_0035\\3&1&0&70", 3, true);
    controller.devNode->SetString(CM_DRP_DEVICEDESC, u"USB Host Controller");
    WString key = controller.devNode->DriverKey();
    controller.devNode->SetString(CM_DRP_DRIVER, Upper(key));
    controller.reportedDriverKey = key; // the handle reports it in lower case
    AddPlain(machine, *controller.rootHub, 1, 0x2222);

    EXPECT_EQ(Walk(machine).size(), 1u);
}

TEST(Walk, ControllerWhoseHandleHidesItsKeyIsWalkedThroughTheDeviceNodes)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C2D\\3&2&0&D0", 0, true);
    controller.devNode->SetString(CM_DRP_DEVICEDESC, u"USB ホスト コントローラー");
    controller.ioFaults.push_back(IoFault{IOCTL_GET_HCD_DRIVERKEY_NAME, 0});
    AddStick(machine, *controller.rootHub, 1, kVid, kPid, u"STICK1", {u'E'});
    UsbDevice& hubDevice = AddPlain(machine, *controller.rootHub, 3, 0x05E3);
    Hub& hub = machine.MakeHub(hubDevice, 4);
    AddPlain(machine, hub, 2, 0x3333);

    // Device nodes below hub nodes only: the stick's disk and the hub itself are not devices here.
    EXPECT_EQ(Walk(machine), (std::vector<std::string>{"node USB\\VID_3A7E&PID_1202\\STICK1",
                                                       "node USB\\VID_3333&PID_0001\\S13107"}));
}

// A driver key that cannot be read is an empty string: the controller is walked, not dropped with every
// device behind it.
TEST(Walk, ScanOnlyControllerWithAnUnreadableDriverKeyIsStillWalked)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddScanOnlyController(machine, u"PCI\\VEN_8086&DEV_7112\\3&5&0&10");
    controller.devNode->SetString(CM_DRP_SERVICE, u"UHCD");
    controller.devNode->unreadableProperties.insert(CM_DRP_DRIVER);
    AddPlain(machine, *controller.rootHub, 2, 0x5555);

    size_t controllers = 0;
    EXPECT_EQ(Walk(machine, &controllers), (std::vector<std::string>{"node USB\\VID_5555&PID_0001\\S21845"}));
    EXPECT_EQ(controllers, 1u);
}

TEST(Walk, ScanOnlyClassifiesNodesWithChildren)
{
    Machine machine;
    ScopedMachine scope(machine);
    // A childless node described as a host controller is never taken for one.
    DevNode& lonely = machine.AddDevNode(machine.PciBus(), u"PCI\\VEN_FFFF&DEV_0001\\1");
    lonely.SetString(CM_DRP_SERVICE, u"UHCD");
    machine.SetDriverClass(lonely, u"USB", kUsbClassGuid);
    HostController& controller = AddScanOnlyController(machine, u"PCI\\VEN_8086&DEV_7112\\3&3&0&10");
    controller.devNode->SetString(CM_DRP_SERVICE, u"uhcd");
    AddPlain(machine, *controller.rootHub, 1, 0x4444);

    size_t controllers = 0;
    EXPECT_EQ(Walk(machine, &controllers), (std::vector<std::string>{"node USB\\VID_4444&PID_0001\\S17476"}));
    EXPECT_EQ(controllers, 1u);
}

TEST(Walk, HubsAreWalkedPortByPortAndInDepth)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&4&0&E8", 0, false);
    AddPlain(machine, *controller.rootHub, 1, 0x0001);
    Hub& outer = machine.MakeHub(AddPlain(machine, *controller.rootHub, 2, 0x0E00), 4);
    Hub& inner = machine.MakeHub(AddPlain(machine, outer, 1, 0x0E01), 2);
    AddPlain(machine, inner, 2, 0x0002);
    AddPlain(machine, outer, 4, 0x0003);
    AddPlain(machine, *controller.rootHub, 4, 0x0004);

    EXPECT_EQ(Walk(machine),
              (std::vector<std::string>{"port 1 vid 0001 speed 2", "port 2 vid 0002 speed 2",
                                        "port 4 vid 0003 speed 2", "port 4 vid 0004 speed 2"}));
    EXPECT_EQ(controller.rootHub->ioCalls[IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX], 4u);
    EXPECT_EQ(outer.ioCalls[IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX], 4u);
    EXPECT_EQ(inner.ioCalls[IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX], 2u);
}

TEST(Walk, HubWithoutNodeInformationWalksNoPorts)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&5&0&E8", 0, false);
    AddPlain(machine, *controller.rootHub, 1, 0x0001);
    controller.rootHub->ioFaults.push_back(IoFault{IOCTL_USB_GET_NODE_INFORMATION, 0});

    EXPECT_TRUE(Walk(machine).empty());
    EXPECT_EQ(controller.rootHub->ioCalls[IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX], 0u);
}

TEST(Walk, LegacyConnectionInformationGivesFullOrLowSpeed)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_7112\\3&6&0&10", 1, false);
    controller.rootHub->answersConnectionInfoEx = false;
    AddPlain(machine, *controller.rootHub, 1, 0x00AA, true);
    AddPlain(machine, *controller.rootHub, 2, 0x00BB, false);

    EXPECT_EQ(Walk(machine),
              (std::vector<std::string>{"port 1 vid 00aa speed 0", "port 2 vid 00bb speed 1"}));
}

TEST(Walk, PortWithoutConnectionInformationIsSkipped)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&7&0&E8", 0, false);
    for (ULONG port = 1; port <= 3; ++port)
    {
        AddPlain(machine, *controller.rootHub, port, static_cast<USHORT>(port));
    }
    // Port 2: the extended request fails, and so does the legacy one.
    controller.rootHub->ioFaults.push_back(IoFault{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX, 2});
    controller.rootHub->ioFaults.push_back(IoFault{IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 1});

    EXPECT_EQ(Walk(machine),
              (std::vector<std::string>{"port 1 vid 0001 speed 2", "port 3 vid 0003 speed 2"}));
}

TEST(Walk, ClassificationPredicates)
{
    using Kavelor::WString;
    EXPECT_TRUE(Kavelor::IsHostControllerService(TEXT("uhcd")));
    EXPECT_FALSE(Kavelor::IsHostControllerService(TEXT("usbehci")));
    EXPECT_TRUE(Kavelor::IsHostControllerDesc(TEXT("Standard Enhanced PCI to USB Host Controller")));
    EXPECT_TRUE(Kavelor::IsHostControllerDesc(TEXT("標準 USB ホスト コントローラー")));
    EXPECT_FALSE(Kavelor::IsHostControllerDesc(TEXT("PCI host bridge")));
    EXPECT_FALSE(Kavelor::IsHostControllerDesc(TEXT("USB Mass Storage Device")));
    EXPECT_TRUE(Kavelor::IsHubDevNode(TEXT("usbhub"), WString()));
    EXPECT_TRUE(Kavelor::IsHubDevNode(TEXT("usbhub3"), TEXT("USB Root Hub (USB 3.0)")));
    EXPECT_TRUE(Kavelor::IsHubDevNode(WString(), TEXT("USB ルート ハブ")));
    EXPECT_TRUE(Kavelor::IsHubDevNode(WString(), TEXT("汎用 USB ハブ")));
    EXPECT_FALSE(Kavelor::IsHubDevNode(TEXT("USBSTOR"), TEXT("USB Mass Storage Device")));
}
} // namespace
