// winsim/user: the list-view control (SysListView32) in icon view, as the device list drives it. Items carry
// text, image, state (selection, focus, overlay) and a parameter; LVM_SETITEMSTATE selects and focuses
// (one selected item under LVS_SINGLESEL, one focused item always) and tells the parent each change with
// LVN_ITEMCHANGED, the old item's before the new one's; LVM_INSERTITEMW tells LVN_INSERTITEM and
// LVM_DELETEALLITEMS tells LVN_DELETEALLITEMS (and LVN_DELETEITEM for each item unless the parent
// answers TRUE) — deleting a selected item sends no LVN_ITEMCHANGED, as on Windows. A control without
// LVS_SHAREIMAGELISTS destroys its image list when it goes.
//
// Layout, simplified: the icons are auto-arranged in a fixed grid of kCellWidth x kCellHeight cells, as
// many columns as the client width holds (at least one), rows top to bottom. The origin (LVM_GETORIGIN)
// is the content's point at the client's top left; it only moves vertically, from 0 to the content's
// height less the client's (0 when everything fits). LVM_SCROLL moves it by the amounts given, clamped;
// emptying the list puts it back to 0, and a smaller client or less content clamps it again.
//
// Misuse answers as Windows documents: an index out of range or a null structure makes LVM_GETITEMW,
// LVM_SETITEMSTATE and LVM_GETORIGIN return FALSE and LVM_INSERTITEMW, LVM_GETNEXTITEM and LVM_FINDITEMW
// -1. A violation: a message the model does not know, a find other than by parameter, a next-item search
// with other flags than selected and focused, an image list other than the normal one or one that is not
// live, text by callback, selection or focus set by an insert.
#include "winsim/user/user_internal.h"

#include <algorithm>

using namespace winsim::user;

namespace winsim::user
{
struct ListViewItem
{
    WString text;
    int image = 0;
    UINT state = 0;
    LPARAM param = 0;
};

struct ListViewState
{
    HWND hwnd = nullptr;
    DWORD style = 0;
    std::vector<ListViewItem> items;
    HIMAGELIST normalImages = nullptr;
    HFONT font = nullptr;
    bool redraw = true;
    POINT origin = {0, 0};
};

std::shared_ptr<ListViewState> NewListViewState(DWORD style, HWND hwnd)
{
    if ((style & LVS_TYPEMASK) != LVS_ICON)
    {
        Violation("a list view in another view than the icon view is not simulated");
    }
    auto state = std::make_shared<ListViewState>();
    state->hwnd = hwnd;
    state->style = style;
    return state;
}
} // namespace winsim::user

