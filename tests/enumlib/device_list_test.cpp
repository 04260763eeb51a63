// The device list: records from hub ports and from device nodes, their trees with disks, volumes and
// drive letters, target selection and the supported-device table.
#include "tests/support/test_machines.h"

#include "enumlib/USBEnumerateEx.h"

#include <gtest/gtest.h>

namespace
{

using namespace kavtest;
using Kavelor::CUSBEnumerateEx;
using Kavelor::CUSBEnumerateExData;
using Kavelor::CUSBEnumerateExList;

CUSBEnumerateExList Enumerate(Machine& machine, bool targetOnly = false)
{
    CUSBEnumerateExList list;
    CUSBEnumerateEx enumerator(&list);
    enumerator.m_bTargetOnly = targetOnly;
    enumerator.Enumerate();
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
    return list;
}

TEST(DeviceList, StickOnAPortCarriesItsDiskAndVolumeWithTheDriveLetter)
{
    Machine machine;
    ScopedMachine scope(machine);
    machine.AddVolume(nullptr, {u'C'});
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, true);
    UsbDevice& stick = AddStick(machine, *controller.rootHub, 2, kVid, kPid, u"0123456789AB", {u'E'});
    DevNode& disk = *stick.luns[0]->disk;
    // A device-node child of the disk comes before the removal relation.
    machine.AddDevNode(disk, u"STORAGE\\PARTITION\\1");

    CUSBEnumerateExList list = Enumerate(machine);
    ASSERT_EQ(list.size(), 1u);
    const CUSBEnumerateExData& record = list.front();
    EXPECT_EQ(record.wVendorId, kVid);
    EXPECT_EQ(record.wProductId, kPid);
    EXPECT_TRUE(record.strSerialNumber.empty()); // only the device-node route reads it
    EXPECT_TRUE(record.strLocation.empty());
    EXPECT_EQ(TreeIds(record.treeDevice),
              (std::vector<std::string>{
                  "USB\\VID_3A7E&PID_1202\\0123456789AB",
                  "  " + Text(Kavelor::WString(disk.instanceId.begin(), disk.instanceId.end())),
                  "    STORAGE\\PARTITION\\1", "    " + Narrow(stick.luns[0]->volume->devNode->instanceId)}));
    const auto& root = record.treeDevice.data;
    EXPECT_EQ(Text(root.strEnumeratorName), "USB");
    EXPECT_EQ(Text(root.strDeviceDesc), "USB Mass Storage Device");
    EXPECT_EQ(Text(root.strClassGuid), Narrow(kUsbClassGuid));
    EXPECT_EQ(root.dnDevInst, stick.devNode->handle);
    EXPECT_EQ(root.ulStatus & DN_STARTED, static_cast<ULONG>(DN_STARTED));
    EXPECT_EQ(root.chDriveLetter, 0);
    const auto& diskNode = record.treeDevice.children[0];
    EXPECT_EQ(Text(diskNode.data.strEnumeratorName), "USBSTOR");
    EXPECT_EQ(diskNode.children[1].data.chDriveLetter, u'E');
    EXPECT_EQ(diskNode.children[0].data.chDriveLetter, 0);
    EXPECT_TRUE(Kavelor::IsMassStorageDevice(record));
}

TEST(DeviceList, PortsOnlyYieldConnectedDevices)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, false);
    UsbDeviceParams failed;
    failed.vendorId = kVid;
    failed.productId = kPid;
    failed.connectionStatus = DeviceFailedEnumeration;
    machine.AttachDevice(*controller.rootHub, 1, failed);
    AddKeyboard(machine, *controller.rootHub, 3);

    CUSBEnumerateExList list = Enumerate(machine);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().wVendorId, 0x046D);
}

TEST(DeviceList, TargetOnlyKeepsSupportedMassStorageDevices)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, false);
    AddKeyboard(machine, *controller.rootHub, 1);
    AddStick(machine, *controller.rootHub, 2, kVid, 0x1201, u"FIRST", {u'E'});
    AddStick(machine, *controller.rootHub, 3, 0x0951, 0x1666, u"OTHER", {u'F'});
    AddStick(machine, *controller.rootHub, 4, kVid, 0x1204, u"OUTSIDE");

    EXPECT_EQ(Enumerate(machine).size(), 4u);
    CUSBEnumerateExList targets = Enumerate(machine, true);
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets.front().wProductId, 0x1201);
}

