// What Kavelor's main window decides, on the simulated PC: a scan result equal to the one shown refills
// nothing, a changed one refills once when the refresh timer fires however many follow; a device that lost
// its storage filter is offered for re-enabling only after a further scan agrees, never when one of its
// nodes has a problem, and never twice at once; the tray menu and Exit are refused while a modal step is
// open (nested steps included); the list's commands are enabled by the selected device's filter state and
// run the confirmation, the working dialog, the rescan and the result message in that order.
#include "enumlib/FilterState.h"
#include "trayapp/KavelorMessages.h"
#include "trayapp/KavelorWndCore.h"
#include "trayapp/ScanResultCompare.h"
#include "trayapp/res/resource.h"

#include "tests/support/kavelor_window_fakes.h"
#include "tests/trayapp/trayapp_fixture.h"

namespace
{
using namespace kavtest;
using Kavelor::CKavelorWndCore;
using Kavelor::CUSBEnumerateExList;

const char16_t kMarker[] = u"USB 大容量記憶装置（Kavelor 有効）";

class MainWindowTest : public TrayAppTest
{
protected:
    MainWindowTest() : ui_(&core_.m_bBusy)
    {
        HostController& controller =
            AddController(machine_, u"PCI\\VEN_8086&DEV_293A\\3&21436425&0&EF", 0, true);
        stick_ = &AddStick(machine_, *controller.rootHub, 1, kVid, kPid, u"A1B2C3", {u'E'});
        other_ = &AddStick(machine_, *controller.rootHub, 2, kVid, kPid, u"D4E5F6", {u'F'});
        window_ = CreateTestWindow(desktop_->currentProcessId);
        listView_ = CreateTestWindow(desktop_->currentProcessId);
        core_.Attach(window_);
        scan_.live = true;
    }

    // The speed-up on the USB node (lower filter and marker name) and on its disks (upper filter).
    void SetFilter(UsbDevice& device, bool usb, bool storage)
    {
        if (usb)
        {
            device.devNode->SetMultiString(CM_DRP_LOWERFILTERS, {u"Kavfiltr"});
            device.devNode->SetString(CM_DRP_FRIENDLYNAME, kMarker);
        }
        else
        {
            device.devNode->RemoveProperty(CM_DRP_LOWERFILTERS);
            device.devNode->RemoveProperty(CM_DRP_FRIENDLYNAME);
        }
        for (auto& lun : device.luns)
        {
            if (storage)
            {
                lun->disk->SetMultiString(CM_DRP_UPPERFILTERS, {u"Kavfiltr"});
            }
            else
            {
                lun->disk->RemoveProperty(CM_DRP_UPPERFILTERS);
            }
        }
    }

    // The device-node handle of the node with the drive letter, as the list view's item carries it.
    DEVINST ItemOf(UsbDevice& device) { return FakeScan::DriveNodeOf(device.devNode->handle); }

    Kavelor::WString Text(UINT id) { return W(desktop_->strings.at(id).c_str()); }

