// Kavelor's window logic end to end on the simulated PC with the PnP manager and Kavfiltr: Enable on a
// stick's drive runs Kavset's real flow with the switch and the USB node's instance ID, the stick restarts
// with the filter in both stacks and the rescan shows the drive without overlay; Disable takes it out of
// the USB stack again and the overlay comes back. A stick whose disk lost its filter behind Kavelor's back
// (Windows rewrote the key) leads to exactly one re-enable prompt, whose Enable repairs it.
#include "tests/e2e/pnp_fixture.h"

#include "enumlib/FilterState.h"
#include "regtool/CmdLineParam.h"
#include "trayapp/DriveListItem.h"
#include "trayapp/KavelorMessages.h"
#include "trayapp/KavelorWndCore.h"
#include "trayapp/res/resource.h"

#include "tests/support/kavelor_window_fakes.h"
#include "tests/trayapp/trayapp_fixture.h"

namespace
{
using namespace kavtest;
using Kavelor::CKavelorWndCore;
using Kavelor::CUSBEnumerateExList;

// The window's logic on the running PC: the scan thread's results are the live enumeration, the working
// dialog runs Kavset's own main with the command line Kavelor built. Everything lives inside one test
// body, because the machine checks at uninstall that the window's semaphores are closed.
class KavelorOnThePc
{
public:
    explicit KavelorOnThePc(winsim::machine::Machine& machine)
        : installed_(machine), core_(nullptr, scan_, ui_)
    {
        desktop_->strings = LoadKavelorStrings();
        window_ = CreateTestWindow(desktop_->currentProcessId);
        listView_ = CreateTestWindow(desktop_->currentProcessId);
        core_.Attach(window_);
        scan_.live = true;
        ui_.runJob = [this](Kavelor::CKavsetJob& job) {
            FakeLauncher kavset;
            kavset.run = [this](const Kavelor::WString& parameters) {
                commandLines_.push_back(parameters);
                wm::ScopedCommandLine commandLine(u"Kavset.exe " + parameters);
                return static_cast<DWORD>(Kavelor::KavsetMain());
            };
            job.RunKavset(kavset);
        };
    }

    ~KavelorOnThePc()
    {
        DestroyTestWindow(listView_);
        DestroyTestWindow(window_);
    }

    // The scan thread and the window's message loop: every requested scan is delivered, every posted
    // prompt handled, until nothing is left.
    void Settle()
    {
        for (int round = 0; round < 20; ++round)
        {
            bool acted = false;
            if (scan_.requests > served_)
            {
                served_ = scan_.requests;
                core_.OnScanUpdate();
                acted = true;
            }
            while (WaitForPosted(window_, Kavelor::WM_REENABLE_PROMPT, 0))
            {
                ++prompts_;
                core_.OnReenablePrompt();
                acted = true;
            }
            if (!acted)
            {
                break;
            }
        }
        core_.OnTimer(Kavelor::REFRESH_TIMER_ID);
    }

    // A device change arrives: the thread scans and the window takes the result.
    void Rescan()
    {
        ++scan_.requests;
        Settle();
    }

    // The items of the list as it was filled last.
    std::vector<Kavelor::CDriveListItem> Items()
    {
        return ui_.fills.empty() ? std::vector<Kavelor::CDriveListItem>()
                                 : Kavelor::MakeDriveListItems(ui_.fills.back());
    }

    int State() { return Kavelor::GetFilterState(core_.m_devices.front()); }

    wm::ScopedMachine installed_;
    ScopedDesktop desktop_;
    FakeScan scan_;
    FakeWindowUi ui_;
    CKavelorWndCore core_;
    HWND window_ = nullptr;
    HWND listView_ = nullptr;
    int served_ = 0;
    int prompts_ = 0;
    std::vector<Kavelor::WString> commandLines_;
};

class KavelorWindowEndToEnd : public PnpTest
{
};

TEST_F(KavelorWindowEndToEnd, EnableAndDisableRunKavsetAndTheRescanShowsTheNewState)
{
    wm::UsbDevice& stick = AddStickWithVolume(1, u"KV0012345678", u'E');
    pnp_->StartAll();
    {
        KavelorOnThePc kavelor(machine_);
        kavelor.Rescan();
        std::vector<Kavelor::CDriveListItem> items = kavelor.Items();
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].strText, W(u"(E:)"));
        EXPECT_EQ(items[0].nOverlay, Kavelor::OVERLAY_DEVICE_OFF);
        EXPECT_TRUE(kavelor.core_.IsListCommandEnabled(ID_COMMAND_ENABLE, TRUE, items[0].dnDevInst));
        EXPECT_FALSE(kavelor.core_.IsListCommandEnabled(ID_COMMAND_DISABLE, TRUE, items[0].dnDevInst));

