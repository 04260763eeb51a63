// The comparison that decides whether the main window refills its list: equal results compare equal, and
// every kind of change a rescan can bring is seen — a string's case, a filter list's order, a status
// flag, a node gained or moved, a record's order in the list.
#include "trayapp/ScanResultCompare.h"

#include "tests/trayapp/trayapp_fixture.h"

namespace
{
using namespace kavtest;
using Kavelor::CUSBEnumerateExData;
using Kavelor::CUSBEnumerateExList;
using Kavelor::CUSBEnumerateExTreeData;
using Kavelor::IsSameResult;

CUSBEnumerateExData Stick(WORD wProductId)
{
    CUSBEnumerateExData record;
    record.wVendorId = 0x3A7E;
    record.wProductId = wProductId;
    record.strSerialNumber = W(u"A1B2");
    record.treeDevice.data.strDeviceInstanceId = W(u"USB\\VID_3A7E&PID_1202\\A1B2");
    record.treeDevice.data.lstLowerFilters = {W(u"Kavfiltr")};
    CUSBEnumerateExTreeData disk;
    disk.strDeviceInstanceId = W(u"USBSTOR\\DISK&VEN_KAVLAB\\A1B2&0");
    disk.lstUpperFilters = {W(u"Kavfiltr"), W(u"PartMgr")};
    disk.chDriveLetter = u'E';
    record.treeDevice.AppendChild(disk);
    return record;
}

TEST(ScanResultCompare, EqualResultsAreTheSameAndEveryFieldCounts)
{
    CUSBEnumerateExList shown{Stick(0x1202), Stick(0x1203)};
    CUSBEnumerateExList scanned = shown;
    EXPECT_TRUE(IsSameResult(shown, scanned));
    EXPECT_TRUE(IsSameResult(CUSBEnumerateExList(), CUSBEnumerateExList()));

    auto changed = [&](auto change) {
        CUSBEnumerateExList copy = shown;
        change(copy.back());
        return !IsSameResult(shown, copy);
    };
    EXPECT_TRUE(changed([](CUSBEnumerateExData& r) { r.wProductId = 0x1204; }));
    EXPECT_TRUE(changed([](CUSBEnumerateExData& r) { r.strSerialNumber = W(u"a1b2"); }));
    EXPECT_TRUE(changed([](CUSBEnumerateExData& r) { r.strLocation = W(u"Port_#0001.Hub_#0001"); }));
    EXPECT_TRUE(changed([](CUSBEnumerateExData& r) { r.treeDevice.children[0].data.chDriveLetter = u'F'; }));
    EXPECT_TRUE(changed([](CUSBEnumerateExData& r) {
        r.treeDevice.children[0].data.lstUpperFilters = {W(u"PartMgr"), W(u"Kavfiltr")};
    }));
    EXPECT_TRUE(changed([](CUSBEnumerateExData& r) { r.treeDevice.data.lstLowerFilters.clear(); }));
    EXPECT_TRUE(changed([](CUSBEnumerateExData& r) { r.treeDevice.children[0].data.ulStatus = 0x400; }));
    EXPECT_TRUE(changed([](CUSBEnumerateExData& r) { r.treeDevice.children[0].data.ulProblemNumber = 10; }));
    EXPECT_TRUE(changed([](CUSBEnumerateExData& r) { r.treeDevice.data.strFriendlyName = W(u"Kavelor"); }));
    EXPECT_TRUE(changed([](CUSBEnumerateExData& r) { r.treeDevice.AppendChild(CUSBEnumerateExTreeData()); }));
}

TEST(ScanResultCompare, OrderAndShapeMatter)
{
    CUSBEnumerateExList shown{Stick(0x1202), Stick(0x1203)};
    CUSBEnumerateExList reversed{Stick(0x1203), Stick(0x1202)};
    EXPECT_FALSE(IsSameResult(shown, reversed));
    EXPECT_FALSE(IsSameResult(shown, CUSBEnumerateExList{Stick(0x1202)}));

    // The same nodes, one moved a level down: the payloads agree in pre-order but the shape does not.
    CUSBEnumerateExData flat = Stick(0x1202);
    flat.treeDevice.AppendChild(CUSBEnumerateExTreeData());
    CUSBEnumerateExData deep = Stick(0x1202);
    deep.treeDevice.children[0].AppendChild(CUSBEnumerateExTreeData());
    EXPECT_FALSE(IsSameResult({flat}, {deep}));

    // A root with a parent is not a root.
    CUSBEnumerateExData child = Stick(0x1202);
    CUSBEnumerateExData parentless = Stick(0x1202);
    child.treeDevice.pParent = &parentless.treeDevice;
    EXPECT_FALSE(Kavelor::IsSameTree(child.treeDevice, parentless.treeDevice));
}
} // namespace
