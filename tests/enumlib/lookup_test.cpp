// The lookups the device list is built from: a device node by its driver key anywhere in the tree, and
// the two-call name reads of CUSBIoControl with the handle rule they follow.
#include "tests/support/test_machines.h"

#include "enumlib/DevNodeProperty.h"
#include "enumlib/USBEnumerateEx.h"
#include "enumlib/USBIoControl.h"

#include <gtest/gtest.h>

namespace
{

using namespace kavtest;

TEST(Lookup, DriverKeyIsFoundAnywhereInTheTreeIgnoringCase)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& first = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, false);
    HostController& second = AddController(machine, u"PCI\\VEN_8086&DEV_1C2D\\3&2&0&D0", 1, false);
    Hub& hub = machine.MakeHub(machine.AttachDevice(*first.rootHub, 4, UsbDeviceParams()), 2);
    UsbDevice& deep = AddStick(machine, hub, 2, kVid, kPid, u"DEEP");
    UsbDevice& last = AddStick(machine, *second.rootHub, 1, kVid, kPid, u"LAST");
    machine.AddVolume(nullptr, {u'C'}); // a node after everything else, below the volume manager

    EXPECT_EQ(Kavelor::FindDevNodeByDriverKey(
                  Kavelor::WString(TEXT("{36FC9E60-C465-11CF-8056-444553540000}\\0000"))),
              first.devNode->handle);
    for (UsbDevice* device : {&deep, &last})
    {
        WString key = Upper(device->devNode->DriverKey());
        EXPECT_EQ(Kavelor::FindDevNodeByDriverKey(Kavelor::WString(key.begin(), key.end())),
                  device->devNode->handle);
        WString diskKey = device->luns[0]->disk->DriverKey();
        EXPECT_EQ(Kavelor::FindDevNodeByDriverKey(Kavelor::WString(diskKey.begin(), diskKey.end())),
                  device->luns[0]->disk->handle);
    }
    EXPECT_EQ(Kavelor::FindDevNodeByDriverKey(TEXT("{36fc9e60-c465-11cf-8056-444553540000}\\0099")), 0u);
    EXPECT_EQ(Kavelor::FindDevNodeByDriverKey(Kavelor::WString()), 0u);

    // A phantom is not in the tree.
    WString key = last.devNode->DriverKey();
    machine.Unplug(last);
    EXPECT_EQ(Kavelor::FindDevNodeByDriverKey(Kavelor::WString(key.begin(), key.end())), 0u);
}

TEST(Lookup, NameReadsNeedALengthBeyondTheHeader)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, false);
    Kavelor::CUSBIoControl io;
    EXPECT_FALSE(io.Open(TEXT("\\\\.\\HCD7")));
    EXPECT_FALSE(io.IsOpen());
    ASSERT_TRUE(io.Open(TEXT("\\\\.\\HCD0")));
    EXPECT_EQ(machine.OpenHandleCount(), 1u);

    Kavelor::WString name = TEXT("stale");
    controller.reportedDriverKey = u"";
    EXPECT_FALSE(io.GetHcdDriverKeyName(name)); // ActualLength 6: nothing beyond the header
    EXPECT_TRUE(name.empty());
    controller.reportedDriverKey = u"K";
    EXPECT_TRUE(io.GetHcdDriverKeyName(name));
    EXPECT_EQ(Text(name), "K");
    EXPECT_TRUE(io.GetRootHubName(name));
    EXPECT_EQ(Text(name), Narrow(controller.rootHub->name));

    // The port requests of a controller handle are not answered; the name stays empty.
    EXPECT_FALSE(io.GetNodeConnectionName(1, name));
    EXPECT_TRUE(name.empty());
    Kavelor::USB_CONNECTION_INFO_BUFFER info;
    EXPECT_FALSE(io.GetNodeConnectionInfo(1, info));

    io.Close();
    EXPECT_FALSE(io.IsOpen());
    io.Close(); // closing again does not reach CloseHandle
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
    EXPECT_FALSE(io.GetRootHubName(name));
}

TEST(Lookup, EnumeratorReusedAcrossRunsFollowsLetterChanges)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, false);
    UsbDevice& stick = AddStick(machine, *controller.rootHub, 1, kVid, kPid, u"S", {u'E'});
    Kavelor::CUSBEnumerateExList list;
    Kavelor::CUSBEnumerateEx enumerator(&list);

    enumerator.Enumerate();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().treeDevice.children[0].children[0].data.chDriveLetter, u'E');

    stick.luns[0]->volume->letters = {u'R'};
    enumerator.Enumerate();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().treeDevice.children[0].children[0].data.chDriveLetter, u'R');

    stick.luns[0]->volume->letters.clear();
    enumerator.Enumerate();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().treeDevice.children[0].children[0].data.chDriveLetter, 0);
}
} // namespace
