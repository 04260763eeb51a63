// The property dialog's speed-up group on the simulated PC: the counts Kavfiltr leaves under the USB node's
// hardware key (written here where the driver's own writes land, by instance path) are summed over the
// device's units and shown as the share of commands saved and the bytes served from the read-ahead; a device
// that is not filtered, whose driver does not run, or that has not been read or written yet shows a note
// instead of numbers; the share never divides by zero, never rounds a partial saving up to 100.0% and stays
// short for counts nobody's driver would write; a user without administrator rights reads them; every key
// the reads open is closed again.
#include "driver/kavfiltr_counters.h"
#include "trayapp/PropertyValues.h"
#include "trayapp/ResourceText.h"
#include "trayapp/res/resource.h"

#include "tests/support/kavelor_window_fakes.h"
#include "tests/trayapp/trayapp_fixture.h"
#include "winsim/registry/registry_store.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace
{
using namespace kavtest;
using Kavelor::CSpeedUpValues;
using Kavelor::FormatCommandsSaved;

const char16_t kMarker[] = u"USB 大容量記憶装置（Kavelor 有効）";

class PropertySpeedUpTest : public TrayAppTest
{
protected:
    PropertySpeedUpTest()
    {
        winsim::registry::Reset();
        HostController& controller =
            AddController(machine_, u"PCI\\VEN_8086&DEV_293A\\3&21436425&0&EF", 0, true);
        hub_ = controller.rootHub;
        machine_.AddService({u"Kavfiltr", 1, 3, u"\\SystemRoot\\System32\\drivers\\Kavfiltr.sys"});
    }
    ~PropertySpeedUpTest() override { winsim::registry::Reset(); }

    Kavelor::WString Text(UINT id) { return W(desktop_->strings.at(id).c_str()); }

    // A card reader with two units, registered for the speed-up on the USB node and both disks.
    UsbDevice& AddEnabledReader(ULONG port, const char16_t* serial)
    {
        UsbDevice& reader = AddStick(machine_, *hub_, port, kVid, kPid, serial, {u'E'});
        LunParams second;
        second.letters = {u'F'};
        machine_.AddLun(reader, second);
        reader.devNode->SetMultiString(CM_DRP_LOWERFILTERS, {u"Kavfiltr"});
        reader.devNode->SetString(CM_DRP_FRIENDLYNAME, kMarker);
        for (auto& lun : reader.luns)
        {
            lun->disk->SetMultiString(CM_DRP_UPPERFILTERS, {u"Kavfiltr"});
        }
        return reader;
    }

    // A value where the driver stores it: <hardware key>\Kavfiltr\<unit>.
    static void Publish(const UsbDevice& device, const char16_t* unit, const WCHAR* name, uint64_t count,
                        DWORD type = REG_QWORD, size_t bytes = 8)
    {
        winsim::registry::Value value;
        value.type = type;
        const uint8_t* raw = reinterpret_cast<const uint8_t*>(&count);
        value.data.assign(raw, raw + (bytes < 8 ? bytes : 8));
        value.data.resize(bytes, 0);
        winsim::registry::Write(device.devNode->instanceId, WString(u"Kavfiltr\\") + unit,
                                reinterpret_cast<const char16_t*>(name), value);
    }

    // What one unit counted: class reads and writes, device reads and writes, bytes from the read-ahead.
    static void PublishUnit(const UsbDevice& device, const char16_t* unit, std::vector<uint64_t> counts)
    {
        const WCHAR* names[] = {KAVFILTR_CLASS_READ_COMMANDS, KAVFILTR_CLASS_WRITE_COMMANDS,
                                KAVFILTR_DEVICE_READ_COMMANDS, KAVFILTR_DEVICE_WRITE_COMMANDS,
                                KAVFILTR_CACHED_BYTES};
        for (size_t at = 0; at < counts.size(); ++at)
        {
            Publish(device, unit, names[at], counts[at]);
        }
    }

    Kavelor::CUSBEnumerateExData Record()
    {
        Kavelor::CUSBEnumerateExList devices = FakeScan::Enumerate();
        EXPECT_EQ(devices.size(), 1u);
        return devices.front();
    }

    CSpeedUpValues Show(const Kavelor::CUSBEnumerateExData& record)
    {
        size_t open = machine_.OpenHandleCount();
        CSpeedUpValues values = Kavelor::MakeSpeedUpValues(nullptr, record);
        EXPECT_EQ(machine_.OpenHandleCount(), open) << "a set or key of the read left open";
        return values;
    }

    void ExpectNote(const CSpeedUpValues& values, UINT id, const char* why)
    {
        EXPECT_EQ(values.strNote, Text(id)) << why;
        EXPECT_TRUE(values.strCommandsSaved.empty()) << why;
        EXPECT_TRUE(values.strCachedData.empty()) << why;
    }

    Hub* hub_ = nullptr;
};

TEST(CommandsSavedTest, TruncatedTowardZeroAndBoundedWhateverTheCounts)
{
    struct Case
    {
        uint64_t classCommands;
        uint64_t deviceCommands;
        const char* text;
    } cases[] = {
        {3, 1, "66.6%"},             // 66.66…: truncated, as the byte sizes are
        {3, 0, "100.0%"},            // every command answered without the device
        {10000, 1, "99.9%"},         // one command reached the device: never shown as all saved
        {2, 2, "0.0%"},              // nothing saved
        {10000, 10001, "0.0%"},      // a hundredth of a percent lost: no "-0.0%"
        {1000, 1001, "-0.1%"},       // the read-aheads cost more than they saved
        {1, UINT64_MAX, "-1000.0%"}, // a count no driver writes still gives a short text
        {UINT64_MAX, UINT64_MAX / 4, "75.0%"},
        {UINT64_MAX, 0, "100.0%"},
        {(1ull << 40) + 1, 1ull << 40, "0.0%"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(FormatCommandsSaved(c.classCommands, c.deviceCommands), Kavelor::WidenAscii(c.text))
            << c.classCommands << " " << c.deviceCommands;
    }
}

// Two units, as a card reader has: the share and the bytes are the device's, all units together; a value
// of another type or size than the driver writes is not a count; the next read shows the counts as they
// are then, as the dialog's timer does. Kavelor runs as the user who logged on: no administrator rights.
TEST_F(PropertySpeedUpTest, TheDevicesUnitsAreSummedForAUserWithoutAdministratorRights)
{
    machine_.security.administrators = false;
    UsbDevice& reader = AddEnabledReader(1, u"SUM1");
    PublishUnit(reader, u"0", {600, 200, 100, 25, 40ull << 20});
    PublishUnit(reader, u"1", {150, 50, 50, 25, 24ull << 20});
    Kavelor::CUSBEnumerateExData record = Record();

    CSpeedUpValues values = Show(record);
    EXPECT_EQ(values.strCommandsSaved, W(u"80.0%")) << "1 - 200 / 1000";
    EXPECT_EQ(values.strCachedData, W(u"64.0MB"));
    EXPECT_TRUE(values.strNote.empty());

    // Values that are not the driver's REG_QWORD counts: ignored, not read as garbage.
    Publish(reader, u"1", KAVFILTR_DEVICE_READ_COMMANDS, 5000, REG_DWORD, 4);
    Publish(reader, u"0", KAVFILTR_CACHED_BYTES, 1ull << 40, REG_BINARY, 16);
    Publish(reader, u"0", KAVFILTR_DEVICE_WRITE_COMMANDS, 5000, REG_QWORD, 4);
    Publish(reader, u"1", KAVFILTR_DEVICE_WRITE_COMMANDS, 5000, REG_BINARY, 8);
    values = Show(record);
    EXPECT_EQ(values.strCommandsSaved, W(u"90.0%")) << "1 - (100 + 0 + 0 + 0) / 1000";
    EXPECT_EQ(values.strCachedData, W(u"24.0MB"));

    // The highest unit number a device can have counts too; a key beyond it is not the driver's.
    PublishUnit(reader, u"15", {1000, 0, 0, 0, 0});
    PublishUnit(reader, u"16", {1000000, 0, 1000000, 0, 1ull << 50});
    values = Show(record);
    EXPECT_EQ(values.strCommandsSaved, W(u"95.0%")) << "1 - 100 / 2000";
    EXPECT_EQ(values.strCachedData, W(u"24.0MB"));

    // Counts that add up past 64 bits stop at the largest value instead of starting again near 0.
    Publish(reader, u"0", KAVFILTR_CACHED_BYTES, UINT64_MAX);
    values = Show(record);
    EXPECT_EQ(values.strCachedData, W(u"16.0EB"));
}

// Counts left from a time the device was filtered are not its speed-up now; a filtered device whose driver
// cannot run (its service gone, its node with a problem or not started, or the device unplugged) has none.
TEST_F(PropertySpeedUpTest, NoNumbersWhereTheDeviceIsNotFilteredOrItsDriverDoesNotRun)
{
    UsbDevice& reader = AddEnabledReader(1, u"STATE1");
    PublishUnit(reader, u"0", {100, 0, 10, 0, 4096});
    Kavelor::CUSBEnumerateExData record = Record();
    ASSERT_TRUE(Show(record).strNote.empty()) << "filtered and running: numbers";

    reader.luns[1]->disk->RemoveProperty(CM_DRP_UPPERFILTERS);
    ExpectNote(Show(record), IDS_SPEEDUP_OFF, "one unit's storage filter lost");
    reader.devNode->RemoveProperty(CM_DRP_LOWERFILTERS);
    ExpectNote(Show(record), IDS_SPEEDUP_OFF, "no filter at all");
    reader.luns[1]->disk->SetMultiString(CM_DRP_UPPERFILTERS, {u"Kavfiltr"});
    reader.devNode->SetMultiString(CM_DRP_LOWERFILTERS, {u"Kavfiltr"});

    reader.devNode->status |= DN_HAS_PROBLEM;
    reader.devNode->problem = CM_PROB_FAILED_DRIVER_ENTRY;
    ExpectNote(Show(record), IDS_SPEEDUP_NO_DRIVER, "the driver failed to load for the device");
    reader.devNode->status &= ~ULONG(DN_HAS_PROBLEM);
    reader.devNode->problem = 0;
    reader.devNode->status &= ~ULONG(DN_STARTED);
    ExpectNote(Show(record), IDS_SPEEDUP_NO_DRIVER, "the node is not started");
    reader.devNode->status |= DN_STARTED;

    machine_.RemoveService(u"Kavfiltr");
    ExpectNote(Show(record), IDS_SPEEDUP_NO_DRIVER, "the service is not installed");
    machine_.AddService({u"Kavfiltr", 1, 3, u"\\SystemRoot\\System32\\drivers\\Kavfiltr.sys"});
    ASSERT_TRUE(Show(record).strNote.empty());

    machine_.Unplug(reader);
    EXPECT_FALSE(Show(record).strNote.empty()) << "a device that left has no counts to follow";
    EXPECT_TRUE(Show(record).strCommandsSaved.empty());
}

// The driver runs and the device is filtered, but it has not counted a command yet: a note, not 0% or a
// division by zero, however far the driver's keys exist.
TEST_F(PropertySpeedUpTest, AFilteredDeviceWithoutCommandsYetSaysSo)
{
    UsbDevice& reader = AddEnabledReader(1, u"FRESH1");
    Kavelor::CUSBEnumerateExData record = Record();
    ExpectNote(Show(record), IDS_SPEEDUP_NO_DATA, "no key of the driver");

    winsim::registry::CreateKey(reader.devNode->instanceId, u"Kavfiltr");
    ExpectNote(Show(record), IDS_SPEEDUP_NO_DATA, "the driver's key without units");

    winsim::registry::CreateKey(reader.devNode->instanceId, u"Kavfiltr\\0");
    ExpectNote(Show(record), IDS_SPEEDUP_NO_DATA, "a unit without values");

    PublishUnit(reader, u"0", {0, 0, 3, 0, 0});
    ExpectNote(Show(record), IDS_SPEEDUP_NO_DATA, "the driver's own read-aheads, no command of the class");
    Publish(reader, u"0", KAVFILTR_CLASS_READ_COMMANDS, 3);
    CSpeedUpValues first = Show(record);
    EXPECT_EQ(first.strCommandsSaved, W(u"0.0%"));
    EXPECT_EQ(first.strCachedData, W(u"0バイト"));
    EXPECT_TRUE(first.strNote.empty());
}

// The dialog writes the speed-up group's texts by control identifier: each control stands in the template.
TEST(PropertyDialogTest, TheSpeedUpGroupsControlsStandInTheTemplate)
{
    std::set<std::string> controls;
    for (const std::string& line : KavelorDialogLines("IDD_PROPERTIES"))
    {
        size_t id = line.find("IDC_");
        if (id != std::string::npos)
        {
            controls.insert(line.substr(id, line.find(',', id) - id));
        }
    }
    for (const char* control : {"IDC_SPEEDUP_GROUP", "IDC_SPEEDUP_SAVED_LABEL", "IDC_COMMANDS_SAVED",
                                "IDC_SPEEDUP_CACHED_LABEL", "IDC_CACHED_DATA", "IDC_SPEEDUP_NOTE"})
    {
        EXPECT_EQ(controls.count(control), 1u) << control;
    }
}
} // namespace
