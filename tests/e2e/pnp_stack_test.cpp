// Stacks the PnP manager builds from the device-node properties: Kavfiltr exactly where the filter lists
// put it, problem codes for services that cannot load, restarts that load and drop the filter, a card
// reader's units in bus-relations order, and data that goes through every stack unchanged.
#include "tests/e2e/pnp_fixture.h"

#include <string>

namespace
{

using namespace kavtest;

using wm::WString;

const WString kBus = u"usbhub";

TEST_F(PnpTest, UnfilteredStacksHoldOnlyTheStorageDrivers)
{
    wm::UsbDevice& stick = AddStick(1);
    pnp_->StartAll();

    EXPECT_EQ(pnp_->StackServices(*stick.devNode), Services({u"usbhub", u"USBSTOR"}));
    EXPECT_EQ(pnp_->StackServices(*stick.luns[0]->disk), Services({u"USBSTOR", u"disk"}));
    EXPECT_EQ(Problem(*stick.devNode), 0u);
    EXPECT_EQ(Problem(*stick.luns[0]->disk), 0u);
    EXPECT_EQ(pnp_->LoadedDriver(u"Kavfiltr"), nullptr);

    // The disk's PDO carries the identity drivers ask the PnP manager for.
    PDEVICE_OBJECT pdo = pnp_->Pdo(*stick.luns[0]->disk);
    ASSERT_NE(pdo, nullptr);
    char16_t name[16] = {};
    ULONG size = 0;
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyEnumeratorName, sizeof(name), name, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(WString(name), u"USBSTOR");
    char16_t friendly[64] = {};
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, sizeof(friendly), friendly, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(WString(friendly), stick.luns[0]->disk->GetString(CM_DRP_FRIENDLYNAME).value());
}

TEST_F(PnpTest, KavfiltrSitsBelowTheFunctionDriverAndAboveTheDiskClass)
{
    wm::UsbDevice& stick = AddStick(1);
    EnableFilter(stick);
    pnp_->StartAll();

    EXPECT_EQ(pnp_->StackServices(*stick.devNode), Services({u"usbhub", u"Kavfiltr", u"USBSTOR"}));
    EXPECT_EQ(pnp_->StackServices(*stick.luns[0]->disk), Services({u"USBSTOR", u"disk", u"Kavfiltr"}));
    EXPECT_TRUE(pnp_->InStack(*stick.luns[0]->disk, u"KAVFILTR"));
    EXPECT_EQ(pnp_->DiskTop(*stick.luns[0])->DriverObject, pnp_->LoadedDriver(u"Kavfiltr"));
}

TEST_F(PnpTest, DiskOfAnUnfilteredDeviceStaysUnfilteredWhateverItsUpperFiltersSay)
{
    wm::UsbDevice& filtered = AddStick(1);
    wm::UsbDevice& plain = AddStick(2);
    EnableFilter(filtered);
    plain.luns[0]->disk->SetMultiString(CM_DRP_UPPERFILTERS, {u"Kavfiltr"});
    pnp_->StartAll();

    EXPECT_TRUE(pnp_->InStack(*filtered.luns[0]->disk, u"Kavfiltr"));
    EXPECT_FALSE(pnp_->InStack(*plain.devNode, u"Kavfiltr"));
    EXPECT_FALSE(pnp_->InStack(*plain.luns[0]->disk, u"Kavfiltr"));
    EXPECT_EQ(Problem(*plain.luns[0]->disk), 0u);
    RoundTrip(*plain.luns[0], 4096, 64 * 1024, 1);
    RoundTrip(*filtered.luns[0], 4096, 64 * 1024, 2);
}

// Each case: where the bad service is named, how the machine knows it, and the problem the node gets.
struct MissingServiceCase
{
    const char* name;
    bool onUsbNode;
    ULONG problem;
    void (*prepare)(wm::Machine&, wm::PnpManager&);
};

class MissingService : public PnpTest, public ::testing::WithParamInterface<MissingServiceCase>
{
};

TEST_P(MissingService, NodeCarriesTheProblemAndHasNoStack)
{
    const MissingServiceCase& c = GetParam();
    wm::UsbDevice& stick = AddStick(1);
    c.prepare(machine_, *pnp_);
    wm::DevNode& node = c.onUsbNode ? *stick.devNode : *stick.luns[0]->disk;
    node.SetMultiString(c.onUsbNode ? CM_DRP_LOWERFILTERS : CM_DRP_UPPERFILTERS, {u"Kavfiltr", u"Absent"});
    pnp_->StartAll();

    EXPECT_EQ(Problem(node), c.problem);
    EXPECT_EQ(pnp_->StackTop(node), nullptr);
    // No AddDevice ran: nothing is attached to the PDO and no driver stays loaded for this node.
    EXPECT_EQ(pnp_->Pdo(node)->AttachedDevice, nullptr);
    EXPECT_EQ(pnp_->LoadedDriver(u"Kavfiltr"), nullptr);
    if (c.onUsbNode)
    {
        // A device that does not start enumerates nothing: its disk is not present.
        EXPECT_EQ(pnp_->LoadedDriver(u"USBSTOR"), nullptr);
        EXPECT_FALSE(stick.luns[0]->disk->present);
        EXPECT_EQ(pnp_->DiskTop(*stick.luns[0]), nullptr);
    }
    else
    {
        EXPECT_EQ(Problem(*stick.devNode), 0u);
        EXPECT_EQ(pnp_->LoadedDriver(u"disk"), nullptr);
    }

    // Once the list names only what can load, a restart brings the node up.
    node.SetMultiString(c.onUsbNode ? CM_DRP_LOWERFILTERS : CM_DRP_UPPERFILTERS, {u"Kavfiltr"});
    if (!c.onUsbNode)
    {
        stick.devNode->SetMultiString(CM_DRP_LOWERFILTERS, {u"Kavfiltr"});
    }
    ASSERT_TRUE(machine_.onRestart(*stick.devNode));
    EXPECT_EQ(Problem(node), 0u);
    EXPECT_EQ(Problem(*stick.luns[0]->disk), 0u);
    EXPECT_TRUE(pnp_->InStack(node, u"Kavfiltr"));
    RoundTrip(*stick.luns[0], 0, 4096, 3);
}

void NotInstalled(wm::Machine&, wm::PnpManager&) {}

void InstalledWithoutImage(wm::Machine& machine, wm::PnpManager&)
{
    machine.AddService(Installed(u"Absent"));
}

void Disabled(wm::Machine& machine, wm::PnpManager& pnp)
{
    machine.AddService(Installed(u"Absent", 4)); // SERVICE_DISABLED
    pnp.RegisterDriver(u"Absent", PassFilterEntry);
}

void EntryFails(wm::Machine& machine, wm::PnpManager& pnp)
{
    machine.AddService(Installed(u"Absent"));
    pnp.RegisterDriver(u"Absent",
                       [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_UNSUCCESSFUL; });
}

INSTANTIATE_TEST_SUITE_P(
    Pnp, MissingService,
    ::testing::Values(MissingServiceCase{"LowerNotInstalled", true, CM_PROB_REGISTRY, NotInstalled},
                      MissingServiceCase{"UpperNotInstalled", false, CM_PROB_REGISTRY, NotInstalled},
                      MissingServiceCase{"NoImage", true, CM_PROB_DRIVER_FAILED_LOAD, InstalledWithoutImage},
                      MissingServiceCase{"Disabled", true, CM_PROB_DISABLED_SERVICE, Disabled},
                      MissingServiceCase{"EntryFails", false, CM_PROB_FAILED_DRIVER_ENTRY, EntryFails}),
    [](const ::testing::TestParamInfo<MissingServiceCase>& info) { return std::string(info.param.name); });

TEST_F(PnpTest, NodeWithoutFunctionDriverIsNotInstalled)
{
    wm::UsbDevice& stick = AddStick(1);
    stick.luns[0]->disk->RemoveProperty(CM_DRP_SERVICE);
    pnp_->StartAll();
    EXPECT_EQ(Problem(*stick.luns[0]->disk), ULONG(CM_PROB_FAILED_INSTALL));
    EXPECT_EQ(Problem(*stick.devNode), 0u);
}

TEST_F(PnpTest, FailedAddDeviceOrStartTakesThePartialStackDown)
{
    wm::UsbDevice& stick = AddStick(1);
    machine_.AddService(Installed(u"PassFilt"));
    stick.devNode->SetMultiString(CM_DRP_UPPERFILTERS, {u"PassFilt"});

    Knobs().failAddDevice = true;
    pnp_->StartAll();
    EXPECT_EQ(Problem(*stick.devNode), ULONG(CM_PROB_FAILED_ADD));
    EXPECT_EQ(pnp_->Pdo(*stick.devNode)->AttachedDevice, nullptr); // USBSTOR's device was removed again
    EXPECT_EQ(pnp_->LoadedDriver(u"USBSTOR"), nullptr);

    Knobs().failAddDevice = false;
    Knobs().failStart = true;
    ASSERT_TRUE(pnp_->Restart(*stick.devNode));
    EXPECT_EQ(Problem(*stick.devNode), ULONG(CM_PROB_FAILED_START));
    EXPECT_EQ(pnp_->Pdo(*stick.devNode)->AttachedDevice, nullptr);
    EXPECT_EQ(pnp_->LoadedDriver(u"PassFilt"), nullptr);

    Knobs().failStart = false;
    ASSERT_TRUE(pnp_->Restart(*stick.devNode));
    EXPECT_EQ(pnp_->StackServices(*stick.devNode), Services({u"usbhub", u"USBSTOR", u"PassFilt"}));
    RoundTrip(*stick.luns[0], 512, 512, 4);
}

TEST_F(PnpTest, MisuseOfTheManagerOrByADriverIsCaught)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    wm::UsbDevice& stick = AddStick(1);
    machine_.AddService(Installed(u"PassFilt"));
    stick.devNode->SetMultiString(CM_DRP_LOWERFILTERS, {u"PassFilt"});
    pnp_->StartAll();
    ASSERT_TRUE(pnp_->InStack(*stick.devNode, u"PassFilt"));
    EXPECT_DEATH(
        {
            Knobs().stayOnRemove = true;
            pnp_->Restart(*stick.devNode);
        },
        "PassFilt driver is still attached after IRP_MN_REMOVE_DEVICE");
    EXPECT_DEATH(wm::PnpManager second(machine_), "already has a PnP manager");
}

