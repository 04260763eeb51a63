// The filter-list editing: the bytes written, what is kept and in which order, when nothing is written at
// all, and that a list which exists but cannot be read is never replaced.
#include "tests/regtool/regtool_fixture.h"

#include "regtool/FilterList.h"

namespace
{
using namespace kavtest;
using Kavelor::AddDevNodeListEntry;
using Kavelor::RemoveDevNodeListEntry;

class FilterListTest : public KavsetMachineTest
{
protected:
    bool Add(DevNode& node) { return AddDevNodeListEntry(node.handle, CM_DRP_LOWERFILTERS, u"Kavfiltr"); }
    bool Remove(DevNode& node)
    {
        return RemoveDevNodeListEntry(node.handle, CM_DRP_LOWERFILTERS, u"Kavfiltr");
    }
};

TEST_F(FilterListTest, AddingCreatesTheListOrAppendsKeepingTheOrder)
{
    ASSERT_TRUE(Add(usbNode()));
    ASSERT_EQ(machine_.propertyWrites.size(), 1u);
    EXPECT_EQ(machine_.propertyWrites[0].data, MultiStringBytes({u"Kavfiltr"}));
    EXPECT_EQ(machine_.propertyWrites[0].data.size(), 20u);
    EXPECT_EQ(usbNode().properties.at(CM_DRP_LOWERFILTERS).type, DWORD(REG_MULTI_SZ));

    disk(0).SetMultiString(CM_DRP_LOWERFILTERS, {u"Zeta", u"Alpha"});
    machine_.propertyWrites.clear();
    ASSERT_TRUE(Add(disk(0)));
    EXPECT_EQ(Stored(disk(0), CM_DRP_LOWERFILTERS), MultiStringBytes({u"Zeta", u"Alpha", u"Kavfiltr"}));
    EXPECT_EQ(Writes().size(), 1u);
}

TEST_F(FilterListTest, AnEntryAlreadyThereInAnyPlaceOrCaseWritesNothing)
{
    for (std::vector<WString> list :
         {std::vector<WString>{u"Kavfiltr"}, {u"Other", u"KAVFILTR"}, {u"kavFiltr", u"X"}})
    {
        usbNode().SetMultiString(CM_DRP_LOWERFILTERS, list);
        EXPECT_TRUE(Add(usbNode()));
    }
    EXPECT_TRUE(Writes().empty());
    // No normalisation beyond A to Z: a blank makes another name.
    usbNode().SetMultiString(CM_DRP_LOWERFILTERS, {u" Kavfiltr"});
    ASSERT_TRUE(Add(usbNode()));
    EXPECT_EQ(Stored(usbNode(), CM_DRP_LOWERFILTERS), MultiStringBytes({u" Kavfiltr", u"Kavfiltr"}));
}

TEST_F(FilterListTest, RemovingTakesEveryCopyAndKeepsTheRestInOrder)
{
    usbNode().SetMultiString(CM_DRP_LOWERFILTERS, {u"First", u"Kavfiltr", u"Third", u"kavfiltr"});
    ASSERT_TRUE(Remove(usbNode()));
    EXPECT_EQ(Stored(usbNode(), CM_DRP_LOWERFILTERS), MultiStringBytes({u"First", u"Third"}));
}

TEST_F(FilterListTest, RemovingTheLastEntryDeletesTheListInsteadOfWritingItEmpty)
{
    usbNode().SetMultiString(CM_DRP_LOWERFILTERS, {u"KAVFILTR"});
    ASSERT_TRUE(Remove(usbNode()));
    EXPECT_FALSE(usbNode().HasProperty(CM_DRP_LOWERFILTERS));
    EXPECT_EQ(Writes(), std::vector<std::string>{"-usb LowerFilters"});
}

TEST_F(FilterListTest, RemovingWhatIsNotThereWritesNothing)
{
    EXPECT_TRUE(Remove(usbNode()));
    usbNode().SetMultiString(CM_DRP_LOWERFILTERS, {u"Other"});
    EXPECT_TRUE(Remove(usbNode()));
    EXPECT_TRUE(Writes().empty());
}

TEST_F(FilterListTest, AValueReadsUpToItsFirstEmptyString)
{
    const char16_t raw[] = u"Before\0\0After\0";
    const BYTE* bytes = reinterpret_cast<const BYTE*>(raw);
    usbNode().SetRaw(CM_DRP_LOWERFILTERS, REG_MULTI_SZ, std::vector<BYTE>(bytes, bytes + sizeof raw));
    ASSERT_TRUE(Add(usbNode()));
    EXPECT_EQ(Stored(usbNode(), CM_DRP_LOWERFILTERS), MultiStringBytes({u"Before", u"Kavfiltr"}));
}

// Writing a list that could not be read would replace entries nobody read: the edit fails instead.
TEST_F(FilterListTest, AListThatExistsButCannotBeReadIsNeverWritten)
{
    usbNode().SetMultiString(CM_DRP_LOWERFILTERS, {u"Precious", u"Kavfiltr"});
    usbNode().unreadableProperties.insert(CM_DRP_LOWERFILTERS);
    EXPECT_FALSE(Add(usbNode()));
    EXPECT_FALSE(Remove(usbNode()));
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(usbNode().GetMultiString(CM_DRP_LOWERFILTERS),
              (std::vector<WString>{u"Precious", u"Kavfiltr"}));
}

TEST_F(FilterListTest, AFailedWriteOrDeleteIsReported)
{
    usbNode().unwritableProperties.insert(CM_DRP_LOWERFILTERS);
    EXPECT_FALSE(Add(usbNode()));
    usbNode().SetMultiString(CM_DRP_LOWERFILTERS, {u"Kavfiltr"});
    EXPECT_FALSE(Remove(usbNode()));
    EXPECT_TRUE(usbNode().HasProperty(CM_DRP_LOWERFILTERS));
}

TEST_F(FilterListTest, ListWithoutNonEmptyEntryIsNotWrittenAndNodeZeroHasNoList)
{
    EXPECT_FALSE(Kavelor::SetDevNodeStringList(usbNode().handle, CM_DRP_LOWERFILTERS, {u"", u""}));
    EXPECT_TRUE(Kavelor::SetDevNodeStringList(usbNode().handle, CM_DRP_LOWERFILTERS, {u"", u"A", u""}));
    EXPECT_EQ(Stored(usbNode(), CM_DRP_LOWERFILTERS), MultiStringBytes({u"A"}));
    machine_.propertyWrites.clear();
    EXPECT_TRUE(RemoveDevNodeListEntry(0, CM_DRP_LOWERFILTERS, u"Kavfiltr"));
    EXPECT_TRUE(Writes().empty());
    EXPECT_FALSE(AddDevNodeListEntry(0, CM_DRP_LOWERFILTERS, u"Kavfiltr")); // the platform refuses node 0
}
} // namespace
