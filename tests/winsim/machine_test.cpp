// The simulated PC itself: the misuse it must refuse loudly, handle accounting, the class installer's
// restart hook, and the machine description format with the example machines of kavlab.
#include "winsim/machine/machine_json.h"
#include "tests/support/test_machines.h"

#include "enumlib/FilterState.h"
#include "enumlib/USBEnumerateEx.h"
#include <setupapi.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace
{

using namespace kavtest;

TEST(MachineDeathTest, MisuseFailsLoudly)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, false);
            HANDLE handle = CreateFileW(u"\\\\.\\HCD0", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
            CloseHandle(handle);
            CloseHandle(handle);
        },
        "closed but not open");
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, false);
            CreateFileW(u"\\\\.\\HCD0", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        },
        "still open");
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
            SP_DEVINFO_DATA data = {};
            data.cbSize = 28; // the 32-bit size in a 64-bit process
            SetupDiEnumDeviceInfo(set, 0, &data);
        },
        "cbSize 28");
    EXPECT_DEATH(
        {
            Machine machine;
            ScopedMachine scope(machine);
            ULONG length = 10;
            CM_Get_DevNode_Registry_PropertyW(machine.Root().handle, CM_DRP_DEVICEDESC, nullptr, nullptr,
                                              &length, 0);
        },
        "without a buffer");
    EXPECT_DEATH(
        {
            Machine machine;
            machine.AddDevNode(machine.Root(), u"ROOT\\VOLMGR\\0000");
        },
        "exists twice");
}

TEST(Machine, HubAnswersNameRequestsWithTheFullLength)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, false);
    HANDLE handle =
        CreateFileW(u"\\\\.\\hcd0", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    USB_ROOT_HUB_NAME header = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(handle, IOCTL_USB_GET_ROOT_HUB_NAME, nullptr, 0, &header, sizeof header,
                                &returned, nullptr));
    ULONG actualLength = header.ActualLength; // packed: read by value
    EXPECT_EQ(actualLength, 4 + (controller.rootHub->name.size() + 1) * 2);
    EXPECT_EQ(returned, sizeof header);
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_EQ(
        CreateFileW(u"\\\\.\\HCD1", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
    EXPECT_EQ(machine.HandlesOpenedTotal(), 1u);
}

TEST(Machine, PropertyChangeRestartsThroughTheHook)
{
    Machine machine;
    ScopedMachine scope(machine);
    HostController& controller = AddController(machine, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, false);
    UsbDevice& stick = AddStick(machine, *controller.rootHub, 1, kVid, kPid, u"S");
    bool refuse = false;
    machine.onRestart = [&](DevNode& node) { return node.handle == stick.devNode->handle && !refuse; };

    for (DWORD expectedFlags : {0u, static_cast<DWORD>(DI_NEEDRESTART)})
    {
        refuse = expectedFlags != 0;
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        SP_DEVINFO_DATA data = {};
        data.cbSize = sizeof data;
        DWORD index = 0;
        while (SetupDiEnumDeviceInfo(set, index, &data) && data.DevInst != stick.devNode->handle)
        {
            ++index;
        }
        SP_PROPCHANGE_PARAMS params = {};
        params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        params.StateChange = DICS_PROPCHANGE;
        params.Scope = DICS_FLAG_GLOBAL;
        ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params));
        ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
        SP_DEVINSTALL_PARAMS_W install = {};
        install.cbSize = sizeof install;
        ASSERT_TRUE(SetupDiGetDeviceInstallParamsW(set, &data, &install));
        EXPECT_EQ(install.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT), expectedFlags);
        SetupDiDestroyDeviceInfoList(set);
    }
    EXPECT_EQ(stick.devNode->restartCount, 2u);
}

TEST(MachineJson, DescriptionBuildsTheSameModelAsTheBuilder)
{
    auto machine = LoadMachineJson(R"({
      "services": ["Kavfiltr", {"name": "USBSTOR", "type": 1}],
      "volumes": [{"letters": ["C"], "size": "1GiB"}],
      "controllers": [{
        "instanceId": "PCI\\VEN_8086&DEV_1C26\\3&11583659&0&E8", "legacyName": 0,
        "faults": [{"ioctl": "IOCTL_USB_GET_NODE_INFORMATION", "atCall": 5}],
        "rootHub": {"ports": 4, "devices": [
          {"port": 1, "vid": "0x3A7E", "pid": "0x1202", "serial": "JSON1",
           "friendlyName": "USB 大容量記憶装置（Kavelor 有効）", "lowerFilters": ["Kavfiltr"],
           "luns": [{"size": "64MiB", "letters": ["E"], "upperFilters": ["Kavfiltr"]}]},
          {"port": 2, "vid": 4660, "pid": 1, "hub": {"ports": 2, "devices": [
            {"port": 2, "vid": "0x3A7E", "pid": "0x1201", "status": "DeviceNotEnoughPower"}]}}
        ]}
      }]
    })");
    ScopedMachine scope(*machine);
    EXPECT_NE(machine->FindService(u"kavfiltr"), nullptr);
    EXPECT_EQ(machine->Controllers()[0]->ioFaults.size(), 1u);
    Kavelor::CUSBEnumerateExList list;
    Kavelor::CUSBEnumerateEx enumerator(&list);
    enumerator.Enumerate();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(Kavelor::GetFilterState(list.front()), Kavelor::FILTER_STATE_ENABLED);
    EXPECT_EQ(machine->UsbDevices()[0]->luns[0]->sizeBytes, 64ull << 20);

    EXPECT_THROW(LoadMachineJson("{\"controllers\": [{}]}"), std::runtime_error);
    EXPECT_THROW(LoadMachineJson("{\"controllers\": [ }"), std::runtime_error);
    EXPECT_THROW(LoadMachineJson(R"({"controllers": [{"instanceId": "PCI\\X\\1",
                                     "rootHub": {"devices": [{"port": 1, "vid": "zz"}]}}]})"),
                 std::runtime_error);
}