TEST_F(PnpTest, RestartAfterAChangedFilterListLoadsAndDropsKavfiltr)
{
    wm::UsbDevice& stick = AddStick(1);
    pnp_->StartAll();
    RoundTrip(*stick.luns[0], 1 << 20, 128 * 1024, 5);

    std::vector<std::pair<const wm::DevNode*, UCHAR>> seen;
    pnp_->SetPnpObserver([&seen](const wm::DevNode& node, UCHAR minor) { seen.emplace_back(&node, minor); });
    EnableFilter(stick);
    ASSERT_TRUE(machine_.onRestart(*stick.devNode)); // what the class installer's property change runs
    pnp_->SetPnpObserver(nullptr);

    const wm::DevNode* usb = stick.devNode;
    const wm::DevNode* disk = stick.luns[0]->disk;
    const std::vector<std::pair<const wm::DevNode*, UCHAR>> expected = {
        {disk, IRP_MN_QUERY_REMOVE_DEVICE}, {usb, IRP_MN_QUERY_REMOVE_DEVICE},
        {disk, IRP_MN_REMOVE_DEVICE},       {usb, IRP_MN_REMOVE_DEVICE},
        {usb, IRP_MN_START_DEVICE},         {usb, IRP_MN_QUERY_DEVICE_RELATIONS},
        {disk, IRP_MN_START_DEVICE}};
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(pnp_->InStack(*stick.devNode, u"Kavfiltr"));
    EXPECT_TRUE(pnp_->InStack(*stick.luns[0]->disk, u"Kavfiltr"));
    EXPECT_NE(pnp_->LoadedDriver(u"Kavfiltr"), nullptr);

    // The data written before the restart is still there, read through the filter.
    {
        winsim::usb::ScopedApplicationThread application(0);
        std::vector<unsigned char> back(128 * 1024);
        ASSERT_EQ(
            winsim::SendRead(pnp_->DiskTop(*stick.luns[0]), back.data(), ULONG(back.size()), 1 << 20).status,
            STATUS_SUCCESS);
        EXPECT_TRUE(back == Pattern(back.size(), 5));
    }
    RoundTrip(*stick.luns[0], 3 << 20, 96 * 1024, 6);

    DisableFilter(stick);
    ASSERT_TRUE(pnp_->Restart(*stick.devNode));
    EXPECT_FALSE(pnp_->InStack(*stick.devNode, u"Kavfiltr"));
    EXPECT_FALSE(pnp_->InStack(*stick.luns[0]->disk, u"Kavfiltr"));
    EXPECT_EQ(pnp_->LoadedDriver(u"Kavfiltr"), nullptr); // its last device is gone: unloaded
    EXPECT_EQ(winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBlocks, 0u);
    // What went through the filter reached the medium.
    EXPECT_TRUE(Medium(stick, 0, 3 << 20, 96 * 1024) == Pattern(96 * 1024, 6));
}

