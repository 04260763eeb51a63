// winsim/user internals: the state behind the desktop's knobs (queues, windows, timers, live resources,
// loaded modules, named objects) and the kernel objects that live in the machine's handle table. One lock
// guards all of it and one condition variable wakes every waiter on any change.
#pragma once

#include "winsim/machine/machine.h"
#include "winsim/user/desktop.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace winsim::user
{
using winsim::machine::Violation;

struct KernelObject
{
    virtual ~KernelObject() = default;
    virtual const char* TypeName() const = 0;
};

struct Semaphore : KernelObject
{
    LONG count = 0;
    LONG maximum = 0;
    const char* TypeName() const override { return "semaphore"; }
};

struct Mutex : KernelObject
{
    DWORD owner = 0; // thread ID, 0 when free
    unsigned recursion = 0;
    const char* TypeName() const override { return "mutex"; }
};

struct Event : KernelObject
{
    bool manualReset = false;
    bool signaled = false;
    const char* TypeName() const override { return "event"; }
};

struct Thread : KernelObject
{
    DWORD id = 0;
    bool resumed = false;
    bool finished = false;
    DWORD exitCode = STILL_ACTIVE;
    std::thread worker;
    ~Thread() override;
    const char* TypeName() const override { return "thread"; }
};

struct ProcessObject : KernelObject
{
    DWORD id = 0;
    DWORD access = 0;
    const char* TypeName() const override { return "process"; }
};

struct Snapshot : KernelObject
{
    std::vector<SimProcess> processes; // TH32CS_SNAPPROCESS
    std::vector<WString> modules;      // TH32CS_SNAPMODULE
    DWORD processId = 0;
    size_t next = 0;
    const char* TypeName() const override { return "snapshot"; }
};

struct ServiceObject
{
    bool manager = false;
    WString name;
};

struct Queue
{
    std::deque<MSG> messages;
};

struct ListViewState; // list_view.cpp

struct Subclass
{
    SUBCLASSPROC proc = nullptr;
    UINT_PTR id = 0;
    DWORD_PTR refData = 0;
};

struct SimWindow
{
    HWND hwnd = nullptr;
    DWORD threadId = 0;
    DWORD processId = 0;
    bool alive = true;
    // Child controls (CreateWindowExW): their parent, identifier, style, client size and subclasses; a
    // list view's state. A test window has a procedure only when the test gave it one.
    HWND parent = nullptr;
    UINT_PTR controlId = 0;
    DWORD style = 0;
    int clientWidth = 0;
    int clientHeight = 0;
    std::vector<Subclass> subclasses;
    std::shared_ptr<ListViewState> listView;
    std::function<LRESULT(UINT, WPARAM, LPARAM)> testProc;
};

struct Timer
{
    UINT_PTR id = 0;
    DWORD threadId = 0;
    UINT elapse = 0;
    uint64_t due = 0;
    TIMERPROC proc = nullptr;
};

struct PopupItems
{
    std::vector<std::pair<UINT, bool>> items; // command, grayed
    UINT defaultItem = 0;
};

struct ImageList
{
    int cx = 0;
    int cy = 0;
    int count = 0;
    std::map<int, int> overlays; // overlay number -> image index
};

struct Internal
{
    std::map<DWORD, Queue> queues; // thread ID -> its message queue, once it has one
    std::vector<SimWindow> windows;
    std::map<UINT_PTR, Timer> timers;
    uint64_t clock = 0;
    UINT_PTR nextTimer = 1;
    uintptr_t nextHandle = 0x20000;
    std::set<HICON> icons;
    std::map<HIMAGELIST, ImageList> imageLists;
    std::map<HMENU, std::vector<HMENU>> menus; // loaded menu -> its popups
    std::map<HMENU, PopupItems> popupItems;    // popup -> its items
    std::set<std::pair<HWND, UINT>> trayIcons;
    std::map<std::string, unsigned> moduleRefs; // upper-case DLL name -> load count
    std::map<WString, std::weak_ptr<Mutex>> namedMutexes;
    unsigned runningThreads = 0;
    std::set<HFONT> fonts;
    std::map<HDC, HWND> deviceContexts; // live DC -> its window (null: the screen)
};

Desktop& D();  // the installed desktop; call with the lock held
Internal& I(); // its internals; likewise
std::unique_lock<std::mutex> Lock();
std::condition_variable& Changed();
uintptr_t NewHandleValue(); // for windows, icons and menus; never repeats

// Kernel objects as handles of the machine.
HANDLE OpenObject(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> ObjectOf(HANDLE handle); // null when not a live kernel-object handle
template <class T> std::shared_ptr<T> ObjectAs(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(ObjectOf(handle));
}

WString Upper(const WString& text);
std::string NarrowUpper(const WString& text);
WString FileNameOf(const WString& path);
SimWindow* FindWindowLocked(HWND hwnd);        // live or destroyed; null when never a window
std::vector<HWND> LiveChildrenOf(HWND parent); // takes the lock
void DestroyImageListLocked(HIMAGELIST list, const char* caller);

// The list-view control (list_view.cpp): its state for a new window of that class, and its window
// procedure, called without the desktop's lock (it sends notifications to the parent).
std::shared_ptr<ListViewState> NewListViewState(DWORD style, HWND hwnd);
LRESULT ListViewProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
} // namespace winsim::user
