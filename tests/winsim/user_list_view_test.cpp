// The simulated list-view control: single selection and focus move from item to item and the parent hears
// each change, old item first; emptying the list tells no selection change, returns the view to its top
// and asks the parent whether to hear of each item; the origin stays inside the content however far it is
// scrolled and whatever the client's size; indexes out of range and null structures fail as Windows
// documents; messages the model does not know, and an image list destroyed by the control and again by
// its owner, fail loudly.
#include "winsim/user/desktop.h"

#include <gtest/gtest.h>

namespace
{
using namespace winsim::machine;
using namespace winsim::user;

struct Change
{
    UINT code;
    int item;
    UINT newState;
    UINT oldState;
    LPARAM param;
};

class ListViewTest : public ::testing::Test
{
protected:
    ListViewTest() : scope_(machine_)
    {
        parent_ = CreateTestWindow(1000);
        SetTestWindowProc(parent_, [this](UINT message, WPARAM, LPARAM lParam) -> LRESULT {
            const NMLISTVIEW* info = reinterpret_cast<const NMLISTVIEW*>(lParam);
            if (message == WM_NOTIFY && info->hdr.hwndFrom == list_)
            {
                EXPECT_EQ(info->hdr.idFrom, 7u);
                changes_.push_back(
                    {info->hdr.code, info->iItem, info->uNewState, info->uOldState, info->lParam});
            }
            return message == WM_NOTIFY && info->hdr.code == LVN_DELETEALLITEMS ? deleteAllAnswer_ : 0;
        });
        // Two columns of 76 pixels and a client 100 pixels high: five items take three rows of 72.
        list_ = CreateWindowExW(0, WC_LISTVIEWW, nullptr, WS_CHILD | LVS_ICON | LVS_SINGLESEL, 0, 0, 152, 100,
                                parent_, reinterpret_cast<HMENU>(7), nullptr, nullptr);
        for (int at = 0; at < 5; ++at)
        {
            Insert(at, 100 + at);
        }
        changes_.clear();
    }

    ~ListViewTest() override { DestroyTestWindow(parent_); }