    UsbDevice* stick_ = nullptr;
    UsbDevice* other_ = nullptr;
    HWND window_ = nullptr;
    HWND listView_ = nullptr;
    FakeScan scan_;
    CKavelorWndCore core_{nullptr, scan_, ui_};
    FakeWindowUi ui_;
};

TEST_F(MainWindowTest, AChangedResultRefillsOnceWhenTheTimerFiresAndAnEqualOneRefillsNothing)
{
    core_.OnScanUpdate();
    EXPECT_EQ(core_.m_devices.size(), 2u);
    EXPECT_EQ(ui_.timersStarted, 1);
    EXPECT_TRUE(ui_.fills.empty()) << "the list is refilled a second later, not at once";

    // More changed results within that second: the pending timer covers them all.
    SetFilter(*stick_, true, true);
    core_.OnScanUpdate();
    other_->luns[0]->volume->letters = {u'G'};
    core_.OnScanUpdate();
    EXPECT_EQ(ui_.timersStarted, 1);
    EXPECT_TRUE(ui_.fills.empty());

    EXPECT_FALSE(core_.OnTimer(17)) << "another timer of the window";
    EXPECT_TRUE(ui_.fills.empty());
    EXPECT_TRUE(core_.OnTimer(16));
    ASSERT_EQ(ui_.fills.size(), 1u);
    EXPECT_TRUE(Kavelor::IsSameResult(ui_.fills[0], scan_.next)) << "the last result is shown";
    EXPECT_EQ(ui_.timersStopped, 1);
    EXPECT_EQ(core_.m_refreshTimer, 0u);
    EXPECT_FALSE(core_.OnTimer(16)) << "a late tick of the killed timer";

    // The same result again: no timer, no refill, no scan.
    int requests = scan_.requests;
    core_.OnScanUpdate();
    core_.OnScanUpdate();
    EXPECT_EQ(ui_.timersStarted, 1);
    EXPECT_EQ(ui_.fills.size(), 1u);
    EXPECT_EQ(scan_.requests, requests);
    EXPECT_EQ(QueuedFor(window_, Kavelor::WM_REENABLE_PROMPT), 0u);
}

TEST_F(MainWindowTest, F5AndTheShellRefillAtOnceAndOnlyF5ScansAgain)
{
    core_.OnScanUpdate();
    ASSERT_EQ(core_.m_refreshTimer, 16u);
    core_.OnRefreshKey();
    EXPECT_EQ(scan_.requests, 1);
    EXPECT_EQ(ui_.fills.size(), 1u);
    EXPECT_EQ(ui_.timersStopped, 1) << "the immediate refill makes the pending one unnecessary";
    EXPECT_EQ(core_.m_refreshTimer, 0u);

    core_.RefreshList(1); // WM_SHELL_CHANGE
    EXPECT_EQ(ui_.fills.size(), 2u);
    EXPECT_EQ(scan_.requests, 1);

    ui_.listView = false;
    core_.RefreshList(1);
    core_.RefreshList(0);
    EXPECT_EQ(ui_.fills.size(), 2u);
    EXPECT_EQ(ui_.timersStarted, 1) << "no list view, nothing to refill";
}

TEST_F(MainWindowTest, ALostStorageFilterIsOfferedOnlyAfterAFurtherScanAgrees)
{
    SetFilter(*stick_, true, false);
    core_.OnScanUpdate();
    EXPECT_EQ(scan_.requests, 1) << "one more scan first: the filter may be missing only during a restart";
    EXPECT_EQ(QueuedFor(window_, Kavelor::WM_REENABLE_PROMPT), 0u);

    core_.OnScanUpdate();
    EXPECT_EQ(scan_.requests, 1);
    EXPECT_EQ(QueuedFor(window_, Kavelor::WM_REENABLE_PROMPT), 1u);

    Kavelor::CUSBEnumerateExData found;
    ASSERT_TRUE(core_.NeedsReenable(&found));
    EXPECT_EQ(found.treeDevice.data.dnDevInst, stick_->devNode->handle);

    // Restored before the further scan: no prompt.
    ASSERT_TRUE(WaitForPosted(window_, Kavelor::WM_REENABLE_PROMPT, 0));
    SetFilter(*other_, true, false);
    core_.OnScanUpdate();
    SetFilter(*other_, true, true);
    SetFilter(*stick_, true, true);
    core_.OnScanUpdate();
    core_.OnScanUpdate();
    EXPECT_EQ(QueuedFor(window_, Kavelor::WM_REENABLE_PROMPT), 0u);
}

TEST_F(MainWindowTest, ADeviceWithAProblemNodeIsNeverOffered)
{
    SetFilter(*stick_, true, false);
    stick_->luns[0]->disk->status |= DN_HAS_PROBLEM;
    stick_->luns[0]->disk->problem = 10;
    core_.OnScanUpdate();
    core_.OnScanUpdate();
    EXPECT_EQ(scan_.requests, 0);
    EXPECT_EQ(QueuedFor(window_, Kavelor::WM_REENABLE_PROMPT), 0u);
    EXPECT_FALSE(core_.NeedsReenable(nullptr));
    core_.OnReenablePrompt();
    EXPECT_TRUE(ui_.shields.empty());

    // The other stick behind it still qualifies.
    SetFilter(*other_, true, false);
    core_.OnScanUpdate();
    Kavelor::CUSBEnumerateExData found;
    ASSERT_TRUE(core_.NeedsReenable(&found));
    EXPECT_EQ(found.treeDevice.data.dnDevInst, other_->devNode->handle);
}

TEST_F(MainWindowTest, TheReenablePromptRunsEnableOnceAndIgnoresASecondPromptWhileOpen)
{
    SetFilter(*stick_, true, false);
    core_.OnScanUpdate();
    int nestedBusy = -1;
    ui_.duringModal = [&] {
        nestedBusy = core_.m_bBusy;
        core_.OnReenablePrompt();
    };
    ui_.runJob = [&](Kavelor::CKavsetJob& job) {
        FakeLauncher kavset;
        kavset.exitCode = 3;
        job.RunKavset(kavset);
    };
    int requests = scan_.requests;
    core_.OnReenablePrompt();

    ASSERT_EQ(ui_.shields.size(), 1u);
    EXPECT_EQ(ui_.shields[0].owner, window_);
    EXPECT_EQ(ui_.shields[0].text, Text(IDS_REENABLE_NEEDED));
    EXPECT_EQ(ui_.shields[0].caption, Text(IDS_CAPTION));
    EXPECT_EQ(ui_.shields[0].type, MB_OKCANCEL);
    EXPECT_EQ(ui_.shields[0].buttonId, IDOK);
    ASSERT_EQ(ui_.working.size(), 1u);
    EXPECT_EQ(ui_.working[0].mode, Kavelor::KAVSET_MODE_ENABLE);
    EXPECT_EQ(ui_.working[0].parameters, u"/Reg " + stick_->devNode->instanceId);
    EXPECT_EQ(nestedBusy, 1);
    EXPECT_EQ(scan_.requests, requests + 1);
    ASSERT_EQ(desktop_->messageBoxes.size(), 1u);
    EXPECT_EQ(desktop_->messageBoxes[0].owner, window_);
    EXPECT_EQ(desktop_->messageBoxes[0].text, Text(IDS_STORAGE_IN_USE));
    EXPECT_EQ(desktop_->messageBoxes[0].type, MB_ICONEXCLAMATION);
    EXPECT_EQ(core_.m_bBusy, 0);
    EXPECT_EQ(core_.m_reenablePrompt.Get(), 0);

    // A box that could not be shown declines nothing: the working dialog still runs.
    ui_.duringModal = nullptr;
    ui_.shieldAnswer = -1;
    SetFilter(*other_, true, false);
    core_.OnScanUpdate();
    core_.OnReenablePrompt();
    EXPECT_EQ(ui_.working.size(), 2u);
}

// Closing the notice without OK (its close box, Esc) is "not now": no Kavset, no elevation prompt, and the
// device is not offered again until it has had its filter back and lost it anew.
TEST_F(MainWindowTest, TheReenableNoticeClosedWithoutOkStartsNothingAndIsNotRepeated)
{
    SetFilter(*stick_, true, false);
    core_.OnScanUpdate();
    core_.OnScanUpdate();
    ASSERT_TRUE(WaitForPosted(window_, Kavelor::WM_REENABLE_PROMPT, 0));
    ui_.shieldAnswer = IDCANCEL;
    int requests = scan_.requests;
    core_.OnReenablePrompt();
    ASSERT_EQ(ui_.shields.size(), 1u);
    EXPECT_TRUE(ui_.working.empty());
    EXPECT_TRUE(desktop_->messageBoxes.empty());
    EXPECT_EQ(scan_.requests, requests);
    EXPECT_EQ(core_.m_bBusy, 0);
    EXPECT_EQ(core_.m_reenablePrompt.Get(), 0);

    core_.OnScanUpdate();
    core_.OnReenablePrompt();
    EXPECT_EQ(QueuedFor(window_, Kavelor::WM_REENABLE_PROMPT), 0u);
    EXPECT_EQ(ui_.shields.size(), 1u);
}

TEST_F(MainWindowTest, ADeviceIsOfferedOncePerLossOfItsFilterEvenWhenKavsetCannotRun)
{
    ui_.runJob = [](Kavelor::CKavsetJob& job) {
        FakeLauncher kavset;
        kavset.startable = false; // elevation refused
        job.RunKavset(kavset);
    };
    SetFilter(*stick_, true, false);
    core_.OnScanUpdate();
    core_.OnScanUpdate();
    ASSERT_TRUE(WaitForPosted(window_, Kavelor::WM_REENABLE_PROMPT, 0));
    core_.OnReenablePrompt();
    ASSERT_EQ(ui_.shields.size(), 1u);

    // The rescan the prompt asked for finds the device as it was: no second prompt, no further scan.
    int requests = scan_.requests;
    core_.OnScanUpdate();
    core_.OnScanUpdate();
    EXPECT_EQ(QueuedFor(window_, Kavelor::WM_REENABLE_PROMPT), 0u);
    EXPECT_EQ(scan_.requests, requests);
    EXPECT_FALSE(core_.NeedsReenable(nullptr));

    // Repaired, then lost again: offered again.
    SetFilter(*stick_, true, true);
    core_.OnScanUpdate();
    SetFilter(*stick_, true, false);
    core_.OnScanUpdate();
    core_.OnScanUpdate();
    EXPECT_EQ(QueuedFor(window_, Kavelor::WM_REENABLE_PROMPT), 1u);
}

TEST_F(MainWindowTest, TheTrayMenuAndExitAreRefusedWhileAnyModalStepIsOpen)
{
    core_.OnScanUpdate();
    SetFilter(*stick_, true, false);
    core_.OnScanUpdate();
    ui_.shieldAnswer = IDNO;

    // A re-enable prompt arriving inside the property dialog's modal loop ends before the dialog does.
    bool inProperties = false;
    ui_.duringModal = [&] {
        if (!inProperties)
        {
            inProperties = true;
            core_.OnReenablePrompt();
            core_.OnExit();
            core_.OnTrayRightClick();
        }
    };
    core_.OnListCommand(ID_COMMAND_PROPERTIES, listView_, TRUE, ItemOf(*stick_));
    EXPECT_EQ(ui_.working.size(), 1u);
    EXPECT_EQ(ui_.closes, 0);
    EXPECT_EQ(ui_.trayMenus, 0);
    EXPECT_EQ(core_.m_bBusy, 0);

    ui_.duringModal = [&] {
        core_.OnExit();
        core_.OnTrayRightClick();
    };
    core_.OnVersion();
    core_.OnListCommand(ID_COMMAND_ENABLE, listView_, TRUE, ItemOf(*stick_));
    EXPECT_EQ(ui_.aboutDialogs, 1);
    EXPECT_EQ(ui_.closes, 0);
    EXPECT_EQ(ui_.trayMenus, 0);

    ui_.duringModal = nullptr;
    core_.OnTrayRightClick();
    core_.OnExit();
    EXPECT_EQ(ui_.trayMenus, 1);
    EXPECT_EQ(ui_.closes, 1);
}

TEST_F(MainWindowTest, CommandsAreEnabledByTheSelectedDevicesFilterState)
{
    struct Case
    {
        bool usb, storage;
        int state;
        BOOL enable, disable;
    } cases[] = {
        {false, false, Kavelor::FILTER_STATE_DEVICE_OFF, TRUE, FALSE},
        {true, false, Kavelor::FILTER_STATE_STORAGE_OFF, TRUE, TRUE},
        {true, true, Kavelor::FILTER_STATE_ENABLED, FALSE, TRUE},
    };
    for (const Case& c : cases)
    {
        SetFilter(*stick_, c.usb, c.storage);
        core_.OnScanUpdate();
        ASSERT_EQ(Kavelor::GetFilterState(core_.m_devices.front()), c.state);
        EXPECT_EQ(core_.IsListCommandEnabled(ID_COMMAND_ENABLE, TRUE, ItemOf(*stick_)), c.enable) << c.state;
        EXPECT_EQ(core_.IsListCommandEnabled(ID_COMMAND_DISABLE, TRUE, ItemOf(*stick_)), c.disable)
            << c.state;
        EXPECT_TRUE(core_.IsListCommandEnabled(ID_COMMAND_PROPERTIES, TRUE, ItemOf(*stick_)));
    }
    for (UINT id : {ID_COMMAND_ENABLE, ID_COMMAND_DISABLE, ID_COMMAND_PROPERTIES})
    {
        EXPECT_FALSE(core_.IsListCommandEnabled(id, FALSE, 0)) << id;
    }
    // An item whose device has left the list since the last fill.
    EXPECT_FALSE(core_.IsListCommandEnabled(ID_COMMAND_ENABLE, TRUE, 0xBAD));
    EXPECT_FALSE(core_.IsListCommandEnabled(ID_COMMAND_DISABLE, TRUE, 0xBAD));
    EXPECT_TRUE(core_.IsListCommandEnabled(ID_COMMAND_PROPERTIES, TRUE, 0xBAD));
    core_.OnListCommand(ID_COMMAND_PROPERTIES, listView_, TRUE, 0xBAD);
    core_.OnListCommand(ID_COMMAND_ENABLE, listView_, TRUE, 0xBAD);
    EXPECT_TRUE(ui_.propertyDevices.empty());
    EXPECT_TRUE(ui_.shields.empty());
}

TEST_F(MainWindowTest, EnableAsksWithTheShieldRunsKavsetRescansAndTellsTheOutcome)
{
    core_.OnScanUpdate();
    DWORD exitCode = 2;
    ui_.runJob = [&](Kavelor::CKavsetJob& job) {
        FakeLauncher kavset;
        kavset.exitCode = exitCode;
        job.RunKavset(kavset);
    };

    ui_.shieldAnswer = IDNO;
    core_.OnListCommand(ID_COMMAND_ENABLE, listView_, TRUE, ItemOf(*stick_));
    ASSERT_EQ(ui_.shields.size(), 1u);
    EXPECT_EQ(ui_.shields[0].owner, listView_);
    EXPECT_EQ(ui_.shields[0].text, Text(IDS_CONFIRM_ENABLE));
    EXPECT_EQ(ui_.shields[0].caption, Text(IDS_CAPTION));
    EXPECT_EQ(ui_.shields[0].type, 0x34u);
    EXPECT_EQ(ui_.shields[0].buttonId, IDYES);
    EXPECT_TRUE(ui_.working.empty()) << "No changes nothing";
    EXPECT_EQ(scan_.requests, 0);
    EXPECT_EQ(core_.m_bBusy, 0);

    ui_.shieldAnswer = -1; // the shield hook could not be installed
    core_.OnListCommand(ID_COMMAND_ENABLE, listView_, TRUE, ItemOf(*stick_));
    EXPECT_TRUE(ui_.working.empty());

    ui_.shieldAnswer = IDYES;
    core_.OnListCommand(ID_COMMAND_ENABLE, listView_, TRUE, ItemOf(*stick_));
    ASSERT_EQ(ui_.working.size(), 1u);
    EXPECT_EQ(ui_.working[0].owner, listView_);
    EXPECT_EQ(ui_.working[0].busy, 1);
    EXPECT_EQ(ui_.working[0].parameters, u"/Reg " + stick_->devNode->instanceId);
    EXPECT_EQ(scan_.requests, 1);
    ASSERT_EQ(desktop_->messageBoxes.size(), 1u);
    EXPECT_EQ(desktop_->messageBoxes[0].owner, listView_);
    EXPECT_EQ(desktop_->messageBoxes[0].text, Text(IDS_ADMIN_REQUIRED));
    EXPECT_EQ(desktop_->messageBoxes[0].caption, Text(IDS_CAPTION));
    EXPECT_EQ(desktop_->messageBoxes[0].type, MB_ICONEXCLAMATION);
    EXPECT_EQ(core_.m_bBusy, 0);

    // Disable where only the storage filter was lost runs the Unreg switch; success says nothing.
    SetFilter(*stick_, true, false);
    core_.OnScanUpdate();
    exitCode = 0;
    core_.OnListCommand(ID_COMMAND_DISABLE, listView_, TRUE, ItemOf(*stick_));
    EXPECT_EQ(ui_.shields.back().text, Text(IDS_CONFIRM_DISABLE));
    ASSERT_EQ(ui_.working.size(), 2u);
    EXPECT_EQ(ui_.working[1].mode, Kavelor::KAVSET_MODE_DISABLE);
    EXPECT_EQ(ui_.working[1].parameters, u"/Unreg " + stick_->devNode->instanceId);
    EXPECT_EQ(desktop_->messageBoxes.size(), 1u);

    // Already in the target state: nothing is asked.
    SetFilter(*stick_, true, true);
    core_.OnScanUpdate();
    size_t shields = ui_.shields.size();
    core_.OnListCommand(ID_COMMAND_ENABLE, listView_, TRUE, ItemOf(*stick_));
    SetFilter(*stick_, false, false);
    core_.OnListCommand(ID_COMMAND_DISABLE, listView_, TRUE, ItemOf(*stick_));
    EXPECT_EQ(ui_.shields.size(), shields);
}

TEST_F(MainWindowTest, PropertiesOpenWithTheRecordAndTheNodeOfTheSelectedLetter)
{
    core_.OnScanUpdate();
    core_.OnListCommand(ID_COMMAND_PROPERTIES, listView_, TRUE, ItemOf(*other_));
    ASSERT_EQ(ui_.propertyDevices.size(), 1u);
    EXPECT_EQ(ui_.propertyOwners[0], listView_);
    EXPECT_EQ(ui_.propertyDevices[0].treeDevice.data.dnDevInst, other_->devNode->handle);
    EXPECT_EQ(ui_.propertyNodes[0].data.chDriveLetter, u'F');
    EXPECT_EQ(ui_.propertyNodes[0].pParent, nullptr) << "the copy does not point into the shown list";
    EXPECT_EQ(core_.m_bBusy, 0);
    core_.OnListCommand(ID_COMMAND_PROPERTIES, listView_, FALSE, 0);
    EXPECT_EQ(ui_.propertyDevices.size(), 1u);

    // The device leaves while its dialog is open: the dialog keeps its copy, and the list shown after the
    // next scan no longer has the device, whose item then can be neither enabled nor disabled, and whose
    // properties open nothing.
    DEVINST item = ItemOf(*other_);
    ui_.duringModal = [&] {
        machine_.Unplug(*other_);
        core_.OnScanUpdate();
    };
    core_.OnListCommand(ID_COMMAND_PROPERTIES, listView_, TRUE, item);
    ui_.duringModal = nullptr;
    ASSERT_EQ(ui_.propertyNodes.size(), 2u);
    EXPECT_EQ(ui_.propertyNodes[1].data.chDriveLetter, u'F');
    EXPECT_EQ(core_.m_bBusy, 0);
    ASSERT_TRUE(core_.OnTimer(core_.m_refreshTimer));
    EXPECT_EQ(ui_.fills.back().size(), 1u);
    EXPECT_FALSE(core_.IsListCommandEnabled(ID_COMMAND_ENABLE, TRUE, item));
    EXPECT_FALSE(core_.IsListCommandEnabled(ID_COMMAND_DISABLE, TRUE, item));
    core_.OnListCommand(ID_COMMAND_PROPERTIES, listView_, TRUE, item);
    EXPECT_EQ(ui_.propertyNodes.size(), 2u);
}
} // namespace
