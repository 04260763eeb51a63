// kavelor_main_window: Kavelor itself for the guide's pictures of its main window and its tray menu — the
// application object's start-up, the window shell and its message loop, the main window with its toolbar,
// device list and tray icon, and Kavelor's resources — with one seam: the scan thread's enumeration
// (CUSBEnumerateExThread::EnumerateDevices, which the application starts through StartScanThread) delivers
// one made-up supported stick, since Wine has no USB host controller for the real walk to find one. The
// stick's device nodes are in the prefix's Enum key (the Wine test writes them), so the list reads its
// filter state live, as Kavelor does. A thread timer plays the user: once the list shows the stick it
// selects it and prints what the window shows; after the screenshot it right-clicks the tray icon in Wine's
// taskbar, so that the menu opens through the shell's callback and Kavelor's own handler, prints the menu,
// closes it after the screenshot and chooses Exit through the window's command. One "name<TAB>text" line
// each in UTF-8; "window-shown" and "menu-shown" say when a picture may be taken.
//   kavelor_main_window USB_INSTANCE_ID USBSTOR_INSTANCE_ID DRIVE_LETTER SECONDS_OPEN
// Exit code Kavelor's own (0 after Exit), 1 when its start-up ended early, 2 on wrong arguments, 3 when a
// step timed out (the window did not list the stick, or the menu did not open).
#include "enumlib/EnumerateData.h"
#include "tests/wine/propdialog/config_manager_stand_in.h"
#include "trayapp/KavelorApp.h"
#include "trayapp/USBEnumerateExThread.h"
#include "trayapp/Win32KavelorShell.h"
#include "trayapp/res/resource.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace
{
const UINT kTickMs = 250;
// The first scan and the list's refill a second after it, with room for a slow prefix.
const int kStepTicks = 60;
// The open menu's first second, in which the taskbar may still bring up the icon's tip.
const int kSettleTicks = 4;
// Two seconds after a click without a menu, the next one.
const int kClickAgainTicks = 8;
// Where the cursor waits while the menu is open: left of it, on the desktop.
const int kCursorAside = 40;
// Wine's tray draws each icon in a square of the small icon's size and a border of 2 pixels, from the
// taskbar's right end leftwards.
const int kTrayIconBorder = 2;

void PrintRect(const char* pszName, const RECT& rect)
{
    std::printf("%s\t%ld %ld %ld %ld\n", pszName, static_cast<long>(rect.left), static_cast<long>(rect.top),
                static_cast<long>(rect.right - rect.left), static_cast<long>(rect.bottom - rect.top));
    std::fflush(stdout);
}

// The scan thread of Kavelor with the walk replaced: every scan finds the same stick. The record is made on
// the window's thread before the thread starts (locating the nodes), so the scan only copies it.
class StickScan : public Kavelor::CUSBEnumerateExThread
{
public:
    explicit StickScan(const Kavelor::CUSBEnumerateExData& stick) : stick_(stick) {}

protected:
    void EnumerateDevices(Kavelor::CUSBEnumerateExList& devices) override { devices.push_back(stick_); }

private:
    Kavelor::CUSBEnumerateExData stick_;
};

// Kavelor's application object, starting the thread above the way StartEnumerationThread starts the real
// one: suspended, then resumed once its queue exists.
class StickApp : public Kavelor::CKavelorApp
{
public:
    StickApp(HINSTANCE hInstance, Kavelor::IKavelorShell& shell, const Kavelor::CUSBEnumerateExData& stick)
        : CKavelorApp(hInstance, shell), stick_(stick)
    {
    }

protected:
    Kavelor::CUSBEnumerateExThread* StartScanThread() override
    {
        StickScan* pThread = new StickScan(stick_);
        if (!pThread->CreateThread(CREATE_SUSPENDED))
        {
            delete pThread;
            return nullptr;
        }
        pThread->m_bTargetOnly = TRUE;
        pThread->ResumeThread();
        return pThread;
    }

private:
    Kavelor::CUSBEnumerateExData stick_;
};

// What the user does, one step at a time on the thread timer's ticks.
enum class Step
{
    WaitForList,
    ReportWindow,
    HoldWindow,
    WaitForMenu,
    SettleMenu,
    HoldMenu,
    WaitForMenuClosed
};

struct Script
{
    Step step = Step::WaitForList;
    int ticks = 0;
    int hold_ticks = 0;
    HWND main = nullptr;
    HWND list = nullptr;
    bool timed_out = false;
} script;

void NextStep(Step step)
{
    script.step = step;
    script.ticks = 0;
}

void GiveUp(const char* pszWhat)
{
    std::printf("timed-out\t%s\n", pszWhat);
    std::fflush(stdout);
    script.timed_out = true;
    if (script.main != nullptr)
    {
        PostMessageW(script.main, WM_COMMAND, ID_TASKTRAY_EXIT, 0);
    }
    else
    {
        PostQuitMessage(0);
    }
}

void ReportWindow()
{
    wchar_t szText[256] = {};
    GetWindowTextW(script.main, szText, 256);
    propdialog::PrintUtf8("title", szText);
    RECT rect = {};
    GetWindowRect(script.main, &rect);
    PrintRect("window", rect);
    GetClientRect(script.main, &rect);
    MapWindowPoints(script.main, nullptr, reinterpret_cast<POINT*>(&rect), 2);
    PrintRect("client", rect);
    GetWindowRect(script.list, &rect);
    PrintRect("list", rect);
    int nItems = static_cast<int>(SendMessageW(script.list, LVM_GETITEMCOUNT, 0, 0));
    std::printf("items\t%d\n", nItems);
    szText[0] = 0;
    LVITEMW item = {};
    item.pszText = szText;
    item.cchTextMax = 256;
    SendMessageW(script.list, LVM_GETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&item));
    propdialog::PrintUtf8("item", szText);
    UINT nState = static_cast<UINT>(SendMessageW(script.list, LVM_GETITEMSTATE, 0, LVIS_OVERLAYMASK));
    std::printf("overlay\t%u\n", (nState & LVIS_OVERLAYMASK) >> 8);
    HWND hToolBar = FindWindowExW(script.main, nullptr, TOOLBARCLASSNAMEW, nullptr);
    std::printf("buttons\t");
    for (UINT nId = ID_COMMAND_ENABLE; nId <= ID_COMMAND_HELP; ++nId)
    {
        std::printf("%s%d", nId == ID_COMMAND_ENABLE ? "" : " ",
                    SendMessageW(hToolBar, TB_ISBUTTONENABLED, nId, 0) != 0 ? 1 : 0);
    }
    std::printf("\nwindow-shown\n");
    std::fflush(stdout);
}