    LRESULT Insert(int at, LPARAM param)
    {
        LVITEMW item = {};
        item.mask = LVIF_PARAM;
        item.iItem = at;
        item.lParam = param;
        return SendMessageW(list_, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }

    LRESULT SetState(int at, UINT state, UINT mask)
    {
        LVITEMW item = {};
        item.state = state;
        item.stateMask = mask;
        return SendMessageW(list_, LVM_SETITEMSTATE, static_cast<WPARAM>(at),
                            reinterpret_cast<LPARAM>(&item));
    }

    int Next(int start, UINT flags)
    {
        return static_cast<int>(SendMessageW(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(start), flags));
    }

    LONG OriginY()
    {
        POINT origin = {-1, -1};
        EXPECT_TRUE(SendMessageW(list_, LVM_GETORIGIN, 0, reinterpret_cast<LPARAM>(&origin)));
        EXPECT_EQ(origin.x, 0);
        return origin.y;
    }

    Machine machine_;
    ScopedMachine scope_;
    ScopedDesktop desktop_;
    HWND parent_ = nullptr;
    HWND list_ = nullptr;
    std::vector<Change> changes_;
    LRESULT deleteAllAnswer_ = FALSE;
};

TEST_F(ListViewTest, SelectionAndFocusMoveToOneItemAndTheParentHearsTheOldItemFirst)
{
    const UINT both = LVIS_SELECTED | LVIS_FOCUSED;
    ASSERT_TRUE(SetState(1, both, both));
    ASSERT_EQ(changes_.size(), 1u);
    EXPECT_EQ(changes_[0].code, LVN_ITEMCHANGED);
    EXPECT_EQ(changes_[0].item, 1);
    EXPECT_EQ(changes_[0].newState, both);
    EXPECT_EQ(changes_[0].oldState, 0u);
    EXPECT_EQ(changes_[0].param, 101);

    changes_.clear();
    ASSERT_TRUE(SetState(3, both, both));
    ASSERT_EQ(changes_.size(), 3u) << "selection and focus leave item 1 (one change each), item 3 gains both";
    EXPECT_EQ(changes_[0].item, 1);
    EXPECT_EQ(changes_[1].item, 1);
    EXPECT_EQ(changes_[1].newState, 0u);
    EXPECT_EQ(changes_[2].item, 3);
    EXPECT_EQ(Next(-1, LVNI_SELECTED), 3);
    EXPECT_EQ(Next(-1, LVNI_FOCUSED), 3);
    EXPECT_EQ(Next(3, LVNI_SELECTED), -1);
    EXPECT_EQ(Next(-1, LVNI_ALL), 0);

    changes_.clear();
    ASSERT_TRUE(SetState(3, both, both));
    EXPECT_TRUE(changes_.empty()) << "no change, no notification";

    // The overlay bits do not touch the selection.
    ASSERT_TRUE(SetState(0, INDEXTOOVERLAYMASK(2u), LVIS_OVERLAYMASK));
    LVITEMW item = {};
    item.mask = LVIF_STATE | LVIF_PARAM;
    item.iItem = 0;
    item.stateMask = LVIS_OVERLAYMASK | LVIS_SELECTED;
    ASSERT_TRUE(SendMessageW(list_, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    EXPECT_EQ(item.state, INDEXTOOVERLAYMASK(2u));
    EXPECT_EQ(item.lParam, 100);
    EXPECT_EQ(Next(-1, LVNI_SELECTED), 3);
}

TEST_F(ListViewTest, EmptyingTheListTellsNoSelectionChangeAndReturnsToTheTop)
{
    ASSERT_TRUE(SetState(4, LVIS_SELECTED, LVIS_SELECTED));
    ASSERT_TRUE(SendMessageW(list_, LVM_SCROLL, 0, 30));
    changes_.clear();
    ASSERT_TRUE(SendMessageW(list_, LVM_DELETEALLITEMS, 0, 0));
    ASSERT_EQ(changes_.size(), 6u);
    EXPECT_EQ(changes_[0].code, LVN_DELETEALLITEMS);
    for (size_t at = 1; at < changes_.size(); ++at)
    {
        EXPECT_EQ(changes_[at].code, LVN_DELETEITEM);
    }
    EXPECT_EQ(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0), 0);
    EXPECT_EQ(Next(-1, LVNI_SELECTED), -1);
    EXPECT_EQ(OriginY(), 0);

    Insert(0, 1);
    deleteAllAnswer_ = TRUE;
    changes_.clear();
    ASSERT_TRUE(SendMessageW(list_, LVM_DELETEALLITEMS, 0, 0));
    ASSERT_EQ(changes_.size(), 1u) << "a parent that answers TRUE hears of no single item";
}

TEST_F(ListViewTest, TheOriginStaysInsideTheContent)
{
    EXPECT_EQ(OriginY(), 0);
    ASSERT_TRUE(SendMessageW(list_, LVM_SCROLL, 40, 50));
    EXPECT_EQ(OriginY(), 50) << "icons are arranged in the width: only the vertical scroll moves";
    ASSERT_TRUE(SendMessageW(list_, LVM_SCROLL, 0, 1000));
    EXPECT_EQ(OriginY(), 3 * 72 - 100) << "three rows less the client";
    ASSERT_TRUE(SendMessageW(list_, LVM_SCROLL, 0, -1000));
    EXPECT_EQ(OriginY(), 0);

    ASSERT_TRUE(SendMessageW(list_, LVM_ENSUREVISIBLE, 4, FALSE));
    EXPECT_EQ(OriginY(), 3 * 72 - 100) << "the last row in view";
    ASSERT_TRUE(SendMessageW(list_, LVM_ENSUREVISIBLE, 0, FALSE));
    EXPECT_EQ(OriginY(), 0);

    ASSERT_TRUE(SendMessageW(list_, LVM_SCROLL, 0, 100));
    // Five columns: everything fits in one row, and the view is at its top again.
    MoveWindow(list_, 0, 0, 5 * 76 + 2, 100, TRUE);
    EXPECT_EQ(OriginY(), 0);
}

TEST_F(ListViewTest, IndexesOutOfRangeAndNullStructuresFailAsDocumented)
{
    EXPECT_FALSE(SetState(5, LVIS_SELECTED, LVIS_SELECTED));
    EXPECT_FALSE(SetState(-2, LVIS_SELECTED, LVIS_SELECTED));
    EXPECT_FALSE(SendMessageW(list_, LVM_SETITEMSTATE, 0, 0));
    EXPECT_TRUE(changes_.empty());

    LVITEMW item = {};
    item.mask = LVIF_PARAM;
    item.iItem = 5;
    EXPECT_FALSE(SendMessageW(list_, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    item.iItem = -1;
    EXPECT_FALSE(SendMessageW(list_, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    EXPECT_FALSE(SendMessageW(list_, LVM_GETITEMW, 0, 0));
    EXPECT_FALSE(SendMessageW(list_, LVM_GETORIGIN, 0, 0));
    EXPECT_EQ(SendMessageW(list_, LVM_INSERTITEMW, 0, 0), -1);
    EXPECT_EQ(SendMessageW(list_, LVM_FINDITEMW, static_cast<WPARAM>(-1), 0), -1);
    EXPECT_EQ(Next(7, LVNI_ALL), -1);

    // An index past the end appends; a find starts after the item given.
    EXPECT_EQ(Insert(50, 100), 5);
    LVFINDINFOW find = {};
    find.flags = LVFI_PARAM;
    find.lParam = 100;
    EXPECT_EQ(SendMessageW(list_, LVM_FINDITEMW, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&find)),
              0);
    EXPECT_EQ(SendMessageW(list_, LVM_FINDITEMW, 0, reinterpret_cast<LPARAM>(&find)), 5);
    find.lParam = 99;
    EXPECT_EQ(SendMessageW(list_, LVM_FINDITEMW, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&find)),
              -1);
}

TEST(ListViewDeathTest, MisuseFailsLoudly)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto withList = [](DWORD style, const std::function<void(HWND)>& body) {
        Machine machine;
        ScopedMachine scope(machine);
        ScopedDesktop desktop;
        HWND parent = CreateTestWindow(1000);
        HWND list = CreateWindowExW(0, WC_LISTVIEWW, nullptr, WS_CHILD | style, 0, 0, 100, 100, parent,
                                    nullptr, nullptr, nullptr);
        body(list);
        DestroyTestWindow(parent);
    };
    EXPECT_DEATH(withList(LVS_ICON, [](HWND list) { SendMessageW(list, LVM_FIRST + 30, 0, 0); }),
                 "not simulated");
    EXPECT_DEATH(withList(LVS_ICON,
                          [](HWND list) {
                              HIMAGELIST images = ImageList_Create(32, 32, ILC_COLOR32, 1, 1);
                              SendMessageW(list, LVM_SETIMAGELIST, LVSIL_NORMAL,
                                           reinterpret_cast<LPARAM>(images));
                              DestroyWindow(list);
                              ImageList_Destroy(images);
                          }),
                 "not a live image list");
    EXPECT_DEATH(withList(LVS_ICON,
                          [](HWND list) {
                              LVFINDINFOW find = {};
                              find.flags = 0x0002; // LVFI_STRING
                              SendMessageW(list, LVM_FINDITEMW, static_cast<WPARAM>(-1),
                                           reinterpret_cast<LPARAM>(&find));
                          }),
                 "only LVFI_PARAM");
}

TEST(ListViewSharedImagesTest, AListViewWithSharedImagesLeavesItsImageListToItsOwner)
{
    Machine machine;
    ScopedMachine scope(machine);
    ScopedDesktop desktop;
    HWND parent = CreateTestWindow(1000);
    HWND list = CreateWindowExW(0, WC_LISTVIEWW, nullptr, WS_CHILD | LVS_ICON | LVS_SHAREIMAGELISTS, 0, 0,
                                100, 100, parent, nullptr, nullptr, nullptr);
    HIMAGELIST images = ImageList_Create(32, 32, ILC_COLOR32, 1, 1);
    EXPECT_EQ(SendMessageW(list, LVM_SETIMAGELIST, LVSIL_NORMAL, reinterpret_cast<LPARAM>(images)), 0);
    DestroyTestWindow(parent);
    EXPECT_FALSE(IsWindow(list)) << "the control goes with its parent";
    EXPECT_EQ(LiveImageListCount(), 1u);
    EXPECT_TRUE(ImageList_Destroy(images));
}
} // namespace
