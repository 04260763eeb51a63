// Switching a whole device on and off in the registry: the order of the writes, the stop at the first
// failure and what stays behind it, a device already enabled, the storage-off repair, and disable's rule
// for the friendly name.
#include "tests/regtool/regtool_fixture.h"

#include "regtool/DeviceFilter.h"

#include "enumlib/FilterState.h"

namespace
{
using namespace kavtest;
using namespace Kavelor;

using Lines = std::vector<std::string>;

class DeviceFilterTest : public KavsetMachineTest
{
};

TEST_F(DeviceFilterTest, EnablingWritesMarkerLowerFilterThenEveryDiskInPreOrder)
{
    usbNode().SetString(CM_DRP_FRIENDLYNAME, u"My stick");
    CUSBEnumerateExData record = Record();
    ASSERT_EQ(EnableDeviceFilter(record), FILTER_OK);
    EXPECT_EQ(Writes(),
              (Lines{"usb FriendlyName", "usb LowerFilters", "disk0 UpperFilters", "disk1 UpperFilters"}));
    EXPECT_EQ(usbNode().GetString(CM_DRP_FRIENDLYNAME), WString(kMarker));
    EXPECT_EQ(Stored(usbNode(), CM_DRP_FRIENDLYNAME).size(),
              (std::char_traits<char16_t>::length(kMarker) + 1) * 2);
    EXPECT_EQ(GetFilterState(Record()), FILTER_STATE_ENABLED);

    // Enabled already: nothing is written again.
    EXPECT_EQ(EnableDeviceFilter(Record()), FILTER_OK);
    EXPECT_TRUE(Writes().empty());
}

TEST_F(DeviceFilterTest, TheFirstFailingStepEndsTheWalkAndWhatWasWrittenStays)
{
    disk(0).unwritableProperties.insert(CM_DRP_UPPERFILTERS);
    EXPECT_EQ(EnableDeviceFilter(Record()), FILTER_ERR_UPPER_FILTERS);
    EXPECT_EQ(Writes(), (Lines{"usb FriendlyName", "usb LowerFilters", "disk0 UpperFilters"}));
    EXPECT_FALSE(disk(1).HasProperty(CM_DRP_UPPERFILTERS)) << "the disk after the failing one is not visited";
    EXPECT_TRUE(usbNode().HasProperty(CM_DRP_LOWERFILTERS));

    usbNode().RemoveProperty(CM_DRP_LOWERFILTERS);
    usbNode().unwritableProperties.insert(CM_DRP_LOWERFILTERS);
    EXPECT_EQ(EnableDeviceFilter(Record()), FILTER_ERR_LOWER_FILTERS);
    EXPECT_EQ(usbNode().GetString(CM_DRP_FRIENDLYNAME), WString(kMarker)) << "the marker stays";

    usbNode().RemoveProperty(CM_DRP_FRIENDLYNAME);
    usbNode().unwritableProperties.insert(CM_DRP_FRIENDLYNAME);
    Writes();
    EXPECT_EQ(EnableDeviceFilter(Record()), FILTER_ERR_FRIENDLY_NAME);
    EXPECT_EQ(Writes(), Lines{"usb FriendlyName"}) << "the lower filters stay untouched";
}

TEST_F(DeviceFilterTest, AStorageNodeThatLostItsEntryIsRepaired)
{
    ASSERT_EQ(EnableDeviceFilter(Record()), FILTER_OK);
    disk(1).SetMultiString(CM_DRP_UPPERFILTERS, {u"PartMgr"});
    ASSERT_EQ(GetFilterState(Record()), FILTER_STATE_STORAGE_OFF);
    Writes();
    ASSERT_EQ(EnableDeviceFilter(Record()), FILTER_OK);
    EXPECT_EQ(Writes(), (Lines{"usb FriendlyName", "disk1 UpperFilters"}));
    EXPECT_EQ(disk(1).GetMultiString(CM_DRP_UPPERFILTERS), (std::vector<WString>{u"PartMgr", u"Kavfiltr"}));
}

TEST_F(DeviceFilterTest, AnUnsupportedDeviceIsNotTouched)
{
    CUSBEnumerateExData record = Record();
    record.wProductId = 0x9999;
    EXPECT_EQ(EnableDeviceFilter(record), FILTER_ERR_NOT_TARGET);
    CUSBEnumerateExData noDisks = Record();
    noDisks.treeDevice.children.clear();
    EXPECT_EQ(EnableDeviceFilter(noDisks), FILTER_ERR_NOT_TARGET);
    EXPECT_TRUE(Writes().empty());
}

TEST_F(DeviceFilterTest, DisablingDeletesOnlyTheMarkerAndKeepsTheStorageNodesEntries)
{
    ASSERT_EQ(EnableDeviceFilter(Record()), FILTER_OK);
    usbNode().SetMultiString(CM_DRP_LOWERFILTERS, {u"Other", u"Kavfiltr"});
    Writes();
    ASSERT_EQ(DisableLowerFilter(usbNode().handle), FILTER_OK);
    EXPECT_EQ(Writes(), (Lines{"-usb FriendlyName", "usb LowerFilters"}));
    EXPECT_EQ(usbNode().GetMultiString(CM_DRP_LOWERFILTERS), std::vector<WString>{u"Other"});
    EXPECT_TRUE(disk(0).HasProperty(CM_DRP_UPPERFILTERS));
    EXPECT_EQ(GetFilterState(Record()), FILTER_STATE_DEVICE_OFF);

    // The marker in another case of A to Z is still the marker.
    usbNode().SetString(CM_DRP_FRIENDLYNAME, u"usb 大容量記憶装置（kAVELOR 有効）");
    ASSERT_EQ(DisableLowerFilter(usbNode().handle), FILTER_OK);
    EXPECT_FALSE(usbNode().HasProperty(CM_DRP_FRIENDLYNAME));
}

TEST_F(DeviceFilterTest, DisablingKeepsANameTheUserGaveOrThatCannotBeRead)
{
    usbNode().SetMultiString(CM_DRP_LOWERFILTERS, {u"Kavfiltr"});
    usbNode().SetString(CM_DRP_FRIENDLYNAME, u"Photos");
    ASSERT_EQ(DisableLowerFilter(usbNode().handle), FILTER_OK);
    EXPECT_EQ(usbNode().GetString(CM_DRP_FRIENDLYNAME), WString(u"Photos"));
    EXPECT_FALSE(usbNode().HasProperty(CM_DRP_LOWERFILTERS));

    // 200 characters do not fit the 400-byte buffer: not the marker, left alone.
    WString longName(kMarker);
    longName.resize(200, u'x');
    usbNode().SetString(CM_DRP_FRIENDLYNAME, longName);
    EXPECT_EQ(DisableLowerFilter(usbNode().handle), FILTER_OK);
    EXPECT_EQ(usbNode().GetString(CM_DRP_FRIENDLYNAME), longName);
}

TEST_F(DeviceFilterTest, AMarkerThatCannotBeDeletedLeavesTheLowerFiltersAlone)
{
    ASSERT_EQ(EnableDeviceFilter(Record()), FILTER_OK);
    usbNode().unwritableProperties.insert(CM_DRP_FRIENDLYNAME);
    Writes();
    EXPECT_EQ(DisableLowerFilter(usbNode().handle), FILTER_ERR_FRIENDLY_NAME);
    EXPECT_EQ(usbNode().GetMultiString(CM_DRP_LOWERFILTERS), std::vector<WString>{u"Kavfiltr"});

    usbNode().unwritableProperties.clear();
    usbNode().unreadableProperties.insert(CM_DRP_LOWERFILTERS);
    EXPECT_EQ(DisableLowerFilter(usbNode().handle), FILTER_ERR_LOWER_FILTERS);
}
} // namespace