TEST(DeviceList, SupportedDeviceTable)
{
    const Kavelor::SUPPORTED_DEVICE empty[] = {{0, 0, 0, 0}};
    const Kavelor::SUPPORTED_DEVICE ranges[] = {
        {0x1000, 0x1001, 0x0010, 0x0012}, {0x2000, 0x2000, 0x5, 0x5}, {0, 0, 0, 0}};
    Kavelor::CUSBEnumerateData record;
    auto supported = [&](WORD vid, WORD pid, const Kavelor::SUPPORTED_DEVICE* table) {
        record.wVendorId = vid;
        record.wProductId = pid;
        return Kavelor::IsSupportedDevice(record, table);
    };
    EXPECT_TRUE(supported(0xFFFF, 0xFFFF, empty));
    EXPECT_TRUE(supported(0, 0, empty));
    EXPECT_TRUE(supported(0x1001, 0x0010, ranges));
    EXPECT_TRUE(supported(0x1000, 0x0012, ranges));
    EXPECT_FALSE(supported(0x1000, 0x0013, ranges));
    EXPECT_FALSE(supported(0x1002, 0x0011, ranges));
    EXPECT_TRUE(supported(0x2000, 0x0005, ranges));
    EXPECT_FALSE(supported(0x0951, 0x1666, ranges));
    // The shipped table: one vendor, three consecutive products.
    EXPECT_TRUE(supported(kVid, 0x1201, Kavelor::g_supportedDevices));
    EXPECT_TRUE(supported(kVid, 0x1203, Kavelor::g_supportedDevices));
    EXPECT_FALSE(supported(kVid, 0x1204, Kavelor::g_supportedDevices));
}

TEST(DeviceList, MassStorageNeedsAUsbRootAndAUsbstorNodeBelowIt)
{
    CUSBEnumerateExData record;
    record.treeDevice.data.strEnumeratorName = TEXT("usb");
    EXPECT_FALSE(Kavelor::IsMassStorageDevice(record));
    Kavelor::CUSBEnumerateExTreeData node;
    record.treeDevice.AppendChild(node);
    node.strEnumeratorName = TEXT("UsbStor");
    record.treeDevice.children[0].AppendChild(node);
    EXPECT_TRUE(Kavelor::IsMassStorageDevice(record));
    record.treeDevice.data.strEnumeratorName = TEXT("USBSTOR");
    EXPECT_FALSE(Kavelor::IsMassStorageDevice(record));
}

TEST(DeviceList, DeviceNodeRouteParsesTheInstanceId)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddScanOnlyController(machine, u"PCI\\VEN_8086&DEV_7112\\3&1&0&10");
    controller.devNode->SetString(CM_DRP_SERVICE, u"uhcd");
    AddStick(machine, *controller.rootHub, 1, kVid, kPid, u"SERIAL42", {u'G'});
    AddStick(machine, *controller.rootHub, 2, kVid, 0x1201, u"");
    UsbDeviceParams odd;
    odd.instanceId = u"USB\\ROOT_DEVICE\\ODD";
    machine.AttachDevice(*controller.rootHub, 3, odd);

    CUSBEnumerateExList list = Enumerate(machine);
    ASSERT_EQ(list.size(), 3u);
    auto at = list.begin();
    EXPECT_EQ(at->wVendorId, kVid);
    EXPECT_EQ(at->wProductId, kPid);
    EXPECT_EQ(Text(at->strSerialNumber), "SERIAL42");
    EXPECT_EQ(Text(at->strLocation), "Port_#0001.Hub_#0001");
    EXPECT_EQ(at->treeDevice.children[0].children[0].data.chDriveLetter, u'G');
    ++at;
    EXPECT_EQ(at->wProductId, 0x1201); // a generated instance ID still names vendor and product
    EXPECT_TRUE(at->strSerialNumber.empty());
    EXPECT_EQ(Text(at->strLocation), "Port_#0002.Hub_#0001");
    ++at;
    EXPECT_EQ(at->wVendorId, 0);
    EXPECT_EQ(at->wProductId, 0);
    EXPECT_TRUE(at->strSerialNumber.empty());
    EXPECT_EQ(Text(at->treeDevice.data.strDeviceInstanceId), "USB\\ROOT_DEVICE\\ODD");
}