TEST_F(PnpTest, RestartOfADiskNodeRebuildsOnlyThatDisk)
{
    wm::UsbDevice& stick = AddStick(1);
    pnp_->StartAll();
    PDEVICE_OBJECT usbTop = pnp_->StackTop(*stick.devNode);
    PDEVICE_OBJECT diskPdo = pnp_->Pdo(*stick.luns[0]->disk);

    stick.luns[0]->disk->SetMultiString(CM_DRP_UPPERFILTERS, {u"PassFilt"});
    machine_.AddService(Installed(u"PassFilt"));
    ASSERT_TRUE(pnp_->Restart(*stick.luns[0]->disk));
    EXPECT_EQ(pnp_->StackTop(*stick.devNode), usbTop);
    EXPECT_EQ(pnp_->Pdo(*stick.luns[0]->disk), diskPdo); // the unit is still present: same child
    EXPECT_EQ(pnp_->StackServices(*stick.luns[0]->disk), Services({u"USBSTOR", u"disk", u"PassFilt"}));
    RoundTrip(*stick.luns[0], 0, 8192, 7);
}

TEST_F(PnpTest, CardReaderUnitsGetTheirOwnDiskStacksInBusRelationsOrder)
{
    wm::UsbDevice& reader = AddStick(1, {4ull << 20, 16ull << 20});
    EnableFilter(reader);
    pnp_->StartAll();

    ASSERT_EQ(reader.luns.size(), 2u);
    PDEVICE_OBJECT top0 = pnp_->DiskTop(*reader.luns[0]);
    PDEVICE_OBJECT top1 = pnp_->DiskTop(*reader.luns[1]);
    ASSERT_NE(top0, nullptr);
    ASSERT_NE(top1, nullptr);
    EXPECT_NE(top0, top1);
    for (const auto& lun : reader.luns)
    {
        EXPECT_EQ(pnp_->StackServices(*lun->disk), Services({u"USBSTOR", u"disk", u"Kavfiltr"}));
    }

    // Each disk node reaches its own unit: the 16 MiB one has room where the 4 MiB one ends.
    RoundTrip(*reader.luns[0], 0, 64 * 1024, 9);
    RoundTrip(*reader.luns[1], 0, 64 * 1024, 10);
    RoundTrip(*reader.luns[1], 8 << 20, 4096, 11);
    {
        winsim::usb::ScopedApplicationThread application(0);
        std::vector<unsigned char> beyond(4096);
        EXPECT_FALSE(NT_SUCCESS(winsim::SendRead(top0, beyond.data(), 4096, 8 << 20).status));
    }
    pnp_->Shutdown(); // writes still in the filter's hands reach the medium on removal
    EXPECT_TRUE(Medium(reader, 0, 0, 64 * 1024) == Pattern(64 * 1024, 9));
    EXPECT_TRUE(Medium(reader, 1, 0, 64 * 1024) == Pattern(64 * 1024, 10));
}