// A right click where Wine's taskbar draws the first tray icon; the taskbar tells the icon's window, and
// Kavelor opens its menu at the cursor. False when there is no taskbar or the input was refused.
bool ClickTrayIcon()
{
    HWND hTray = FindWindowW(L"Shell_TrayWnd", nullptr);
    RECT tray = {};
    if (hTray == nullptr || !GetWindowRect(hTray, &tray))
    {
        return false;
    }
    PrintRect("taskbar", tray);
    int nIcon = GetSystemMetrics(SM_CXSMICON) + 2 * kTrayIconBorder;
    POINT at = {tray.right - nIcon / 2, (tray.top + tray.bottom) / 2};
    std::printf("click\t%ld %ld\n", static_cast<long>(at.x), static_cast<long>(at.y));
    std::fflush(stdout);
    // Wine moves the X pointer on its own time, and once 100 ms have passed since the last move it knows of,
    // GetCursorPos reads the position back from X: Kavelor would open its menu wherever X still has the
    // pointer. The click waits until the pointer stays at the icon.
    for (int tries = 0; tries < 20; ++tries)
    {
        SetCursorPos(at.x, at.y);
        Sleep(150);
        POINT now = {};
        if (GetCursorPos(&now) && now.x == at.x && now.y == at.y)
        {
            break;
        }
    }
    // Moved there first as a mouse would, so that the buttons' messages carry the icon's position.
    INPUT clicks[3] = {};
    clicks[0].type = INPUT_MOUSE;
    clicks[0].mi.dx = at.x * 65536 / GetSystemMetrics(SM_CXSCREEN);
    clicks[0].mi.dy = at.y * 65536 / GetSystemMetrics(SM_CYSCREEN);
    clicks[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    clicks[1].type = INPUT_MOUSE;
    clicks[1].mi.dwFlags = MOUSEEVENTF_RIGHTDOWN;
    clicks[2].type = INPUT_MOUSE;
    clicks[2].mi.dwFlags = MOUSEEVENTF_RIGHTUP;
    return SendInput(3, clicks, sizeof(INPUT)) == 3;
}

// Wine's taskbar shows the icon's tip once the cursor has rested on it, and keeps it over the menu, where
// Windows would not.
BOOL CALLBACK PopTip(HWND hWnd, LPARAM)
{
    wchar_t szClass[64] = {};
    if (IsWindowVisible(hWnd) && GetClassNameW(hWnd, szClass, 64) > 0 &&
        std::wcscmp(szClass, TOOLTIPS_CLASSW) == 0)
    {
        SendMessageW(hWnd, TTM_POP, 0, 0);
    }
    return TRUE;
}

HWND OpenMenuWindow()
{
    HWND hMenuWnd = FindWindowW(L"#32768", nullptr);
    return hMenuWnd != nullptr && IsWindowVisible(hMenuWnd) ? hMenuWnd : nullptr;
}

void ReportMenu(HWND hMenuWnd)
{
    RECT rect = {};
    GetWindowRect(hMenuWnd, &rect);
    PrintRect("menu", rect);
    HMENU hMenu = reinterpret_cast<HMENU>(SendMessageW(hMenuWnd, MN_GETHMENU, 0, 0));
    // The items with a text (not the separator), and where each is drawn, for the check of their glyphs.
    std::wstring items;
    std::string rects;
    for (int at = 0; at < GetMenuItemCount(hMenu); ++at)
    {
        wchar_t szText[128] = {};
        RECT item = {};
        if (GetMenuStringW(hMenu, static_cast<UINT>(at), szText, 128, MF_BYPOSITION) > 0 &&
            GetMenuItemRect(nullptr, hMenu, static_cast<UINT>(at), &item))
        {
            items += items.empty() ? L"" : L"|";
            items += szText;
            char szRect[64] = {};
            std::snprintf(szRect, sizeof(szRect), "%s%ld %ld %ld %ld", rects.empty() ? "" : "|",
                          static_cast<long>(item.left), static_cast<long>(item.top),
                          static_cast<long>(item.right - item.left),
                          static_cast<long>(item.bottom - item.top));
            rects += szRect;
        }
    }
    std::printf("menu-rects\t%s\n", rects.c_str());
    propdialog::PrintUtf8("menu-items", items.c_str());
    std::printf("menu-default\t%u\nmenu-shown\n", GetMenuDefaultItem(hMenu, FALSE, 0));
    std::fflush(stdout);
}

VOID CALLBACK Tick(HWND, UINT, UINT_PTR nIdEvent, DWORD)
{
    ++script.ticks;
    switch (script.step)
    {
    case Step::WaitForList:
        script.main = FindWindowW(L"KavelorMainWindow", nullptr);
        script.list =
            script.main != nullptr ? FindWindowExW(script.main, nullptr, WC_LISTVIEWW, nullptr) : nullptr;
        if (script.list != nullptr && SendMessageW(script.list, LVM_GETITEMCOUNT, 0, 0) > 0)
        {
            // Selected as a click would: the toolbar follows the selected device's state.
            LVITEMW state = {};
            state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
            state.state = LVIS_SELECTED | LVIS_FOCUSED;
            SendMessageW(script.list, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&state));
            NextStep(Step::ReportWindow);
        }
        else if (script.ticks > kStepTicks)
        {
            KillTimer(nullptr, nIdEvent);
            GiveUp("the list did not show the stick");
        }
        break;
    case Step::ReportWindow:
        // One tick for the selection's repaint.
        ReportWindow();
        NextStep(Step::HoldWindow);
        break;
    case Step::HoldWindow:
        if (script.ticks >= script.hold_ticks)
        {
            if (!ClickTrayIcon())
            {
                KillTimer(nullptr, nIdEvent);
                GiveUp("no taskbar with a tray to click (Wine's virtual desktop \"shell\")");
                break;
            }
            NextStep(Step::WaitForMenu);
        }
        break;
    case Step::WaitForMenu:
        if (HWND hMenuWnd = OpenMenuWindow())
        {
            // The menu opened at the cursor; the cursor leaves the icon before the taskbar shows its tip,
            // to the desktop beside the menu, where it selects nothing.
            RECT menu = {};
            GetWindowRect(hMenuWnd, &menu);
            SetCursorPos(menu.left - kCursorAside, menu.top);
            NextStep(Step::SettleMenu);
        }
        else if (script.ticks > kStepTicks)
        {
            KillTimer(nullptr, nIdEvent);
            GiveUp("the tray menu did not open");
        }
        else if (script.ticks % kClickAgainTicks == 0)
        {
            // A click the taskbar missed (seen once under Wine 8) is tried again, as a user would.
            ClickTrayIcon();
        }
        break;
    case Step::SettleMenu:
        // The timer runs inside the menu's own loop, which dispatches it. A second for the tip to come up
        // and be put away.
        EnumWindows(PopTip, 0);
        if (script.ticks >= kSettleTicks)
        {
            ReportMenu(OpenMenuWindow());
            NextStep(Step::HoldMenu);
        }
        break;
    case Step::HoldMenu:
        EnumWindows(PopTip, 0);
        if (script.ticks >= script.hold_ticks)
        {
            EndMenu();
            NextStep(Step::WaitForMenuClosed);
        }
        break;
    case Step::WaitForMenuClosed:
        if (OpenMenuWindow() == nullptr)
        {
            KillTimer(nullptr, nIdEvent);
            PostMessageW(script.main, WM_COMMAND, ID_TASKTRAY_EXIT, 0);
        }
        break;
    }
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    UINT nSeconds = argc == 5 ? static_cast<UINT>(std::wcstoul(argv[4], nullptr, 10)) : 0;
    if (argc != 5 || std::wcslen(argv[3]) != 1 || nSeconds == 0)
    {
        std::fprintf(stderr, "usage: kavelor_main_window USB_ID USBSTOR_ID DRIVE_LETTER SECONDS_OPEN\n");
        return 2;
    }
    bool bStandIn = propdialog::UseConfigManagerStandInUnlessWineLocates(argv[1]);
    std::printf("config-manager\t%s\n", bStandIn ? "stand-in over the setup API" : "Wine's own");
    script.hold_ticks = static_cast<int>(nSeconds * 1000 / kTickMs);
    Kavelor::CUSBEnumerateExData stick = propdialog::StandInStick(argv[1], argv[2], argv[3][0]);

    // As Kavelor's wWinMain, without its arguments.
    HINSTANCE hInstance = GetModuleHandleW(nullptr);
    Kavelor::CWin32KavelorShell shell(hInstance);
    StickApp app(hInstance, shell, stick);
    SetTimer(nullptr, 0, kTickMs, Tick);
    BOOL bStarted = app.InitInstance({});
    if (bStarted)
    {
        shell.Run();
        shell.DestroyMainWindow();
    }
    int nExitCode = app.ExitInstance();
    std::printf("closed\t%d\n", nExitCode);
    if (!bStarted)
    {
        return 1;
    }
    return script.timed_out ? 3 : nExitCode;
}