        kavelor.core_.OnListCommand(ID_COMMAND_ENABLE, kavelor.listView_, TRUE, items[0].dnDevInst);
        ASSERT_EQ(kavelor.commandLines_.size(), 1u);
        EXPECT_EQ(kavelor.commandLines_[0], u"/Reg " + stick.devNode->instanceId);
        EXPECT_EQ(stick.devNode->restartsCompleted, 1u);
        EXPECT_TRUE(pnp_->InStack(*stick.devNode, u"Kavfiltr"));
        EXPECT_TRUE(pnp_->InStack(*stick.luns[0]->disk, u"Kavfiltr"));
        EXPECT_TRUE(kavelor.desktop_->messageBoxes.empty()) << "success says nothing";

        kavelor.Settle();
        items = kavelor.Items();
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].nOverlay, Kavelor::OVERLAY_NONE);
        EXPECT_EQ(kavelor.State(), Kavelor::FILTER_STATE_ENABLED);
        EXPECT_FALSE(kavelor.core_.IsListCommandEnabled(ID_COMMAND_ENABLE, TRUE, items[0].dnDevInst));
        EXPECT_TRUE(kavelor.core_.IsListCommandEnabled(ID_COMMAND_DISABLE, TRUE, items[0].dnDevInst));

        kavelor.core_.OnListCommand(ID_COMMAND_DISABLE, kavelor.listView_, TRUE, items[0].dnDevInst);
        ASSERT_EQ(kavelor.commandLines_.size(), 2u);
        EXPECT_EQ(kavelor.commandLines_[1], u"/Unreg " + stick.devNode->instanceId);
        EXPECT_FALSE(pnp_->InStack(*stick.devNode, u"Kavfiltr"));
        kavelor.Settle();
        items = kavelor.Items();
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].nOverlay, Kavelor::OVERLAY_DEVICE_OFF);
        EXPECT_EQ(kavelor.State(), Kavelor::FILTER_STATE_DEVICE_OFF);
        EXPECT_EQ(kavelor.prompts_, 0);
        EXPECT_EQ(kavelor.core_.m_bBusy, 0);
    }
    RoundTrip(*stick.luns[0], 0, 256 * 1024, 7);
}

TEST_F(KavelorWindowEndToEnd, AStorageFilterRemovedBehindKavelorsBackIsOfferedOnceAndRepaired)
{
    wm::UsbDevice& stick = AddStickWithVolume(2, u"KV0087654321", u'F');
    pnp_->StartAll();
    {
        KavelorOnThePc kavelor(machine_);
        kavelor.Rescan();
        std::vector<Kavelor::CDriveListItem> items = kavelor.Items();
        ASSERT_EQ(items.size(), 1u);
        kavelor.core_.OnListCommand(ID_COMMAND_ENABLE, kavelor.listView_, TRUE, items[0].dnDevInst);
        kavelor.Settle();
        ASSERT_EQ(kavelor.State(), Kavelor::FILTER_STATE_ENABLED);

        // Windows rewrote the disk's key and rebuilt its stack without the filter.
        stick.luns[0]->disk->RemoveProperty(CM_DRP_UPPERFILTERS);
        ASSERT_TRUE(pnp_->Restart(*stick.luns[0]->disk));
        ASSERT_FALSE(pnp_->InStack(*stick.luns[0]->disk, u"Kavfiltr"));
        kavelor.Rescan();
        kavelor.Rescan();

        EXPECT_EQ(kavelor.prompts_, 1);
        ASSERT_EQ(kavelor.ui_.shields.size(), 2u) << "the Enable confirmation, then the re-enable prompt";
        EXPECT_EQ(kavelor.ui_.shields[1].owner, kavelor.window_);
        EXPECT_EQ(kavelor.ui_.shields[1].text, W(kavelor.desktop_->strings.at(IDS_REENABLE_NEEDED).c_str()));
        ASSERT_EQ(kavelor.commandLines_.size(), 2u);
        EXPECT_EQ(kavelor.commandLines_[1], u"/Reg " + stick.devNode->instanceId);
        EXPECT_TRUE(pnp_->InStack(*stick.luns[0]->disk, u"Kavfiltr"));
        EXPECT_EQ(kavelor.State(), Kavelor::FILTER_STATE_ENABLED);
        EXPECT_EQ(kavelor.Items().at(0).nOverlay, Kavelor::OVERLAY_NONE);
        EXPECT_EQ(kavelor.core_.m_reenablePrompt.Get(), 0);
    }
    RoundTrip(*stick.luns[0], 0, 256 * 1024, 8);
}
} // namespace