class RoundTripThroughStack : public PnpTest, public ::testing::WithParamInterface<bool>
{
};

TEST_P(RoundTripThroughStack, ReadsAndWritesComeBackUnchanged)
{
    wm::UsbDevice& stick = AddStick(1, {32ull << 20});
    if (GetParam())
    {
        EnableFilter(stick);
    }
    pnp_->StartAll();
    ASSERT_EQ(pnp_->InStack(*stick.luns[0]->disk, u"Kavfiltr"), GetParam());

    // Small, unaligned-to-64-KiB, multi-piece and overlapping requests.
    RoundTrip(*stick.luns[0], 0, 512, 12);
    RoundTrip(*stick.luns[0], 7 * 512, 3 * 512, 13);
    RoundTrip(*stick.luns[0], 1 << 20, 256 * 1024, 14);
    RoundTrip(*stick.luns[0], (1 << 20) + 4096, 8192, 15);
    RoundTrip(*stick.luns[0], (32 << 20) - 4096, 4096, 16);

    // The overlapping write replaced the middle of the earlier one, on the medium too once flushed.
    pnp_->Shutdown();
    std::vector<unsigned char> expected = Pattern(256 * 1024, 14);
    const std::vector<unsigned char> overlap = Pattern(8192, 15);
    std::copy(overlap.begin(), overlap.end(), expected.begin() + 4096);
    EXPECT_TRUE(Medium(stick, 0, 1 << 20, expected.size()) == expected);
}

