// Filter state: read live from the device nodes' registry properties, not from the enumerated snapshot.
#include "tests/support/test_machines.h"

#include "enumlib/FilterState.h"
#include "enumlib/USBEnumerateEx.h"

#include <gtest/gtest.h>

namespace
{

using namespace kavtest;
using Kavelor::CUSBEnumerateEx;
using Kavelor::CUSBEnumerateExList;

class FilterStateTest : public ::testing::Test
{
protected:
    FilterStateTest() : scope_(machine_)
    {
        HostController& controller = AddController(machine_, u"PCI\\VEN_8086&DEV_1C26\\3&1&0&E8", 0, false);
        reader_ = &AddStick(machine_, *controller.rootHub, 1, kVid, kPid, u"READER", {u'E'});
        LunParams second;
        second.letters = {u'F'};
        machine_.AddLun(*reader_, second);
        Enable();
    }

    // What registration leaves behind: marker name and lower filter on the USB node, upper filter on
    // every disk.
    void Enable()
    {
        usbNode().SetString(CM_DRP_FRIENDLYNAME, u"USB 大容量記憶装置（Kavelor 有効）");
        usbNode().SetMultiString(CM_DRP_LOWERFILTERS, {u"OtherFilter", u"kavfiltr"});
        disk(0).SetMultiString(CM_DRP_UPPERFILTERS, {u"Kavfiltr"});
        disk(1).SetMultiString(CM_DRP_UPPERFILTERS, {u"KAVFILTR", u"PartMgr"});
    }

    int State(const Kavelor::SUPPORTED_DEVICE* table = Kavelor::g_supportedDevices)
    {
        CUSBEnumerateExList list;
        CUSBEnumerateEx enumerator(&list);
        enumerator.Enumerate();
        EXPECT_EQ(list.size(), 1u);
        return list.empty() ? -1 : Kavelor::GetFilterState(list.front(), table);
    }

    DevNode& usbNode() { return *reader_->devNode; }
    DevNode& disk(size_t lun) { return *reader_->luns[lun]->disk; }

    Machine machine_;
    ScopedMachine scope_;
    UsbDevice* reader_ = nullptr;
};

TEST_F(FilterStateTest, EnabledWhenBothSidesCarryTheFilterInAnyCase)
{
    EXPECT_EQ(State(), Kavelor::FILTER_STATE_ENABLED);
}

TEST_F(FilterStateTest, DeviceOffWithoutFriendlyNameOrLowerFilter)
{
    usbNode().RemoveProperty(CM_DRP_FRIENDLYNAME);
    EXPECT_EQ(State(), Kavelor::FILTER_STATE_DEVICE_OFF);
    Enable();
    usbNode().SetString(CM_DRP_FRIENDLYNAME, u"");
    EXPECT_EQ(State(), Kavelor::FILTER_STATE_DEVICE_OFF);
    Enable();
    usbNode().RemoveProperty(CM_DRP_LOWERFILTERS); // a missing value reads as an empty list
    EXPECT_EQ(State(), Kavelor::FILTER_STATE_DEVICE_OFF);
    usbNode().SetMultiString(CM_DRP_LOWERFILTERS, {u"Kavfiltr2", u" Kavfiltr"});
    EXPECT_EQ(State(), Kavelor::FILTER_STATE_DEVICE_OFF);
}

TEST_F(FilterStateTest, StorageOffWhenALaterDiskLacksTheFilter)
{
    disk(1).SetMultiString(CM_DRP_UPPERFILTERS, {u"PartMgr"});
    EXPECT_EQ(State(), Kavelor::FILTER_STATE_STORAGE_OFF);
    disk(1).RemoveProperty(CM_DRP_UPPERFILTERS);
    EXPECT_EQ(State(), Kavelor::FILTER_STATE_STORAGE_OFF);
}

TEST_F(FilterStateTest, NotTargetOutsideTheTableOrWithoutStorage)
{
    const Kavelor::SUPPORTED_DEVICE other[] = {{0x0951, 0x0951, 0, 0xFFFF}, {0, 0, 0, 0}};
    EXPECT_EQ(State(other), Kavelor::FILTER_STATE_NOT_TARGET);
    const Kavelor::SUPPORTED_DEVICE empty[] = {{0, 0, 0, 0}};
    EXPECT_EQ(State(empty), Kavelor::FILTER_STATE_ENABLED);

    Kavelor::CUSBEnumerateExData keyboard;
    keyboard.wVendorId = kVid;
    keyboard.wProductId = kPid;
    keyboard.treeDevice.data.strEnumeratorName = TEXT("USB");
    EXPECT_EQ(Kavelor::GetFilterState(keyboard), Kavelor::FILTER_STATE_NOT_TARGET);
}

TEST_F(FilterStateTest, StateIsReadLiveNotFromTheSnapshot)
{
    CUSBEnumerateExList list;
    CUSBEnumerateEx enumerator(&list);
    enumerator.Enumerate();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(Kavelor::GetFilterState(list.front()), Kavelor::FILTER_STATE_ENABLED);
    usbNode().SetMultiString(CM_DRP_LOWERFILTERS, {u"OtherFilter"});
    EXPECT_EQ(Kavelor::GetFilterState(list.front()), Kavelor::FILTER_STATE_DEVICE_OFF);
    EXPECT_EQ(list.front().treeDevice.data.lstLowerFilters.size(), 2u); // the snapshot as enumerated
}
} // namespace