namespace
{
const int kCellWidth = 76;
const int kCellHeight = 72;

// A notification for the parent, sent once the desktop's lock is released.
struct Notice
{
    UINT code = 0;
    int item = -1;
    UINT newState = 0;
    UINT oldState = 0;
    UINT changed = 0;
    LPARAM param = 0;
};

struct Target
{
    std::shared_ptr<ListViewState> state;
    HWND parent = nullptr;
    UINT_PTR id = 0;
    int clientWidth = 0;
    int clientHeight = 0;
};

Target TargetOf(HWND hwnd)
{
    SimWindow* window = FindWindowLocked(hwnd);
    return Target{window->listView, window->parent, window->controlId, window->clientWidth,
                  window->clientHeight};
}

LONG MaxOriginY(const Target& target)
{
    int columns = std::max(1, target.clientWidth / kCellWidth);
    int rows = (static_cast<int>(target.state->items.size()) + columns - 1) / columns;
    return std::max(0, rows * kCellHeight - target.clientHeight);
}

void ClampOrigin(const Target& target)
{
    POINT& origin = target.state->origin;
    origin.x = 0;
    origin.y = std::clamp<LONG>(origin.y, 0, MaxOriginY(target));
}

LRESULT Notify(const Target& target, const Notice& notice)
{
    NMLISTVIEW info = {};
    info.hdr.hwndFrom = target.state->hwnd;
    info.hdr.idFrom = target.id;
    info.hdr.code = notice.code;
    info.iItem = notice.item;
    info.uNewState = notice.newState;
    info.uOldState = notice.oldState;
    info.uChanged = notice.changed;
    info.lParam = notice.param;
    return SendMessageW(target.parent, WM_NOTIFY, target.id, reinterpret_cast<LPARAM>(&info));
}

// Sets the bits of mask to `bits` on one item and records the change for the parent.
void ChangeState(ListViewState& state, size_t at, UINT mask, UINT bits, std::vector<Notice>& notices)
{
    ListViewItem& item = state.items[at];
    UINT before = item.state;
    item.state = (item.state & ~mask) | (bits & mask);
    if (item.state != before)
    {
        notices.push_back(
            Notice{LVN_ITEMCHANGED, static_cast<int>(at), item.state, before, LVIF_STATE, item.param});
    }
}

// LVM_SETITEMSTATE for one item: under single selection the selected item loses its selection first, and
// the focused item its focus, each told to the parent.
void SetItemState(ListViewState& state, size_t at, UINT mask, UINT bits, std::vector<Notice>& notices)
{
    for (UINT exclusive : {static_cast<UINT>(LVIS_SELECTED), static_cast<UINT>(LVIS_FOCUSED)})
    {
        bool single = exclusive == LVIS_FOCUSED || (state.style & LVS_SINGLESEL) != 0;
        if ((mask & exclusive) == 0 || (bits & exclusive) == 0 || !single)
        {
            continue;
        }
        for (size_t other = 0; other < state.items.size(); ++other)
        {
            if (other != at && (state.items[other].state & exclusive) != 0)
            {
                ChangeState(state, other, exclusive, 0, notices);
            }
        }
    }
    ChangeState(state, at, mask, bits, notices);
}

LRESULT InsertItem(const Target& target, const LVITEMW* item, std::vector<Notice>& notices)
{
    if (item == nullptr || item->iSubItem != 0 || item->iItem < 0)
    {
        return -1;
    }
    ListViewItem entry;
    if ((item->mask & LVIF_TEXT) != 0 && item->pszText != nullptr)
    {
        if (item->pszText == reinterpret_cast<LPWSTR>(static_cast<intptr_t>(-1)))
        {
            Violation("LVM_INSERTITEMW with text by callback is not simulated");
        }
        entry.text = item->pszText;
    }
    if ((item->mask & LVIF_IMAGE) != 0)
    {
        entry.image = item->iImage;
    }
    if ((item->mask & LVIF_STATE) != 0)
    {
        if ((item->stateMask & item->state & (LVIS_SELECTED | LVIS_FOCUSED)) != 0)
        {
            Violation("LVM_INSERTITEMW selecting or focusing the new item is not simulated");
        }
        entry.state = item->state & item->stateMask;
    }
    if ((item->mask & LVIF_PARAM) != 0)
    {
        entry.param = item->lParam;
    }
    auto& items = target.state->items;
    size_t at = std::min(static_cast<size_t>(item->iItem), items.size());
    items.insert(items.begin() + static_cast<ptrdiff_t>(at), entry);
    notices.push_back(Notice{LVN_INSERTITEM, static_cast<int>(at), 0, 0, 0, entry.param});
    return static_cast<LRESULT>(at);
}

LRESULT GetItem(const Target& target, LVITEMW* item)
{
    auto& items = target.state->items;
    if (item == nullptr || item->iItem < 0 || static_cast<size_t>(item->iItem) >= items.size() ||
        item->iSubItem != 0)
    {
        return FALSE;
    }
    const ListViewItem& entry = items[static_cast<size_t>(item->iItem)];
    if ((item->mask & LVIF_TEXT) != 0 && item->pszText != nullptr && item->cchTextMax > 0)
    {
        size_t count = std::min(entry.text.size(), static_cast<size_t>(item->cchTextMax - 1));
        std::copy_n(entry.text.begin(), count, item->pszText);
        item->pszText[count] = 0;
    }
    if ((item->mask & LVIF_IMAGE) != 0)
    {
        item->iImage = entry.image;
    }
    if ((item->mask & LVIF_STATE) != 0)
    {
        item->state = entry.state & item->stateMask;
    }
    if ((item->mask & LVIF_PARAM) != 0)
    {
        item->lParam = entry.param;
    }
    return TRUE;
}

LRESULT GetNextItem(const Target& target, WPARAM start, LPARAM flags)
{
    UINT wanted = static_cast<UINT>(flags);
    if ((wanted & ~(LVNI_SELECTED | LVNI_FOCUSED)) != 0)
    {
        Violation("LVM_GETNEXTITEM with flags %#x is not simulated", wanted);
    }
    UINT need = ((wanted & LVNI_SELECTED) != 0 ? LVIS_SELECTED : 0) |
                ((wanted & LVNI_FOCUSED) != 0 ? LVIS_FOCUSED : 0);
    auto& items = target.state->items;
    int from = static_cast<int>(start) + 1;
    for (int at = std::max(0, from); at < static_cast<int>(items.size()); ++at)
    {
        if ((items[static_cast<size_t>(at)].state & need) == need)
        {
            return at;
        }
    }
    return -1;
}

LRESULT FindItem(const Target& target, WPARAM start, const LVFINDINFOW* find)
{
    if (find == nullptr)
    {
        return -1;
    }
    if (find->flags != LVFI_PARAM)
    {
        Violation("LVM_FINDITEMW with flags %#x is not simulated (only LVFI_PARAM)", find->flags);
    }
    auto& items = target.state->items;
    for (int at = std::max(0, static_cast<int>(start) + 1); at < static_cast<int>(items.size()); ++at)
    {
        if (items[static_cast<size_t>(at)].param == find->lParam)
        {
            return at;
        }
    }
    return -1;
}

// Scrolls just far enough that the item's cell is inside the client area.
LRESULT EnsureVisible(const Target& target, WPARAM index)
{
    int at = static_cast<int>(index);
    if (at < 0 || at >= static_cast<int>(target.state->items.size()))
    {
        return FALSE;
    }
    int columns = std::max(1, target.clientWidth / kCellWidth);
    LONG top = (at / columns) * kCellHeight;
    POINT& origin = target.state->origin;
    if (top < origin.y)
    {
        origin.y = top;
    }
    else if (top + kCellHeight > origin.y + target.clientHeight)
    {
        origin.y = top + kCellHeight - target.clientHeight;
    }
    ClampOrigin(target);
    return TRUE;
}

// Everything but the notices, under the desktop's lock.
LRESULT Handle(const Target& target, UINT message, WPARAM wParam, LPARAM lParam, std::vector<Notice>& notices)
{
    ListViewState& state = *target.state;
    switch (message)
    {
    case WM_SETFONT:
        state.font = reinterpret_cast<HFONT>(wParam);
        return 0;
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(state.font);
    case WM_SETREDRAW:
        state.redraw = wParam != 0;
        return 0;
    case WM_SIZE:
        ClampOrigin(target);
        return 0;
    case WM_DESTROY:
        return 0;
    case WM_NCDESTROY:
        if ((state.style & LVS_SHAREIMAGELISTS) == 0 && state.normalImages != nullptr)
        {
            DestroyImageListLocked(state.normalImages,
                                   "the list view's destruction (no LVS_SHAREIMAGELISTS)");
        }
        state.normalImages = nullptr;
        return 0;
    case LVM_SETIMAGELIST: {
        if (wParam != LVSIL_NORMAL)
        {
            Violation("LVM_SETIMAGELIST of image list type %u is not simulated", static_cast<UINT>(wParam));
        }
        HIMAGELIST list = reinterpret_cast<HIMAGELIST>(lParam);
        if (list != nullptr && I().imageLists.count(list) == 0)
        {
            Violation("LVM_SETIMAGELIST with %p, which is not a live image list", static_cast<void*>(list));
        }
        HIMAGELIST previous = state.normalImages;
        state.normalImages = list;
        return reinterpret_cast<LRESULT>(previous);
    }
    case LVM_GETBKCOLOR:
        return static_cast<LRESULT>(RGB(255, 255, 255));
    case LVM_GETITEMCOUNT:
        return static_cast<LRESULT>(state.items.size());
    case LVM_DELETEALLITEMS:
        // The notices are built when sent: the parent's answer decides whether each item is told.
        notices.push_back(Notice{LVN_DELETEALLITEMS, -1, 0, 0, 0, 0});
        return TRUE;
    case LVM_INSERTITEMW:
        return InsertItem(target, reinterpret_cast<const LVITEMW*>(lParam), notices);
    case LVM_GETITEMW:
        return GetItem(target, reinterpret_cast<LVITEMW*>(lParam));
    case LVM_SETITEMSTATE: {
        const LVITEMW* item = reinterpret_cast<const LVITEMW*>(lParam);
        int index = static_cast<int>(wParam);
        if (item == nullptr || index < -1 || index >= static_cast<int>(state.items.size()))
        {
            return FALSE;
        }
        if (index == -1)
        {
            for (size_t at = 0; at < state.items.size(); ++at)
            {
                ChangeState(state, at, item->stateMask, item->state, notices);
            }
            return TRUE;
        }
        SetItemState(state, static_cast<size_t>(index), item->stateMask, item->state, notices);
        return TRUE;
    }
    case LVM_GETNEXTITEM:
        return GetNextItem(target, wParam, lParam);
    case LVM_FINDITEMW:
        return FindItem(target, wParam, reinterpret_cast<const LVFINDINFOW*>(lParam));
    case LVM_GETORIGIN: {
        POINT* origin = reinterpret_cast<POINT*>(lParam);
        if (origin == nullptr)
        {
            return FALSE;
        }
        *origin = state.origin;
        return TRUE;
    }
    case LVM_SCROLL:
        state.origin.x += static_cast<LONG>(static_cast<int>(wParam));
        state.origin.y += static_cast<LONG>(lParam);
        ClampOrigin(target);
        return TRUE;
    case LVM_ENSUREVISIBLE:
        return EnsureVisible(target, wParam);
    default:
        Violation("message %#x to the list view is not simulated", message);
    }
}
} // namespace

LRESULT winsim::user::ListViewProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::vector<Notice> notices;
    Target target;
    LRESULT result = 0;
    {
        auto lock = Lock();
        target = TargetOf(hwnd);
        result = Handle(target, message, wParam, lParam, notices);
    }
    for (const Notice& notice : notices)
    {
        if (notice.code != LVN_DELETEALLITEMS)
        {
            Notify(target, notice);
            continue;
        }
        bool toldAll = Notify(target, notice) != 0;
        std::vector<ListViewItem> deleted;
        {
            auto lock = Lock();
            deleted.swap(target.state->items);
            target.state->origin = POINT{0, 0};
        }
        for (size_t at = 0; at < deleted.size() && !toldAll; ++at)
        {
            Notify(target, Notice{LVN_DELETEITEM, static_cast<int>(at), 0, 0, 0, deleted[at].param});
        }
    }
    return result;
}