INSTANTIATE_TEST_SUITE_P(Pnp, RoundTripThroughStack, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Filtered" : "Unfiltered");
                         });

} // namespace

namespace
{

// What Kavset does after changing the filter lists: the class installer's property change on the USB node.
DWORD RestartThroughClassInstaller(wm::Machine& machine, const wm::DevNode& node)
{
    wm::ScopedMachine installed(machine);
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    DWORD index = 0;
    while (SetupDiEnumDeviceInfo(set, index, &data) && data.DevInst != node.handle)
    {
        ++index;
    }
    EXPECT_EQ(data.DevInst, node.handle);
    SP_PROPCHANGE_PARAMS params = {};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_PROPCHANGE;
    params.Scope = DICS_FLAG_GLOBAL;
    EXPECT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params));
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
    SP_DEVINSTALL_PARAMS_W install = {};
    install.cbSize = sizeof install;
    EXPECT_TRUE(SetupDiGetDeviceInstallParamsW(set, &data, &install));
    SetupDiDestroyDeviceInfoList(set);
    return install.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT);
}

TEST_F(PnpTest, OpenVolumeRefusesTheRestartUntilItIsClosed)
{
    wm::UsbDevice& stick = AddStickWithVolume(3, u"VOL1", u'E');
    pnp_->StartAll();

    EnableFilter(stick);
    pnp_->SetVolumeOpen(*stick.luns[0]->volume, true);
    EXPECT_EQ(RestartThroughClassInstaller(machine_, *stick.devNode), DWORD(DI_NEEDRESTART));
    EXPECT_FALSE(pnp_->InStack(*stick.devNode, u"Kavfiltr"));
    EXPECT_EQ(Problem(*stick.devNode), 0u);
    RoundTrip(*stick.luns[0], 0, 4096, 17);

    pnp_->SetVolumeOpen(*stick.luns[0]->volume, false);
    EXPECT_EQ(RestartThroughClassInstaller(machine_, *stick.devNode), 0u);
    EXPECT_TRUE(pnp_->InStack(*stick.devNode, u"Kavfiltr"));
    EXPECT_TRUE(pnp_->InStack(*stick.luns[0]->disk, u"Kavfiltr"));
    EXPECT_TRUE(stick.luns[0]->volume->devNode->present);
    EXPECT_EQ(stick.devNode->restartCount, 2u);
}

} // namespace

namespace
{

// The example machines kavlab runs: every storage device on them starts and serves its units.
TEST(PnpLabMachines, EveryStorageDeviceStartsAndServesItsUnits)
{
    for (const char* name :
         {"supported_stick.json", "unsupported_stick.json", "card_reader.json", "hub_chain.json"})
    {
        SCOPED_TRACE(name);
        winsim::ScopedKernel kernel;
        std::unique_ptr<wm::Machine> machine =
            wm::LoadMachineFile(std::string(KAV_LAB_MACHINES) + "/" + name);
        wm::PnpManager pnp(*machine);
        pnp.RegisterStorageDrivers();
        pnp.RegisterDriver(KAVFILTR_SERVICE_NAME, DriverEntry);
        pnp.StartAll();
        size_t units = 0;
        for (const auto& device : machine->UsbDevices())
        {
            for (const auto& lun : device->luns)
            {
                winsim::usb::ScopedApplicationThread application(0);
                const bool filtered = !device->devNode->GetMultiString(CM_DRP_LOWERFILTERS).empty();
                EXPECT_EQ(pnp.InStack(*lun->disk, u"Kavfiltr"), filtered);
                std::vector<unsigned char> data(8192, static_cast<unsigned char>(0x40 + units));
                ASSERT_EQ(winsim::SendWrite(pnp.DiskTop(*lun), data.data(), 8192, 65536).status,
                          STATUS_SUCCESS);
                std::vector<unsigned char> back(8192);
                ASSERT_EQ(winsim::SendRead(pnp.DiskTop(*lun), back.data(), 8192, 65536).status,
                          STATUS_SUCCESS);
                EXPECT_TRUE(back == data);
                ++units;
            }
        }
        EXPECT_GT(units, 0u);
        pnp.Shutdown();
        EXPECT_EQ(winsim::PoolStats(KAVFILTR_POOL_TAG).outstandingBlocks, 0u);
    }
}

} // namespace
