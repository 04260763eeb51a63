// The texts Kavelor's list and dialogs show, checked against its own string table: the byte sizes at every
// example and unit boundary, the message for every exit code Kavset can end with (and none when Kavset
// never ran, a message when the worker that would run it could not be created), Kavset's command line, the
// list's items with their overlays and order, and the property dialog's values, a drive without medium
// included.
#include "enumlib/FilterState.h"
#include "enumlib/WideString.h"
#include "trayapp/DriveListItem.h"
#include "trayapp/FormatByteSize.h"
#include "trayapp/KavsetJob.h"
#include "trayapp/PropertyValues.h"
#include "trayapp/res/resource.h"

#include "tests/support/kavelor_window_fakes.h"
#include "tests/trayapp/trayapp_fixture.h"

#include <cstdint>
#include <string>

namespace
{
using namespace kavtest;
using Kavelor::CKavsetJob;
using Kavelor::CUSBEnumerateExData;
using Kavelor::FormatByteSize;

const char16_t kMarker[] = u"USB 大容量記憶装置（Kavelor 有効）";

class WindowTextsTest : public TrayAppTest
{
protected:
    WindowTextsTest()
    {
        HostController& controller =
            AddController(machine_, u"PCI\\VEN_8086&DEV_293A\\3&21436425&0&EF", 0, true);
        hub_ = controller.rootHub;
    }

    Kavelor::WString Text(UINT id) { return W(desktop_->strings.at(id).c_str()); }

    // A card reader: a stick with a second unit, each with its drive letter.
    UsbDevice& AddReader(ULONG port, const char16_t* serial, char16_t first, char16_t second)
    {
        UsbDevice& reader = AddStick(machine_, *hub_, port, kVid, kPid, serial, {first});
        LunParams unit;
        unit.letters = {second};
        machine_.AddLun(reader, unit);
        return reader;
    }

    void Enable(UsbDevice& device, bool storage)
    {
        device.devNode->SetMultiString(CM_DRP_LOWERFILTERS, {u"Kavfiltr"});
        device.devNode->SetString(CM_DRP_FRIENDLYNAME, kMarker);
        for (auto& lun : device.luns)
        {
            if (storage)
            {
                lun->disk->SetMultiString(CM_DRP_UPPERFILTERS, {u"Kavfiltr"});
            }
        }
    }

