// CKavelorWnd: creation, the tray icon and its menu, the scan results, hiding and coming to the front.
#include "trayapp/KavelorWnd.h"

#include "enumlib/WideString.h"
#include "trayapp/KavelorMessages.h"
#include "trayapp/ScanResultCompare.h"
#include "trayapp/USBEnumerateExThread.h"
#include "trayapp/res/resource.h"

namespace Kavelor
{
namespace
{
const WCHAR kClassName[] = TEXT("KavelorMainWindow");
const int kDefaultWidth = 430;
const int kDefaultHeight = 250;

WString LoadText(HINSTANCE hInstance, UINT nId)
{
    WCHAR szText[256] = {};
    int nLength = LoadStringW(hInstance, nId, szText, 256);
    return TextInBuffer(szText, nLength > 0 ? static_cast<size_t>(nLength) : 0);
}
} // namespace

// Announced by the shell whenever the taskbar is created anew (Explorer restarted): the icon must be added
// again.
UINT CKavelorWnd::s_nTaskBarCreated = RegisterWindowMessageW(TEXT("TaskBarCreated"));

CKavelorWnd::CKavelorWnd(HINSTANCE hInstance, CUSBEnumerateExThread* pScanThread)
    : CTaskTray(hInstance), m_hInstance(hInstance), m_pScanThread(pScanThread), m_bBusy(0)
{
}

CKavelorWnd::~CKavelorWnd()
{
    DestroyWindow();
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
        PostQuitMessage(0);
        return 0;
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
    case WM_COMMAND:
        if (OnCommand(LOWORD(wParam)))
        {
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
        OnScanUpdate();
        return 0;
    }
    return Default(nMsg, wParam, lParam);
}

int CKavelorWnd::OnCreate()
{
    int nWidth = kDefaultWidth;
    int nHeight = kDefaultHeight;
    SetWindowPos(m_hWnd, nullptr, (GetSystemMetrics(SM_CXSCREEN) - nWidth) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - nHeight) / 2, nWidth, nHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);

    m_pScanThread->RegisterNotifyWindow(m_hWnd);
    m_pScanThread->RequestScan();
    AddTrayIcon();
    return 0;
}

void CKavelorWnd::AddTrayIcon()
{
    WString strTip = LoadText(m_hInstance, IDS_CAPTION);
    if (AddIcon(m_hWnd, IDR_MAINFRAME, strTip.c_str()))
    {
        SetNotifyVersion();
    }
}

void CKavelorWnd::OnScanUpdate()
{
    CUSBEnumerateExList devices;
    m_pScanThread->CopyResults(devices);
    if (IsSameResult(devices, m_devices))
    {
        return;
    }
    m_devices.swap(devices);
    RefreshList(0);
}

// The list view that shows m_devices comes with the next step; until then there is nothing to refill.
void CKavelorWnd::RefreshList(int) {}

void CKavelorWnd::OnTrayNotify(LPARAM lParam)
{
    if (lParam == WM_LBUTTONUP)
    {
        BringToFront();
    }
    else if (lParam == WM_RBUTTONUP && !m_bBusy)
    {
        ShowPopupMenu(IDR_TASKTRAY, 0, ID_TASKTRAY_OPEN, FALSE, m_hWnd);
    }
}

BOOL CKavelorWnd::OnCommand(UINT nId)
{
    switch (nId)
    {
    case ID_TASKTRAY_OPEN:
        BringToFront();
        return TRUE;
    case ID_TASKTRAY_EXIT:
        if (!m_bBusy)
        {
            DestroyWindow();
        }
        return TRUE;
    default:
        return FALSE;
    }
}

BOOL CKavelorWnd::PreTranslateMessage(MSG* pMsg)
{
    if (pMsg->message == WM_KEYDOWN && pMsg->wParam == VK_F5)
    {
        m_pScanThread->RequestScan();
        RefreshList(1);
    }
    return FALSE;
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