// The fault knobs and odd shapes of the description reach the model the walk runs on.
TEST(MachineJson, KnobsOfTheDescription)
{
    auto machine = LoadMachineJson(R"({
      "failSets": {"interfaces": ["{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}"]},
      "controllers": [{
        "instanceId": "PCI\\VEN_8086&DEV_7112\\3&1&0&10", "interface": false, "service": "uhcd",
        "reportedDriverKey": "{36FC9E60-C465-11CF-8056-444553540000}\\0001",
        "rootHub": {"ports": 2, "reportedPorts": 255, "connectionInfoEx": false,
          "faults": [{"ioctl": "IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME"}],
          "devices": [
            {"port": 2, "instanceId": "USB\\ODD\\1", "reportedHubName": "X",
             "unreadable": ["FriendlyName"], "properties": {"CompatibleIDs": ["USB\\Class_08", ""]},
             "removalRelations": ["USB\\ODD\\1"],
             "children": [{"instanceId": "USBSTOR\\Disk&Ven_A\\1", "class": "DiskDrive",
                           "classGuid": "{4d36e967-e325-11ce-bfc1-08002be10318}", "upperFilters": []}]}
          ]}
      }]
    })");
    const HostController& controller = *machine->Controllers()[0];
    EXPECT_EQ(controller.legacyIndex, -1);
    EXPECT_TRUE(controller.devNode->interfaces.empty());
    EXPECT_EQ(controller.reportedDriverKey.value_or(u""), u"{36FC9E60-C465-11CF-8056-444553540000}\\0001");
    const Hub& hub = *controller.rootHub;
    EXPECT_EQ(hub.reportedPortCount.value_or(0), 255);
    EXPECT_FALSE(hub.answersConnectionInfoEx);
    ASSERT_EQ(hub.ioFaults.size(), 1u);
    EXPECT_EQ(hub.ioFaults[0].atCall, 0u);
    const UsbDevice& odd = *hub.ports[1].device;
    EXPECT_EQ(odd.reportedHubName.value_or(u""), u"X");
    EXPECT_EQ(odd.devNode->unreadableProperties.count(CM_DRP_FRIENDLYNAME), 1u);
    EXPECT_EQ(odd.devNode->GetMultiString(CM_DRP_COMPATIBLEIDS), std::vector<WString>{u"USB\\Class_08"});
    EXPECT_EQ(odd.devNode->removalRelations, std::vector<WString>{u"USB\\ODD\\1"});
    ASSERT_EQ(odd.devNode->children.size(), 1u);
    EXPECT_EQ(Narrow(odd.devNode->children[0]->GetString(CM_DRP_ENUMERATOR_NAME).value_or(u"")), "USBSTOR");
    EXPECT_TRUE(odd.devNode->children[0]->HasProperty(CM_DRP_UPPERFILTERS));
    EXPECT_EQ(machine->failingInterfaceSets.size(), 1u);

    // The walk over it ends, lists the device from its node and leaks nothing.
    ScopedMachine scope(*machine);
    Kavelor::CUSBEnumerateExList list;
    Kavelor::CUSBEnumerateEx(&list).Enumerate();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(Text(list.front().treeDevice.data.strDeviceInstanceId), "USB\\ODD\\1");
    EXPECT_EQ(machine->OpenHandleCount(), 0u);
}

// Every example machine of kavlab loads and enumerates; each is there to show something.
TEST(MachineJson, ExampleMachinesOfTheLab)
{
    struct Expected
    {
        const char* file;
        size_t devices;
        size_t targets;
    } expected[] = {
        {"supported_stick.json", 1, 1}, {"card_reader.json", 1, 1},       {"keyboard.json", 1, 0},
        {"hub_chain.json", 3, 1},       {"unsupported_stick.json", 1, 0},
    };
    for (const Expected& example : expected)
    {
        std::string path = std::string(KAV_LAB_MACHINES) + "/" + example.file;
        ASSERT_TRUE(std::filesystem::exists(path)) << path;
        auto machine = LoadMachineFile(path);
        ScopedMachine scope(*machine);
        Kavelor::CUSBEnumerateExList list;
        Kavelor::CUSBEnumerateEx enumerator(&list);
        enumerator.Enumerate();
        EXPECT_EQ(list.size(), example.devices) << example.file;
        enumerator.m_bTargetOnly = TRUE;
        enumerator.Enumerate();
        EXPECT_EQ(list.size(), example.targets) << example.file;
    }
}
} // namespace