TEST(DeviceList, CardReaderWithTwoLunsAndAVolumeUnderTwoLetters)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, false);
    UsbDevice& reader = AddStick(machine, *controller.rootHub, 1, kVid, 0x1203, u"READER", {u'F'});
    LunParams second;
    second.letters = {u'H'};
    UsbLun& lun = machine.AddLun(reader, second);
    lun.volume->letters.push_back(u'K'); // mounted as H: and K:

    CUSBEnumerateExList list = Enumerate(machine);
    ASSERT_EQ(list.size(), 1u);
    const auto& root = list.front().treeDevice;
    ASSERT_EQ(root.children.size(), 2u);
    EXPECT_EQ(root.children[0].children[0].data.chDriveLetter, u'F');
    EXPECT_EQ(root.children[1].children[0].data.chDriveLetter, u'K'); // the later of the two letters
}

TEST(DeviceList, DeviceWhoseNodeIsNotFoundIsNeverATarget)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, false);
    machine.AddVolume(nullptr, {u'C'}).devNode->SetString(CM_DRP_DRIVER, u"unrelated");
    UsbDevice& stick = AddStick(machine, *controller.rootHub, 1, kVid, kPid, u"LOST");
    stick.reportedDriverKey = u"{36fc9e60-c465-11cf-8056-444553540000}\\9999";
    // The C: volume has no volume interface: its record must not lend its letter to a node without ID.
    machine.VolumeByLetter(u'C')->devNode->interfaces.clear();

    CUSBEnumerateExList list = Enumerate(machine);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().wVendorId, kVid);
    EXPECT_EQ(list.front().treeDevice.data.dnDevInst, 0u);
    EXPECT_TRUE(list.front().treeDevice.children.empty());
    EXPECT_TRUE(list.front().treeDevice.data.strEnumeratorName.empty());
    EXPECT_EQ(list.front().treeDevice.data.chDriveLetter, 0);
    EXPECT_TRUE(Enumerate(machine, true).empty());
}

TEST(DeviceList, RecordsFollowTheRoutesAndAreReplacedOnEachRun)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& scanOnly = AddScanOnlyController(machine, u"PCI\\VEN_8086&DEV_7112\\3&9&0&10");
    scanOnly.devNode->SetString(CM_DRP_SERVICE, u"uhcd");
    HostController& byInterface = AddController(machine, u"PCI\\VEN_1033&DEV_0035\\3&8&0&70", -1, true);
    HostController& second = AddController(machine, u"PCI\\VEN_8086&DEV_1C2D\\3&7&0&D0", 1, true);
    HostController& first = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&6&0&E8", 0, true);
    AddKeyboard(machine, *scanOnly.rootHub, 1);
    AddStick(machine, *byInterface.rootHub, 1, kVid, 0x0003, u"C");
    AddStick(machine, *second.rootHub, 1, kVid, 0x0002, u"B");
    AddStick(machine, *first.rootHub, 1, kVid, 0x0001, u"A");

    CUSBEnumerateExList list;
    CUSBEnumerateEx enumerator(&list);
    for (int run = 0; run < 2; ++run)
    {
        enumerator.Enumerate();
        std::vector<WORD> products;
        for (const CUSBEnumerateExData& record : list)
        {
            products.push_back(record.wProductId);
        }
        // HCD0, HCD1, the interface-only controller, then the scan-only one (read from its instance ID).
        EXPECT_EQ(products, (std::vector<WORD>{0x0001, 0x0002, 0x0003, 0xC31C}));
    }
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
}
} // namespace