    Hub* hub_ = nullptr;
};

TEST(FormatByteSizeTest, ThreeDigitsAndTheUnitAtEveryExampleAndBoundary)
{
    struct Case
    {
        uint64_t bytes;
        const char16_t* text;
    } cases[] = {
        {0, u"0バイト"},         {999, u"999バイト"},         {1000, u"0.97KB"},
        {1024, u"1.00KB"},       {10239, u"9.99KB"},          {10240, u"10.0KB"},
        {15350, u"15.0KB"},   // 14.99 rounded by the one-decimal format
        {102399, u"100.0KB"}, // 99.99, rounded by the one-decimal format as well
        {102400, u"100KB"},      {1023999, u"999KB"},         {1024000, u"0.97MB"},
        {1048575, u"0.99MB"},    {16000000000ull, u"14.9GB"}, {1ull << 40, u"1.00TB"},
        {1ull << 50, u"1.00PB"}, {1ull << 60, u"1.00EB"},     {UINT64_MAX, u"16.0EB"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(FormatByteSize(c.bytes), W(c.text)) << c.bytes;
    }
}

// Only 0 is silent: a code Kavset never ends with (a crash, a process ended from outside) or one that cannot
// be read must not look like success.
TEST_F(WindowTextsTest, EveryExitCodeOfKavsetButZeroHasItsMessage)
{
    std::map<DWORD, UINT> messages = {{0, 0},
                                      {1, IDS_SETTING_FAILED},
                                      {2, IDS_ADMIN_REQUIRED},
                                      {3, IDS_STORAGE_IN_USE},
                                      {10, IDS_ENABLE_FAILED},
                                      {20, IDS_DISABLE_FAILED}};
    std::vector<DWORD> codes;
    for (DWORD code = 0; code <= 25; ++code)
    {
        codes.push_back(code);
    }
    codes.insert(codes.end(), {259, 0x7FFFFFFF, 0xC0000005, 0xFFFFFFFF});
    CUSBEnumerateExData device;
    device.treeDevice.data.strDeviceInstanceId = W(u"USB\\VID_3A7E&PID_1201\\KV0012345678");
    for (DWORD code : codes)
    {
        CKavsetJob job(nullptr, Kavelor::KAVSET_MODE_ENABLE, device);
        FakeLauncher kavset;
        kavset.exitCode = code;
        job.RunKavset(kavset);
        EXPECT_EQ(job.m_bStarted, 1);
        EXPECT_EQ(kavset.shown, 1);
        auto expected = messages.find(code);
        UINT nTextId = expected == messages.end() ? IDS_SETTING_FAILED : expected->second;
        if (nTextId == 0)
        {
            EXPECT_TRUE(job.m_strMessage.empty()) << code;
            EXPECT_EQ(job.m_nMessageType, 0u) << code;
        }
        else
        {
            EXPECT_EQ(job.m_strMessage, Text(nTextId)) << code;
            EXPECT_EQ(job.m_nMessageType, MB_ICONEXCLAMATION) << code;
        }
    }
    CKavsetJob unread(nullptr, Kavelor::KAVSET_MODE_DISABLE, device);
    FakeLauncher kavset;
    kavset.readable = false;
    unread.RunKavset(kavset);
    EXPECT_EQ(unread.m_strMessage, Text(IDS_SETTING_FAILED));
    EXPECT_EQ(unread.m_nMessageType, MB_ICONEXCLAMATION);
    EXPECT_NE(Text(IDS_STORAGE_IN_USE).find(W(u"完了していません。\n\nストレージ")), Kavelor::WString::npos)
        << "the first line, an empty line, then the advice";
    EXPECT_NE(Text(IDS_STORAGE_IN_USE).find(W(u"使用していると思われるプログラムまたはウィンドウを閉じ、")),
              Kavelor::WString::npos);
}

TEST_F(WindowTextsTest, KavsetBesideTheProgramGetsTheSwitchAndTheUsbNodesId)
{
    CUSBEnumerateExData device;
    device.treeDevice.data.strDeviceInstanceId = W(u"USB\\VID_3A7E&PID_1201\\KV0012345678");
    device.treeDevice.AppendChild({})->data.strDeviceInstanceId = W(u"USBSTOR\\DISK&VEN_KAV\\7&1&0");

    CKavsetJob enable(nullptr, Kavelor::KAVSET_MODE_ENABLE, device);
    FakeLauncher kavset;
    enable.RunKavset(kavset);
    EXPECT_EQ(kavset.file, W(u"C:\\Program Files\\Kavelor\\Kavset.exe"));
    EXPECT_EQ(kavset.parameters, W(u"/Reg USB\\VID_3A7E&PID_1201\\KV0012345678"));

    CKavsetJob disable(nullptr, Kavelor::KAVSET_MODE_DISABLE, device);
    EXPECT_EQ(disable.GetParameters(), W(u"/Unreg USB\\VID_3A7E&PID_1201\\KV0012345678"));

    // The working dialog lets itself be shown only once the job says Kavset runs: the job says so after
    // the start succeeded and before the dialog is shown.
    struct OrderLauncher : FakeLauncher
    {
        BOOL Start(const Kavelor::WString& file, const Kavelor::WString& parameters) override
        {
            atStart = job->m_bStarted;
            return FakeLauncher::Start(file, parameters);
        }
        void OnStarted() override
        {
            atShow = job->m_bStarted;
            FakeLauncher::OnStarted();
        }
        CKavsetJob* job = nullptr;
        int atStart = -1;
        int atShow = -1;
    } ordered;
    CKavsetJob watched(nullptr, Kavelor::KAVSET_MODE_ENABLE, device);
    ordered.job = &watched;
    watched.RunKavset(ordered);
    EXPECT_EQ(ordered.atStart, 0);
    EXPECT_EQ(ordered.atShow, 1);

    // Missing, or elevation refused: never shown, nothing to say.
    FakeLauncher refused;
    refused.startable = false;
    disable.RunKavset(refused);
    EXPECT_EQ(disable.m_bStarted, 0);
    EXPECT_EQ(refused.shown, 0);
    EXPECT_TRUE(disable.m_strMessage.empty());

    // No worker to run Kavset: the dialog closes and the user hears that nothing was set.
    CKavsetJob orphan(nullptr, Kavelor::KAVSET_MODE_ENABLE, device);
    orphan.OnWorkerNotCreated();
    EXPECT_EQ(orphan.m_strMessage, Text(IDS_SETTING_FAILED));
    EXPECT_EQ(orphan.m_nMessageType, MB_ICONEXCLAMATION);
}

TEST_F(WindowTextsTest, OneItemPerDriveLetterWithTheDevicesOverlayInWalkOrder)
{
    // A card reader: two units, a letter each.
    AddReader(1, u"OFF1", u'E', u'G');
    UsbDevice& partial = AddStick(machine_, *hub_, 2, kVid, kPid, u"PART2", {u'H'});
    UsbDevice& on = AddStick(machine_, *hub_, 3, kVid, kPid, u"ON3", {u'F'});
    AddStick(machine_, *hub_, 4, kVid, kPid, u"NOLETTER4");
    Enable(partial, false);
    Enable(on, true);

    Kavelor::CUSBEnumerateExList devices = FakeScan::Enumerate();
    ASSERT_EQ(devices.size(), 4u);
    std::vector<Kavelor::CDriveListItem> items = Kavelor::MakeDriveListItems(devices);
    ASSERT_EQ(items.size(), 4u) << "a device without letter has no item";
    struct Expected
    {
        const char16_t* text;
        int overlay;
    } expected[] = {{u"(E:)", 1}, {u"(G:)", 1}, {u"(H:)", 2}, {u"(F:)", 0}};
    for (size_t at = 0; at < items.size(); ++at)
    {
        EXPECT_EQ(items[at].strText, W(expected[at].text)) << at;
        EXPECT_EQ(items[at].nOverlay, expected[at].overlay) << at;
    }
    // Both letters of one device lead back to that device's record.
    const Kavelor::CUSBEnumerateExTree& first = devices.front().treeDevice;
    EXPECT_NE(items[0].dnDevInst, items[1].dnDevInst) << "each item carries its own node";
    int found = 0;
    for (const auto* node = &first; node != nullptr; node = node->NextPreOrder())
    {
        found += node->data.dnDevInst == items[0].dnDevInst || node->data.dnDevInst == items[1].dnDevInst;
    }
    EXPECT_EQ(found, 2);
    EXPECT_EQ(Kavelor::OverlayForFilterState(Kavelor::FILTER_STATE_NOT_TARGET), 0);
}

// A refill after a new scan finds the selected drive again by its device's USB node and its letter, the
// case of the letter aside, wherever other sticks moved it to; a drive no longer listed is no selection.
TEST_F(WindowTextsTest, TheSelectedDriveIsFoundAgainAfterTheDevicesChanged)
{
    UsbDevice& reader = AddReader(2, u"READER2", u'E', u'F');
    std::vector<Kavelor::CDriveListItem> before = Kavelor::MakeDriveListItems(FakeScan::Enumerate());
    ASSERT_EQ(before.size(), 2u);
    Kavelor::CDriveListItem selected = before[1];
    ASSERT_EQ(selected.strText, W(u"(F:)"));
    EXPECT_EQ(selected.strDeviceId, reader.devNode->instanceId);

    UsbDevice& other = AddReader(1, u"NEW1", u'G', u'H');
    std::vector<Kavelor::CDriveListItem> after = Kavelor::MakeDriveListItems(FakeScan::Enumerate());
    ASSERT_EQ(after.size(), 4u);
    int at = Kavelor::FindSameDriveListItem(after, selected);
    ASSERT_EQ(at, 3) << "behind the new stick's two drives";
    EXPECT_EQ(after[3].dnDevInst, selected.dnDevInst);
    Kavelor::CDriveListItem otherDevice = selected;
    otherDevice.strDeviceId = other.devNode->instanceId;
    otherDevice.chDriveLetter = u'E';
    EXPECT_EQ(Kavelor::FindSameDriveListItem(after, otherDevice), -1)
        << "E: is the reader's, not the new stick's";

    Kavelor::CDriveListItem lower = selected;
    lower.chDriveLetter = u'f';
    lower.strDeviceId = Kavelor::ToUpper(lower.strDeviceId);
    EXPECT_EQ(Kavelor::FindSameDriveListItem(after, lower), 3);
    machine_.Unplug(reader);
    EXPECT_EQ(Kavelor::FindSameDriveListItem(Kavelor::MakeDriveListItems(FakeScan::Enumerate()), selected),
              -1);
}

// The fixed labels of the property dialog as its template in the resources has them (the speed-up group's
// come from the string table).
TEST(PropertyDialogTest, TheUsbGroupLabelsTheVendorAndProductIds)
{
    std::vector<std::string> labels;
    for (const std::string& line : KavelorDialogLines("IDD_PROPERTIES"))
    {
        size_t label = line.find("LTEXT \"");
        if (label != std::string::npos && line.find("IDC_STATIC") != std::string::npos)
        {
            size_t begin = label + 7;
            labels.push_back(line.substr(begin, line.find('"', begin) - begin));
        }
    }
    EXPECT_EQ(labels, (std::vector<std::string>{"ボリューム名", "ファイルシステム", "容量", "Kavelor",
                                                "VendorID", "ProductID"}));
}

TEST_F(WindowTextsTest, ThePropertyValuesOfADriveWithAndWithoutMedium)
{
    UsbDevice& stick = AddStick(machine_, *hub_, 1, kVid, kPid, u"PROP1", {u'E'});
    Enable(stick, true);
    Kavelor::CUSBEnumerateExList devices = FakeScan::Enumerate();
    ASSERT_EQ(devices.size(), 1u);

    Kavelor::CVolumeFacts facts;
    facts.strDisplayName = W(u"KAVSTICK (E:)");
    facts.strFileSystem = W(u"FAT32");
    facts.ullTotalBytes = 16000000000ull;
    Kavelor::CPropertyValues values = Kavelor::MakePropertyValues(nullptr, devices.front(), u'E', facts);
    EXPECT_EQ(values.strCaption, W(u"KAVSTICK (E:)のプロパティ"));
    EXPECT_EQ(values.strVolumeName, W(u"")) << "no label";
    EXPECT_EQ(values.strFileSystem, W(u"FAT32"));
    EXPECT_EQ(values.strCapacity, W(u"14.9GB"));
    EXPECT_EQ(values.strKavelorState, Text(IDS_STATE_ENABLED));
    EXPECT_EQ(values.strVendorId, W(u"0x3A7E"));
    EXPECT_EQ(values.strProductId, W(u"0x1202"));

    // No medium: the system reports nothing.
    stick.luns[0]->disk->RemoveProperty(CM_DRP_UPPERFILTERS);
    Kavelor::CPropertyValues empty = Kavelor::MakePropertyValues(nullptr, devices.front(), u'E', {});
    EXPECT_EQ(empty.strCaption, W(u"(E:)のプロパティ"));
    EXPECT_EQ(empty.strVolumeName, W(u""));
    EXPECT_EQ(empty.strFileSystem, Text(IDS_UNKNOWN_FILE_SYSTEM));
    EXPECT_EQ(empty.strCapacity, W(u"0バイト"));
    EXPECT_EQ(empty.strKavelorState, Text(IDS_STATE_DISABLED)) << "storage filter lost";

    CUSBEnumerateExData handMade;
    handMade.wVendorId = 0x1a2b;
    handMade.wProductId = 0x000f;
    Kavelor::CPropertyValues ids = Kavelor::MakePropertyValues(nullptr, handMade, u'E', facts);
    EXPECT_EQ(ids.strVendorId, W(u"0x1A2B"));
    EXPECT_EQ(ids.strProductId, W(u"0x000F"));
    EXPECT_EQ(ids.strKavelorState, Text(IDS_STATE_DISABLED));
}
} // namespace
