// Kavelor's device list across refills, on the simulated PC's list-view control: with eight sticks listed
// and the view scrolled, the drive the user selected stays selected through a changed scan, F5 and a
// drive notification — even when another device went and the items moved — the Enable, Disable and
// Properties buttons never change under the user's cursor, and the view stays where it was scrolled to.
// When the selected device itself was unplugged, nothing is selected afterwards and the three buttons are
// grey. The main window's part is played as CKavelorWnd plays it: its buttons follow the list's commands
// after every fill and on every LVN_ITEMCHANGED.
#include "trayapp/KavelorListView.h"
#include "trayapp/KavelorWndCore.h"
#include "trayapp/res/resource.h"

#include "tests/support/kavelor_window_fakes.h"
#include "tests/trayapp/trayapp_fixture.h"

namespace
{
using namespace kavtest;
using Kavelor::CKavelorListView;
using Kavelor::CKavelorWndCore;

// Enable, Disable and Properties as the toolbar shows them.
struct Buttons
{
    BOOL enable = FALSE;
    BOOL disable = FALSE;
    BOOL properties = FALSE;
    bool operator==(const Buttons& other) const
    {
        return enable == other.enable && disable == other.disable && properties == other.properties;
    }
};

std::ostream& operator<<(std::ostream& out, const Buttons& buttons)
{
    return out << "{enable " << buttons.enable << ", disable " << buttons.disable << ", properties "
               << buttons.properties << "}";
}

// The main window's side of a fill: the list is filled, then the buttons follow it.
class ListWindowUi : public FakeWindowUi
{
public:
    void FillList(const Kavelor::CUSBEnumerateExList& devices) override
    {
        FakeWindowUi::FillList(devices);
        view->FillList(devices);
        updateButtons();
    }

    CKavelorListView* view = nullptr;
    std::function<void()> updateButtons;
};

class DeviceListRefillTest : public TrayAppTest
{
protected:
    static constexpr int kSticks = 8;

    DeviceListRefillTest()
    {
        HostController& controller =
            AddController(machine_, u"PCI\\VEN_8086&DEV_293A\\3&21436425&0&EF", 0, true, kSticks);
        for (int at = 0; at < kSticks; ++at)
        {
            std::u16string serial = u"SN0000" + std::u16string(1, static_cast<char16_t>(u'0' + at));
            sticks_.push_back(&AddStick(machine_, *controller.rootHub, static_cast<ULONG>(at + 1), kVid, kPid,
                                        serial, {static_cast<WCHAR>(u'E' + at)}));
        }
        window_ = CreateTestWindow(desktop_->currentProcessId);
        core_.Attach(window_);
        scan_.live = true;
        ui_.view = &view_;
        ui_.updateButtons = [this] { buttons_.push_back(Current()); };
        SetTestWindowProc(window_, [this](UINT message, WPARAM, LPARAM lParam) -> LRESULT {
            const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
            if (message == WM_NOTIFY && header->hwndFrom == view_.m_hWnd && header->code == LVN_ITEMCHANGED)
            {
                buttons_.push_back(Current());
            }
            return 0;
        });
        EXPECT_TRUE(view_.Create(window_, 1));
        // Three icons a row, a row and a half high: eight drives take three rows.
        MoveWindow(view_.m_hWnd, 0, 0, 3 * 76 + 2, 108 + 2, TRUE);
    }

    ~DeviceListRefillTest() override { view_.Destroy(); }

    Buttons Current() const
    {
        return Buttons{view_.IsCommandEnabled(ID_COMMAND_ENABLE), view_.IsCommandEnabled(ID_COMMAND_DISABLE),
                       view_.IsCommandEnabled(ID_COMMAND_PROPERTIES)};
    }

    // The device-node handle of the node with the stick's drive letter, as its item carries it.
    DEVINST DriveOf(UsbDevice& device) { return FakeScan::DriveNodeOf(device.devNode->handle); }

    int ItemOf(DEVINST drive)
    {
        LVFINDINFOW find = {};
        find.flags = LVFI_PARAM;
        find.lParam = static_cast<LPARAM>(drive);
        return static_cast<int>(SendMessageW(view_.m_hWnd, LVM_FINDITEMW, static_cast<WPARAM>(-1),
                                             reinterpret_cast<LPARAM>(&find)));
    }

    int Next(UINT flags)
    {
        return static_cast<int>(SendMessageW(view_.m_hWnd, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), flags));
    }

    POINT Origin()
    {
        POINT origin = {-1, -1};
        EXPECT_TRUE(SendMessageW(view_.m_hWnd, LVM_GETORIGIN, 0, reinterpret_cast<LPARAM>(&origin)));
        return origin;
    }

