// CKavelorWnd: creation and sizing, the controls and dialogs behind CKavelorWndCore, the tray icon and
// its menu, command routing, hiding and coming to the front, and help.
#include "trayapp/KavelorWnd.h"

#include "trayapp/AboutDlg.h"
#include "trayapp/KavelorMessages.h"
#include "trayapp/KavsetJob.h"
#include "trayapp/ModulePath.h"
#include "trayapp/PropatyDlg.h"
#include "trayapp/ResourceText.h"
#include "trayapp/ShieldMessageBox.h"
#include "trayapp/USBEnumerateExThread.h"
#include "trayapp/WindowDpi.h"
#include "trayapp/WorkingDlg.h"
#include "trayapp/res/resource.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

namespace Kavelor
{
namespace
{
const WCHAR kClassName[] = L"KavelorMainWindow";
const int kDefaultWidth = 430;
const int kDefaultHeight = 250;
// The frame's first pane and its top control bar.
const UINT kListViewId = 0xE900;
const UINT kToolBarId = 0xE800;
// Media inserted and removed, drive removed and added, image updated.
const LONG kShellEvents = 0x81E0;

const UINT kButtonCommands[] = {ID_COMMAND_ENABLE, ID_COMMAND_DISABLE, ID_COMMAND_PROPERTIES,
                                ID_COMMAND_VERSION, ID_COMMAND_HELP};
const UINT kButtonTexts[] = {IDS_BUTTON_ENABLE, IDS_BUTTON_DISABLE, IDS_BUTTON_PROPERTIES, IDS_BUTTON_VERSION,
                             IDS_BUTTON_HELP};
const int kButtonCount = 5;
// The toolbar's pictures at 96 DPI.
const int kImageSize = 24;

// Above 100 % the pictures drawn for 48 pixels are shrunk: sharper than the small ones blown up.
UINT ToolbarBitmap(UINT nDpi)
{
    return ScaleToDpi(kImageSize, nDpi) > kImageSize ? IDB_TOOLBAR_48 : IDB_TOOLBAR;
}
} // namespace

// Announced by the shell whenever the taskbar is created anew (Explorer restarted): the icon must be added
// again.
UINT CKavelorWnd::s_nTaskBarCreated = RegisterWindowMessageW(L"TaskBarCreated");

CKavelorWnd::CKavelorWnd(HINSTANCE hInstance, CUSBEnumerateExThread* pScanThread)
    : CTaskTray(hInstance), m_hInstance(hInstance), m_pScanThread(pScanThread),
      m_core(hInstance, *pScanThread, *this), m_listView(hInstance, m_core), m_hNotify(0),
      m_nDpi(DEFAULT_DPI), m_hToolBarFont(nullptr)
{
}

CKavelorWnd::~CKavelorWnd()
{
    DestroyWindow();
    if (m_hToolBarFont != nullptr)
    {
        DeleteObject(m_hToolBarFont);
    }
}

BOOL CKavelorWnd::Create()
{
    if (!RegisterWindowClass(m_hInstance, kClassName, IDR_MAINFRAME))
    {
        return FALSE;
    }
    WString strTitle = LoadText(m_hInstance, IDS_TITLE);
    return CreateEx(0, m_hInstance, kClassName, strTitle.c_str(), WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT,
                    CW_USEDEFAULT, kDefaultWidth, kDefaultHeight, nullptr);
}

LRESULT CKavelorWnd::WindowProc(UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == s_nTaskBarCreated && nMsg != 0)
    {
        AddTrayIcon();
        return 0;
    }
    switch (nMsg)
    {
    case WM_CREATE:
        return OnCreate();
    case WM_DESTROY:
        if (m_hNotify != 0)
        {
            SHChangeNotifyDeregister(m_hNotify);
            m_hNotify = 0;
        }
        // The children go with this window; their objects must not destroy them again.
        m_listView.m_hWnd = nullptr;
        m_toolBar.Destroy();
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        LayoutChildren();
        return 0;
    case WM_DPICHANGED:
        OnDpiChanged(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_SETFOCUS:
        Default(nMsg, wParam, lParam);
        if (m_listView.m_hWnd != nullptr)
        {
            SetFocus(m_listView.m_hWnd);
        }
        return 0;
    case WM_ACTIVATE:
        UpdateCommands();
        return Default(nMsg, wParam, lParam);
    case WM_DEVICECHANGE:
        m_pScanThread->RequestScan();
        return Default(nMsg, wParam, lParam);
    case WM_SYSCOMMAND:
        if (wParam == SC_CLOSE || wParam == SC_MINIMIZE)
        {
            HideToTray();
            return 0;
        }
        return Default(nMsg, wParam, lParam);
    case WM_TIMER:
        m_core.OnTimer(wParam);
        return 0;
    case WM_NOTIFY:
        return OnNotify(reinterpret_cast<NMHDR*>(lParam));
    case WM_CONTEXTMENU:
        if (reinterpret_cast<HWND>(wParam) == m_listView.m_hWnd && m_listView.m_hWnd != nullptr)
        {
            m_listView.OnContextMenu();
            return 0;
        }
        return Default(nMsg, wParam, lParam);
    case WM_COMMAND:
        if (OnCommand(LOWORD(wParam)))
        {
            UpdateCommands();
            return 0;
        }
        return Default(nMsg, wParam, lParam);
    default:
        break;
    }
    if (nMsg == WM_TRAY_NOTIFY)
    {
        OnTrayNotify(lParam);
        return 0;
    }
    if (nMsg == WM_SHOW_MAIN_WINDOW)
    {
        BringToFront();
        return 0;
    }
    if (nMsg == WM_SCAN_UPDATE)
    {
        m_core.OnScanUpdate();
        UpdateCommands();
        return 0;
    }
    if (nMsg == WM_SHELL_CHANGE)
    {
        m_core.RefreshList(1);
        return 0;
    }
    if (nMsg == WM_REENABLE_PROMPT)
    {
        m_core.OnReenablePrompt();
        UpdateCommands();
        return 0;
    }
    return Default(nMsg, wParam, lParam);
}

// Any failure before the window is sized fails the creation, and the application ends.
int CKavelorWnd::OnCreate()
{
    m_core.Attach(m_hWnd);
    m_nDpi = GetWindowDpi(m_hWnd);
    if (!m_listView.Create(m_hWnd, kListViewId))
    {
        return -1;
    }
    if (!m_toolBar.Create(m_hInstance, m_hWnd, kToolBarId) ||
        !m_toolBar.SetupButtons(m_hInstance, ToolbarBitmap(m_nDpi), ScaleToDpi(kImageSize, m_nDpi),
                                kButtonCommands, kButtonTexts, kButtonCount))
    {
        return -1;
    }
    SizeToContent(TRUE);

    m_pScanThread->RegisterNotifyWindow(m_hWnd);
    m_pScanThread->RequestScan();
    AddTrayIcon();
    RegisterShellNotify();
    UpdateCommands();
    return 0;
}

// Room for the buttons side by side, or for five icons when they need more, and two rows of icons; the
// frame's parts at the window's DPI.
void CKavelorWnd::SizeToContent(BOOL bCentre)
{
    int nWidth = kDefaultWidth;
    int nHeight = kDefaultHeight;
    SIZE bar = {};
    if (m_toolBar.GetBarSize(bar))
    {
        DWORD dwItem = static_cast<DWORD>(
            SendMessageW(m_listView.m_hWnd, LVM_APPROXIMATEVIEWRECT, 1, MAKELPARAM(0xFFFF, 0xFFFF)));
        int nItemWidth = LOWORD(dwItem);
        int nItemHeight = HIWORD(dwItem);
        nHeight = bar.cy + GetSystemMetricForDpi(SM_CYCAPTION, m_nDpi) +
                  2 * GetSystemMetricForDpi(SM_CYFRAME, m_nDpi) + 2 * nItemHeight;
        nWidth = 5 * nItemWidth >= bar.cx ? 5 * nItemWidth : bar.cx;
        nWidth += GetSystemMetricForDpi(SM_CXVSCROLL, m_nDpi);
    }
    else
    {
        nWidth = ScaleToDpi(nWidth, m_nDpi);
        nHeight = ScaleToDpi(nHeight, m_nDpi);
    }
    SetWindowPos(m_hWnd, nullptr, 0, 0, nWidth, nHeight, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (!bCentre)
    {
        LayoutChildren();
        return;
    }
    RECT window = {};
    GetWindowRect(m_hWnd, &window);
    int cx = window.right - window.left;
    int cy = window.bottom - window.top;
    SetWindowPos(m_hWnd, nullptr, (GetSystemMetrics(SM_CXSCREEN) - cx) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - cy) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    LayoutChildren();
}

// Moved to a monitor of another DPI: the system suggests where the window goes; the pictures, the font and
// the size follow the new DPI.
void CKavelorWnd::OnDpiChanged(UINT nDpi, const RECT* pSuggested)
{
    m_nDpi = nDpi;
    SetWindowPos(m_hWnd, nullptr, pSuggested->left, pSuggested->top, pSuggested->right - pSuggested->left,
                 pSuggested->bottom - pSuggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    HFONT hFont = CreateIconTitleFont(nDpi);
    m_toolBar.Rescale(m_hInstance, ToolbarBitmap(nDpi), ScaleToDpi(kImageSize, nDpi), hFont);
    if (m_hToolBarFont != nullptr)
    {
        DeleteObject(m_hToolBarFont);
    }
    m_hToolBarFont = hFont;
    m_listView.OnDpiChanged(nDpi, m_core.m_devices);
    SizeToContent(FALSE);
    UpdateCommands();
}

void CKavelorWnd::LayoutChildren()
{
    if (m_toolBar.m_hWnd == nullptr || m_listView.m_hWnd == nullptr)
    {
        return;
    }
    SendMessageW(m_toolBar.m_hWnd, TB_AUTOSIZE, 0, 0);
    RECT client = {};
    GetClientRect(m_hWnd, &client);
    RECT bar = {};
    GetWindowRect(m_toolBar.m_hWnd, &bar);
    int nTop = bar.bottom - bar.top;
    MoveWindow(m_listView.m_hWnd, 0, nTop, client.right, client.bottom > nTop ? client.bottom - nTop : 0,
               TRUE);
}

// Without the shell's notifications the window still learns of device changes from WM_DEVICECHANGE.
void CKavelorWnd::RegisterShellNotify()
{
    PIDLIST_ABSOLUTE pidl = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(m_hWnd, CSIDL_DRIVES, &pidl)) || pidl == nullptr)
    {
        return;
    }
    SHChangeNotifyEntry entry = {};
    entry.pidl = pidl;
    entry.fRecursive = FALSE;
    m_hNotify = SHChangeNotifyRegister(m_hWnd, SHCNRF_ShellLevel, kShellEvents, WM_SHELL_CHANGE, 1, &entry);
    CoTaskMemFree(pidl);
}

void CKavelorWnd::AddTrayIcon()
{
    WString strTip = LoadText(m_hInstance, IDS_CAPTION);
    if (AddIcon(m_hWnd, IDR_MAINFRAME, strTip.c_str()))
    {
        SetNotifyVersion();
    }
}

void CKavelorWnd::OnTrayNotify(LPARAM lParam)
{
    if (lParam == WM_LBUTTONUP)
    {
        BringToFront();
    }
    else if (lParam == WM_RBUTTONUP)
    {
        m_core.OnTrayRightClick();
    }
}

// The list view is offered every command first; what it does not handle is the window's own.
BOOL CKavelorWnd::OnCommand(UINT nId)
{
    if (m_listView.OnCommand(nId))
    {
        return TRUE;
    }
    switch (nId)
    {
    case ID_TASKTRAY_OPEN:
        BringToFront();
        return TRUE;
    case ID_TASKTRAY_EXIT:
        m_core.OnExit();
        return TRUE;
    case ID_COMMAND_VERSION:
        m_core.OnVersion();
        return TRUE;
    case ID_COMMAND_HELP:
        OnHelp();
        return TRUE;
    default:
        return FALSE;
    }
}

LRESULT CKavelorWnd::OnNotify(NMHDR* pHeader)
{
    if (pHeader->code == TTN_GETDISPINFOW)
    {
        // The toolbar's tooltips ask for each button's text; the tooltip loads it from the string table.
        NMTTDISPINFOW* pInfo = reinterpret_cast<NMTTDISPINFOW*>(pHeader);
        for (int at = 0; at < kButtonCount; ++at)
        {
            if (pHeader->idFrom == kButtonCommands[at])
            {
                pInfo->hinst = m_hInstance;
                pInfo->lpszText = MAKEINTRESOURCEW(kButtonTexts[at]);
            }
        }
        return 0;
    }
    if (pHeader->hwndFrom == m_listView.m_hWnd && m_listView.m_hWnd != nullptr)
    {
        if (pHeader->code == NM_DBLCLK)
        {
            m_listView.OnDoubleClick();
            return 0;
        }
        if (pHeader->code == LVN_ITEMCHANGED)
        {
            UpdateCommands();
        }
    }
    return 0;
}

// The buttons follow the selection and the selected device's state, and Help the document's presence.
void CKavelorWnd::UpdateCommands()
{
    if (m_toolBar.m_hWnd == nullptr)
    {
        return;
    }
    for (UINT nId : {ID_COMMAND_ENABLE, ID_COMMAND_DISABLE, ID_COMMAND_PROPERTIES})
    {
        m_toolBar.EnableButton(nId, m_listView.IsCommandEnabled(nId));
    }
    m_toolBar.EnableButton(ID_COMMAND_VERSION, TRUE);
    m_toolBar.EnableButton(ID_COMMAND_HELP, !FindHelpDocument().empty());
}

WString FindHelpDocument()
{
    WString strPath = GetPathBesideModule(L"Kavelor.pdf");
    if (strPath.empty())
    {
        return strPath;
    }
    WIN32_FIND_DATAW found = {};
    HANDLE hFind = FindFirstFileW(strPath.c_str(), &found);
    if (hFind == INVALID_HANDLE_VALUE)
    {
        return WString();
    }
    FindClose(hFind);
    return strPath;
}

// Removed between enabling and choosing: nothing happens.
void CKavelorWnd::OnHelp()
{
    WString strPath = FindHelpDocument();
    if (strPath.empty())
    {
        return;
    }
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = m_hWnd;
    info.lpVerb = L"open";
    info.lpFile = strPath.c_str();
    info.nShow = SW_SHOW;
    if (ShellExecuteExW(&info) && reinterpret_cast<INT_PTR>(info.hInstApp) > 32 && info.hProcess != nullptr)
    {
        DWORD dwExitCode = 0;
        GetExitCodeProcess(info.hProcess, &dwExitCode);
        CloseHandle(info.hProcess);
    }
}

BOOL CKavelorWnd::PreTranslateMessage(MSG* pMsg)
{
    if (pMsg->message == WM_KEYDOWN && pMsg->wParam == VK_F5)
    {
        m_core.OnRefreshKey();
    }
    return FALSE;
}

BOOL CKavelorWnd::HasListView()
{
    return m_listView.m_hWnd != nullptr;
}

void CKavelorWnd::FillList(const CUSBEnumerateExList& devices)
{
    m_listView.FillList(devices);
    UpdateCommands();
}

UINT_PTR CKavelorWnd::StartRefreshTimer()
{
    return SetTimer(m_hWnd, REFRESH_TIMER_ID, REFRESH_TIMER_MILLISECONDS, nullptr);
}

void CKavelorWnd::StopRefreshTimer(UINT_PTR nTimer)
{
    KillTimer(m_hWnd, nTimer);
}

int CKavelorWnd::ShieldMessageBox(HWND hOwner, const WString& strText, const WString& strCaption, UINT nType,
                                  int nButtonId)
{
    return Kavelor::ShieldMessageBox(hOwner, strText.c_str(), strCaption.c_str(), nType, &nButtonId, 1);
}

void CKavelorWnd::RunWorkingDialog(HWND hOwner, CKavsetJob& job)
{
    CWorkingDlg dialog(m_hInstance, job);
    if (dialog.DoModal(hOwner) == -1 && job.m_bStarted == 0)
    {
        // The dialog template could not be used: the same as a worker that never ran.
        job.OnWorkerNotCreated();
    }
}

void CKavelorWnd::RunPropertyDialog(HWND hOwner, const CUSBEnumerateExData& device,
                                    const CUSBEnumerateExTree& node)
{
    CPropatyDlg dialog(m_hInstance, device, node);
    dialog.DoModal(hOwner);
}

void CKavelorWnd::RunAboutDialog()
{
    CAboutDlg dialog(m_hInstance);
    dialog.DoModal(m_hWnd);
}

void CKavelorWnd::ShowTrayMenu()
{
    ShowPopupMenu(IDR_TASKTRAY, 0, ID_TASKTRAY_OPEN, FALSE, m_hWnd);
}

void CKavelorWnd::CloseMainWindow()
{
    DestroyWindow();
}

// The caption flies to the lower-right corner, where the tray is, and the window hides.
void CKavelorWnd::HideToTray()
{
    RECT from = {};
    GetWindowRect(m_hWnd, &from);
    int cx = GetSystemMetrics(SM_CXSCREEN);
    int cy = GetSystemMetrics(SM_CYSCREEN);
    RECT to = {cx - 120, cy - 16, cx, cy};
    DrawAnimatedRects(m_hWnd, IDANI_CAPTION, &from, &to);
    ShowWindow(m_hWnd, SW_HIDE);
}

// Windows lets only the foreground thread give the foreground away; joining its input queue for the call
// and the foreground lock time-out at 0 let a tray program come forward when asked to.
void CKavelorWnd::BringToFront()
{
    if (!IsWindow(m_hWnd))
    {
        return;
    }
    DWORD dwForegroundThread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
    DWORD dwOwnThread = GetWindowThreadProcessId(m_hWnd, nullptr);
    AttachThreadInput(dwOwnThread, dwForegroundThread, TRUE);
    DWORD dwTimeout = 0;
    SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &dwTimeout, 0);
    SystemParametersInfoW(SPI_SETFOREGROUNDLOCKTIMEOUT, 0, nullptr, 0);
    SetForegroundWindow(m_hWnd);
    SystemParametersInfoW(SPI_SETFOREGROUNDLOCKTIMEOUT, 0,
                          reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(dwTimeout)), 0);
    AttachThreadInput(dwOwnThread, dwForegroundThread, FALSE);

    if (!IsWindowVisible(m_hWnd))
    {
        ShowWindow(m_hWnd, SW_SHOW);
        RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }
    WINDOWPLACEMENT placement = {};
    placement.length = sizeof(placement);
    if (GetWindowPlacement(m_hWnd, &placement) && placement.showCmd == SW_SHOWMINIMIZED)
    {
        PostMessageW(m_hWnd, WM_SYSCOMMAND, SC_RESTORE, 0);
    }
}
} // namespace Kavelor
