// Kavset's main sequence on the simulated PC, from the command line as the runtime splits it to the exit
// code: the switches and their arguments, finding the device by any node's instance ID, what Reg and Unreg
// write, take back and restart, and bad input that must end in its exit code with nothing half-written.
#include "tests/regtool/regtool_fixture.h"

#include "regtool/CmdLineParam.h"

#include "enumlib/FilterState.h"

namespace
{
using namespace kavtest;
using namespace Kavelor;

using Lines = std::vector<std::string>;

class KavsetFlowTest : public KavsetMachineTest
{
protected:
    // Kavset started with this command line (after the program name, as the tray application builds it).
    int Run(const std::u16string& arguments)
    {
        ScopedCommandLine commandLine(u"\"C:\\Program Files\\Kavelor\\Kavset.exe\" " + arguments);
        return KavsetMain();
    }

    std::u16string UsbId() { return usbNode().instanceId; }

    static CCmdLineParam Parsed(const std::u16string& commandLine)
    {
        ScopedCommandLine installed(commandLine);
        CCmdLineParam param;
        param.Parse();
        return param;
    }
};

TEST_F(KavsetFlowTest, TheLastSwitchDecidesAndArgumentsCountAfterARecognisedOne)
{
    struct Case
    {
        const char16_t* commandLine;
        int mode;
        std::vector<WString> params;
    } cases[] = {
        {u"Kavset.exe", CMD_NONE, {}},
        {u"Kavset.exe /Reg ID", CMD_REG, {u"ID"}},
        {u"Kavset.exe -UNREG ID", CMD_UNREG, {u"ID"}},
        {u"Kavset.exe /reg", CMD_REG, {}},
        {u"Kavset.exe ID /Reg", CMD_REG, {}},
        {u"Kavset.exe /Unreg ID /Reg", CMD_REG, {u"ID"}},
        {u"Kavset.exe /Reg A /Reg B", CMD_REG, {u"A", u"B"}},
        {u"Kavset.exe /Reg ID /X", CMD_NONE, {u"ID"}},
        {u"Kavset.exe /Reg ID /", CMD_NONE, {u"ID"}},
        {u"Kavset.exe /Regx ID", CMD_NONE, {}},
        {u"Kavset.exe -uninstall", CMD_UNINSTALL, {}},
        {u"/Reg ID", CMD_REG, {u"ID"}}, // the program's own path goes through the loop too
        {u"Kavset.exe /Reg \"USB\\VID_1&PID_2\\A B\"", CMD_REG, {u"USB\\VID_1&PID_2\\A B"}},
        {u"Kavset.exe /Reg USB\\VID_1&PID_2\\A B", CMD_REG, {u"USB\\VID_1&PID_2\\A", u"B"}},
    };
    for (const Case& c : cases)
    {
        CCmdLineParam param = Parsed(c.commandLine);
        EXPECT_EQ(param.m_mode, c.mode) << Narrow(c.commandLine);
        EXPECT_EQ(param.m_params, c.params) << Narrow(c.commandLine);
    }
}

TEST_F(KavsetFlowTest, CommandLinesWithoutACommandOrWithTheWrongArgumentsEndBeforeEnumerating)
{
    struct Case
    {
        std::u16string arguments;
        int exitCode;
    } cases[] = {
        {u"", EXIT_NO_COMMAND},
        {u"/Enable " + UsbId(), EXIT_NO_COMMAND},
        {u"/Reg " + UsbId() + u" /Bogus", EXIT_NO_COMMAND},
        {u"/", EXIT_NO_COMMAND},
        {u"/Reg", EXIT_REG_FAILED},
        {u"/Unreg", EXIT_UNREG_FAILED},
        {u"/Reg " + UsbId() + u" " + UsbId(), EXIT_REG_FAILED},
        {u"/Reg " + UsbId() + u" /Reg " + UsbId(), EXIT_REG_FAILED},
        {UsbId() + u" /Reg", EXIT_REG_FAILED},
        // An ID after the uninstaller's switch is a mistaken Unreg: nothing may be taken off.
        {u"/Uninstall " + UsbId(), EXIT_UNINSTALL_FAILED},
    };
    for (const Case& c : cases)
    {
        size_t opened = machine_.HandlesOpenedTotal();
        EXPECT_EQ(Run(c.arguments), c.exitCode) << Narrow(c.arguments);
        EXPECT_TRUE(Writes().empty()) << Narrow(c.arguments);
        // Only the administrator test's two tokens were opened: no enumeration.
        EXPECT_EQ(machine_.HandlesOpenedTotal() - opened, 2u) << Narrow(c.arguments);
    }
}

TEST_F(KavsetFlowTest, RegEnablesTheWholeDeviceAndRestartsIt)
{
    EXPECT_EQ(Run(u"/Reg " + UsbId()), EXIT_OK);
    EXPECT_EQ(Writes(),
              (Lines{"usb FriendlyName", "usb LowerFilters", "disk0 UpperFilters", "disk1 UpperFilters"}));
    EXPECT_EQ(GetFilterState(Record()), FILTER_STATE_ENABLED);
    EXPECT_EQ(usbNode().restartsCompleted, 1u);

    // Enabled already: no write, still a restart.
    EXPECT_EQ(Run(u"-REG " + UsbId()), EXIT_OK);
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(usbNode().restartsCompleted, 2u);
}

TEST_F(KavsetFlowTest, AnyNodesIdInAnyCaseOrQuotedSelectsTheDevice)
{
    std::u16string diskId = disk(1).instanceId;
    std::u16string oddCase = Upper(diskId);
    EXPECT_EQ(Run(u"/reg " + oddCase), EXIT_OK);
    EXPECT_EQ(Writes(),
              (Lines{"usb FriendlyName", "usb LowerFilters", "disk0 UpperFilters", "disk1 UpperFilters"}));
    EXPECT_EQ(usbNode().restartsCompleted, 1u) << "the USB device node is restarted, not the disk";
    EXPECT_EQ(disk(1).restartCount, 0u);

    EXPECT_EQ(Run(u"/UNREG \"" + UsbId() + u"\""), EXIT_OK);
    EXPECT_EQ(Writes(), (Lines{"-usb FriendlyName", "-usb LowerFilters"}));
}

TEST_F(KavsetFlowTest, UnregOnADeviceAlreadyOffWritesNothingAndStillRestarts)
{
    EXPECT_EQ(Run(u"/Unreg " + UsbId()), EXIT_OK);
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(usbNode().restartsCompleted, 1u);
}

TEST_F(KavsetFlowTest, AnIdThatNamesNoListedDeviceFailsTheCommand)
{
    const std::u16string keyboardless = u"USB\\VID_046D&PID_C31C\\5&2&0&2";
    const std::u16string tooLong = UsbId() + std::u16string(200, u'0');
    for (const std::u16string& id : {keyboardless, tooLong, UsbId() + u"X", std::u16string(u"\"\"")})
    {
        EXPECT_EQ(Run(u"/Reg " + id), EXIT_REG_FAILED) << Narrow(id);
        EXPECT_EQ(Run(u"/Unreg " + id), EXIT_UNREG_FAILED) << Narrow(id);
    }
    // A device outside the table is not listed at all.
    UsbDeviceParams params;
    params.vendorId = kVid;
    params.productId = 0x2000;
    params.serialNumber = u"OTHER";
    UsbDevice& other = machine_.AttachDevice(*machine_.Controllers()[0]->rootHub, 2, params);
    machine_.AddLun(other, LunParams());
    EXPECT_EQ(Run(u"/Reg " + other.devNode->instanceId), EXIT_REG_FAILED);
    EXPECT_EQ(Run(u"/Unreg " + other.devNode->instanceId), EXIT_UNREG_FAILED);
    EXPECT_TRUE(Writes().empty());
}

TEST_F(KavsetFlowTest, RegTakesTheUsbNodeBackWhenAStorageNodeRefusesItsEntry)
{
    disk(1).unwritableProperties.insert(CM_DRP_UPPERFILTERS);
    usbNode().SetMultiString(CM_DRP_LOWERFILTERS, {u"Other"});
    EXPECT_EQ(Run(u"/Reg " + UsbId()), EXIT_REG_FAILED);
    EXPECT_EQ(Writes(), (Lines{"usb FriendlyName", "usb LowerFilters", "disk0 UpperFilters",
                               "disk1 UpperFilters", "-usb FriendlyName", "usb LowerFilters"}));
    EXPECT_EQ(usbNode().GetMultiString(CM_DRP_LOWERFILTERS), std::vector<WString>{u"Other"});
    EXPECT_EQ(disk(0).GetMultiString(CM_DRP_UPPERFILTERS), std::vector<WString>{u"Kavfiltr"});
    EXPECT_EQ(usbNode().restartCount, 0u);
}

// The marker must not outlive a Reg that failed after writing it: the device reads as off, so nothing
// else would ever take it away. An Unreg still removes a marker it finds on a device that is off.
TEST_F(KavsetFlowTest, AMarkerOnADeviceThatIsOffIsTakenBackByRegAndRemovedByUnreg)
{
    usbNode().SetString(CM_DRP_FRIENDLYNAME, u"My stick");
    usbNode().unwritableProperties.insert(CM_DRP_LOWERFILTERS);
    EXPECT_EQ(Run(u"/Reg " + UsbId()), EXIT_REG_FAILED);
    EXPECT_EQ(Writes(), (Lines{"usb FriendlyName", "usb LowerFilters", "-usb FriendlyName"}));
    EXPECT_FALSE(usbNode().HasProperty(CM_DRP_FRIENDLYNAME));
    EXPECT_EQ(GetFilterState(Record()), FILTER_STATE_DEVICE_OFF);
    EXPECT_EQ(usbNode().restartCount, 0u);

    usbNode().unwritableProperties.clear();
    usbNode().SetString(CM_DRP_FRIENDLYNAME, kMarker);
    machine_.propertyWrites.clear();
    ASSERT_EQ(GetFilterState(Record()), FILTER_STATE_DEVICE_OFF);
    EXPECT_EQ(Run(u"/Unreg " + UsbId()), EXIT_OK);
    EXPECT_EQ(Writes(), (Lines{"-usb FriendlyName"}));
    EXPECT_EQ(usbNode().restartsCompleted, 1u);

    // A name of the user's own on a device that is off stays.
    usbNode().SetString(CM_DRP_FRIENDLYNAME, u"My stick");
    machine_.propertyWrites.clear();
    EXPECT_EQ(Run(u"/Unreg " + UsbId()), EXIT_OK);
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(usbNode().GetString(CM_DRP_FRIENDLYNAME), WString(u"My stick"));
}

TEST_F(KavsetFlowTest, UnregThatCannotChangeTheRegistryDoesNotRestart)
{
    ASSERT_EQ(Run(u"/Reg " + UsbId()), EXIT_OK);
    usbNode().unwritableProperties.insert(CM_DRP_LOWERFILTERS);
    EXPECT_EQ(Run(u"/Unreg " + UsbId()), EXIT_UNREG_FAILED);
    EXPECT_EQ(usbNode().restartCount, 1u);
}

TEST_F(KavsetFlowTest, UnregOnALowerFilterListThatCannotBeReadFailsWithoutARestart)
{
    ASSERT_EQ(Run(u"/Reg " + UsbId()), EXIT_OK);
    usbNode().unreadableProperties.insert(CM_DRP_LOWERFILTERS);
    EXPECT_EQ(Run(u"/Unreg " + UsbId()), EXIT_UNREG_FAILED);
    EXPECT_EQ(usbNode().restartCount, 1u);
    usbNode().unreadableProperties.clear();
    EXPECT_EQ(usbNode().GetMultiString(CM_DRP_LOWERFILTERS), std::vector<WString>{u"Kavfiltr"});
}

TEST_F(KavsetFlowTest, ARestartThatIsPendingOrImpossibleKeepsTheRegistryChangeAndEndsWithThree)
{
    reader_->luns[0]->volume->inUse = true;
    EXPECT_EQ(Run(u"/Reg " + UsbId()), EXIT_RESTART_PENDING);
    EXPECT_EQ(GetFilterState(Record()), FILTER_STATE_ENABLED);
    EXPECT_EQ(Run(u"/Unreg " + UsbId()), EXIT_RESTART_PENDING);
    EXPECT_EQ(GetFilterState(Record()), FILTER_STATE_DEVICE_OFF);

    // The stick is pulled between the enumeration and the restart (right after its lower filters).
    reader_->luns[0]->volume->inUse = false;
    machine_.onPropertyWrite = [this](const PropertyWrite& write) {
        if (write.node == usbNode().handle && write.property == CM_DRP_LOWERFILTERS)
        {
            machine_.Unplug(*reader_);
        }
    };
    EXPECT_EQ(Run(u"/Reg " + UsbId()), EXIT_RESTART_PENDING);
    machine_.onPropertyWrite = nullptr;
    EXPECT_EQ(usbNode().restartCount, 2u);
    EXPECT_EQ(machine_.OpenHandleCount(), 0u);
}

TEST_F(KavsetFlowTest, WithoutAdministratorRightsNothingElseIsDone)
{
    machine_.security.administrators = false;
    for (std::u16string arguments : {std::u16string(), u"/Reg " + UsbId(), u"/Unreg " + UsbId()})
    {
        EXPECT_EQ(Run(arguments), EXIT_NOT_ADMIN);
    }
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(usbNode().restartCount, 0u);
}
} // namespace