    // A click on the item: the control selects and focuses it and tells the main window.
    void Click(int item)
    {
        LVITEMW state = {};
        state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        state.state = LVIS_SELECTED | LVIS_FOCUSED;
        ASSERT_TRUE(SendMessageW(view_.m_hWnd, LVM_SETITEMSTATE, static_cast<WPARAM>(item),
                                 reinterpret_cast<LPARAM>(&state)));
    }

    // The list shown, scrolled down by 70 pixels, and the stick's drive selected by the user.
    void ShowScrolledAndSelect(UsbDevice& stick)
    {
        core_.OnScanUpdate();
        ASSERT_TRUE(core_.OnTimer(16));
        ASSERT_EQ(SendMessageW(view_.m_hWnd, LVM_GETITEMCOUNT, 0, 0), kSticks);
        ASSERT_TRUE(SendMessageW(view_.m_hWnd, LVM_SCROLL, 0, 70));
        ASSERT_EQ(Origin().y, 70);
        int item = ItemOf(DriveOf(stick));
        ASSERT_GE(item, 0);
        Click(item);
        ASSERT_EQ(Next(LVNI_SELECTED), item);
    }

    std::vector<UsbDevice*> sticks_;
    HWND window_ = nullptr;
    FakeScan scan_;
    ListWindowUi ui_;
    CKavelorWndCore core_{nullptr, scan_, ui_};
    CKavelorListView view_{nullptr, core_};
    std::vector<Buttons> buttons_;
};

TEST_F(DeviceListRefillTest, ChangedScanF5AndDriveNotificationKeepTheSelectedDriveItsButtonsAndTheScroll)
{
    UsbDevice& chosen = *sticks_[2];
    DEVINST drive = DriveOf(chosen);
    ShowScrolledAndSelect(chosen);
    const Buttons chosenButtons = Current();
    ASSERT_TRUE(chosenButtons.properties);
    ASSERT_TRUE(chosenButtons.enable) << "the stick has no speed-up yet";
    int itemBefore = ItemOf(drive);

    struct Refill
    {
        const char* what;
        std::function<void()> run;
    };
    std::vector<Refill> refills = {
        {"a changed scan (another stick unplugged)",
         [&] {
             machine_.Unplug(*sticks_[kSticks - 1]);
             core_.OnScanUpdate();
             ASSERT_TRUE(core_.OnTimer(16));
         }},
        {"F5", [&] { core_.OnRefreshKey(); }},
        {"a drive notification", [&] { core_.RefreshList(1); }},
    };
    for (const Refill& refill : refills)
    {
        SCOPED_TRACE(refill.what);
        size_t fills = ui_.fills.size();
        size_t seen = buttons_.size();
        refill.run();
        ASSERT_EQ(ui_.fills.size(), fills + 1) << "the list was refilled";
        int item = ItemOf(drive);
        ASSERT_GE(item, 0);
        EXPECT_EQ(Next(LVNI_SELECTED), item) << "the drive the user chose stays selected";
        EXPECT_EQ(Next(LVNI_FOCUSED), item);
        DEVINST selected = 0;
        EXPECT_TRUE(view_.GetSelectedDevInst(selected));
        EXPECT_EQ(selected, drive);
        ASSERT_GT(buttons_.size(), seen);
        for (size_t at = seen; at < buttons_.size(); ++at)
        {
            EXPECT_EQ(buttons_[at], chosenButtons) << "button update " << at - seen << " of the refill";
        }
        POINT origin = Origin();
        EXPECT_EQ(origin.x, 0);
        EXPECT_EQ(origin.y, 70) << "the view stays where the user scrolled it";
    }
    EXPECT_NE(ItemOf(drive), itemBefore) << "the unplugged stick's item was before it: the item moved";
}

TEST_F(DeviceListRefillTest, ARefillAfterTheSelectedStickWasUnpluggedSelectsNothingAndGreysItsCommands)
{
    UsbDevice& chosen = *sticks_[5];
    DEVINST drive = DriveOf(chosen);
    ShowScrolledAndSelect(chosen);
    ASSERT_TRUE(Current().enable);

    machine_.Unplug(chosen);
    core_.OnScanUpdate();
    ASSERT_TRUE(core_.OnTimer(16));

    EXPECT_EQ(SendMessageW(view_.m_hWnd, LVM_GETITEMCOUNT, 0, 0), kSticks - 1);
    EXPECT_LT(ItemOf(drive), 0);
    EXPECT_EQ(Next(LVNI_SELECTED), -1);
    DEVINST selected = 0;
    EXPECT_FALSE(view_.GetSelectedDevInst(selected));
    ASSERT_FALSE(buttons_.empty());
    EXPECT_EQ(buttons_.back(), Buttons{}) << "Enable, Disable and Properties grey";
    EXPECT_EQ(Origin().y, 70) << "seven drives still take three rows";
}
} // namespace
