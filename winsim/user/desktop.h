// winsim/user: the user-mode side of the simulated PC that the tray application runs on — kernel32's
// synchronisation objects and threads, user32's message queues, windows, timers and resources, the tray,
// the list-view control,
// the loader with PSAPI.DLL, Kernel32.DLL's Tool Help routines and Shell32.dll, the processes of the PC,
// its files and its service control manager.
//
// The state lives in one Desktop, installed for a test with ScopedDesktop on top of a ScopedMachine (the
// kernel objects are handles of the machine, so the machine's leak check covers them). Rules checked
// (a broken one is a violation that aborts the run, as a verifier stop would):
//   - releasing a semaphore past its maximum, or a mutex the thread does not own;
//   - TerminateThread (the simulation cannot stop a thread: one that does not end is a fault of its own);
//   - a thread timer killed by another thread than its owner, or one that does not exist;
//   - DestroyIcon or DestroyMenu of a handle that is not live, or of a popup that belongs to a menu; menu
//     items addressed by position (the product addresses them by command);
//   - an image list destroyed twice or used after it was destroyed, an icon put into one that is not a live
//     icon, an overlay number outside 1 to 15;
//   - FreeLibrary of a module that is not loaded; GetProcAddress on one that is not;
//   - Shell_NotifyIconW with a cbSize that is none of the shell's layouts, a tip without terminator in
//     its field, or a version or balloon call on a shell older than 5.0;
//   - Tool Help entries whose dwSize is not the wide layout's; an ANSI Tool Help routine called at all;
//   - QueryFullProcessImageNameW on a handle opened without a query right, or with flags other than 0;
//   - CloseServiceHandle of a handle that is not a service handle;
//   - child controls and the list view: the rules in child_windows.cpp and list_view.cpp;
//   - and when the desktop is taken down: icons, image lists, menus, timers, tray icons, fonts, device
//     contexts or loaded modules left, or a thread still running.
#pragma once

#include "winsim/machine/machine.h"

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace winsim::user
{
using machine::WString;

// A process of the simulated PC. imagePath is what PSAPI reports for its first module (it may be in the
// "\??\C:\..." form); modules are what Tool Help lists, the executable first. Empty modules: the image
// path alone (without a "\??\" prefix).
struct SimProcess
{
    DWORD id = 0;
    WString imagePath;
    std::vector<WString> modules;
    bool openable = true; // false: OpenProcess and the module snapshot are refused (a system process)
    // Runs with higher rights than the caller: only PROCESS_QUERY_LIMITED_INFORMATION is granted, which
    // reads the image path (QueryFullProcessImageNameW) but not the modules.
    bool elevated = false;
};

struct MessageBoxCall
{
    HWND owner = nullptr;
    WString text;
    WString caption;
    UINT type = 0;
};

// A popup as it was when it was tracked: its commands with their grey state, and the default command.
struct TrackedMenu
{
    std::vector<std::pair<UINT, bool>> items; // command (0 a separator), grayed
    UINT defaultItem = 0;                     // 0: none
    HWND owner = nullptr;
};

struct TrayCall
{
    DWORD message = 0;
    DWORD cbSize = 0;
    UINT flags = 0;
    WString tip;
    UINT version = 0;
    bool succeeded = false;
};

struct Desktop
{
    // Knobs. Set them before the product runs; those read by other threads are read under the desktop's
    // lock.
    WString modulePath = u"C:\\Program Files\\Kavelor\\Kavelor.exe";
    std::map<WString, DWORD> files; // upper-case path -> attributes
    bool scmAvailable = true;
    std::set<std::string> absentModules;  // upper-case DLL names that LoadLibraryW does not find
    std::set<std::string> absentRoutines; // routine names that GetProcAddress does not find
    DWORD shellMajor = 6;
    DWORD shellMinor = 1;
    DWORD osMajor = 6;
    DWORD osMinor = 1;
    DWORD osPlatform = VER_PLATFORM_WIN32_NT;
    unsigned shellTimeouts = 0; // the next NIM_ADD calls fail with ERROR_TIMEOUT
    bool shellAlwaysTimesOut = false;
    std::vector<SimProcess> processes;
    DWORD currentProcessId = 1000;
    // Runs when a process list was taken (EnumProcesses, a process snapshot), after the IDs were copied.
    std::function<void()> afterProcessList;
    std::set<UINT> iconResources;
    std::map<UINT, int> menuResources; // menu id -> number of popups
    // menu id -> its popups' commands in order (0 a separator); overrides menuResources for that id
    std::map<UINT, std::vector<std::vector<UINT>>> menuItems;
    std::map<UINT, WString> strings;
    std::set<WCHAR> shellDriveIcons; // drive letters (upper case) whose root the shell has an icon for
    UINT trackPopupCommand = 0;
    int messageBoxResult = IDOK;
    unsigned failThreadCreations = 0;
    unsigned failSemaphoreCreations = 0;
    unsigned failThreadPosts = 0;
    // Runs in the posting thread after a message was queued for a window.
    std::function<void(HWND, UINT)> onPostToWindow;

    // Records.
    std::vector<MessageBoxCall> messageBoxes;
    std::vector<TrayCall> trayCalls;
    std::vector<TrackedMenu> trackedMenus;
    std::vector<WString> shellIconRequests; // the paths SHGetFileInfoW was asked an icon for
    unsigned failedWindowPosts = 0;
};

// Installs a fresh desktop for the life of this object. The machine must be installed first.
class ScopedDesktop
{
public:
    ScopedDesktop();
    ~ScopedDesktop();
    ScopedDesktop(const ScopedDesktop&) = delete;
    ScopedDesktop& operator=(const ScopedDesktop&) = delete;
    Desktop& operator*() { return desktop_; }
    Desktop* operator->() { return &desktop_; }

private:
    Desktop desktop_;
};

// The installed desktop (a violation when none is) and the lock that guards it.
Desktop& CurrentDesktop();
void LockDesktop();
void UnlockDesktop();

// Windows: a top-level window owned by the calling thread (which gets a message queue) and a process.
HWND CreateTestWindow(DWORD processId);
// Destroys the window's child controls first, as Windows does.
void DestroyTestWindow(HWND hwnd);
// What the test window answers to messages sent to it (WM_NOTIFY from a child control, say); without
// one it answers 0, as DefWindowProc does.
void SetTestWindowProc(HWND hwnd, std::function<LRESULT(UINT, WPARAM, LPARAM)> proc);
// Waits up to timeoutMs for a message posted to hwnd (the calling thread must own it) and removes it.
bool WaitForPosted(HWND hwnd, UINT message, DWORD timeoutMs);
size_t QueuedFor(HWND hwnd, UINT message);

// Thread timers of the calling thread: advances their clock and runs the procedure of every timer that
// became due (once per call, as WM_TIMER is coalesced).
void ElapseTimers(DWORD milliseconds);
size_t TimerCount();

// The tray as the shell shows it.
size_t TrayIconCount();
size_t LiveIconCount();
// A live image list: its icon size, its number of images and its overlays (number -> image index).
struct ImageListInfo
{
    int cx = 0;
    int cy = 0;
    int count = 0;
    std::map<int, int> overlays;
};
bool GetImageListInfo(HIMAGELIST list, ImageListInfo& info);
size_t LiveImageListCount();
size_t LiveMenuCount();
size_t LoadedModuleCount();
size_t RunningThreadCount();
void AddFile(const WString& path, DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
} // namespace winsim::user
