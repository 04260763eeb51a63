// CTaskTray: the notification-area icon, its shell-dependent data size, its retry timer and its popup menu.
#include "trayapp/TaskTray.h"

#include "trayapp/KavelorMessages.h"

#include <shlwapi.h>

#include <cstring>

namespace Kavelor
{
namespace
{
const UINT kTrayIconId = 1;
const UINT kRetryMilliseconds = 1000;
const DWORD kShell5 = 5 * 65536;
const DWORD kShell6 = 6 * 65536;

DWORD QueryShellVersion()
{
    HMODULE hShell = LoadLibraryW(TEXT("Shell32.dll"));
    if (hShell == nullptr)
    {
        return 0;
    }
    DWORD dwVersion = 0;
    FARPROC proc = GetProcAddress(hShell, "DllGetVersion");
    DLLGETVERSIONPROC pDllGetVersion = reinterpret_cast<DLLGETVERSIONPROC>(reinterpret_cast<void*>(proc));
    if (pDllGetVersion != nullptr)
    {
        DLLVERSIONINFO info = {};
        info.cbSize = sizeof(info);
        if (SUCCEEDED(pDllGetVersion(&info)))
        {
            dwVersion = info.dwMajorVersion * 65536 + info.dwMinorVersion;
        }
    }
    FreeLibrary(hShell);
    return dwVersion;
}

BOOL IsNewerSystem()
{
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    return GetVersionExW(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion > 5;
}
} // namespace

static_assert(sizeof(void*) != 4 || (sizeof(NOTIFYICONDATAW) == 956 && NOTIFYICONDATAW_V3_SIZE == 952 &&
                                     NOTIFYICONDATAW_V2_SIZE == 936 && NOTIFYICONDATAW_V1_SIZE == 152),
              "the tray data layouts of the 32-bit shell");

std::map<UINT_PTR, CTaskTray*> CTaskTray::s_retryTimers;

CTaskTray::CTaskTray(HINSTANCE hInstance)
    : m_hInstance(hInstance), m_hIcon(nullptr), m_nRetryTimer(0), m_dwShellVersion(QueryShellVersion()),
      m_bNewerSystem(IsNewerSystem())
{
    std::memset(&m_nid, 0, sizeof(m_nid));
    m_nid.cbSize = TrayDataSize(m_dwShellVersion, m_bNewerSystem);
}

CTaskTray::~CTaskTray()
{
    DismissBalloon();
    StopRetry();
    if (m_nid.hWnd != nullptr)
    {
        Shell_NotifyIconW(NIM_DELETE, &m_nid);
    }
    if (m_hIcon != nullptr)
    {
        DestroyIcon(m_hIcon);
    }
}

DWORD CTaskTray::TrayDataSize(DWORD dwShellVersion, BOOL bNewerSystem)
{
    if (dwShellVersion >= kShell6)
    {
        return bNewerSystem ? sizeof(NOTIFYICONDATAW) : NOTIFYICONDATAW_V3_SIZE;
    }
    if (dwShellVersion >= kShell5)
    {
        return NOTIFYICONDATAW_V2_SIZE;
    }
    return NOTIFYICONDATAW_V1_SIZE;
}

BOOL CTaskTray::AddIcon(HWND hWnd, UINT nIconId, LPCWSTR pszTip)
{
    m_nid.hWnd = hWnd;
    m_nid.uID = kTrayIconId;
    m_nid.uCallbackMessage = WM_TRAY_NOTIFY;

    if (m_hIcon != nullptr)
    {
        DestroyIcon(m_hIcon);
    }
    m_hIcon = static_cast<HICON>(LoadImageW(m_hInstance, MAKEINTRESOURCEW(nIconId), IMAGE_ICON,
                                            GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                            LR_DEFAULTCOLOR));
    m_nid.hIcon = m_hIcon;
    m_nid.uFlags = NIF_MESSAGE | (m_hIcon != nullptr ? NIF_ICON : 0) | NIF_TIP;

    // The tip field of the shell's layout, terminator included.
    size_t nTipChars = m_dwShellVersion >= kShell5 ? 128 : 64;
    size_t nCopied = 0;
    if (pszTip != nullptr)
    {
        while (nCopied + 1 < nTipChars && pszTip[nCopied] != 0)
        {
            m_nid.szTip[nCopied] = pszTip[nCopied];
            ++nCopied;
        }
    }
    m_nid.szTip[nCopied] = 0;

    BOOL bAdded = Shell_NotifyIconW(NIM_ADD, &m_nid);
    if (!bAdded && GetLastError() == ERROR_TIMEOUT)
    {
        StopRetry();
        StartRetry();
    }
    return bAdded;
}

BOOL CTaskTray::SetNotifyVersion()
{
    if (m_dwShellVersion < kShell5)
    {
        return FALSE;
    }
    m_nid.uVersion = 0;
    return Shell_NotifyIconW(NIM_SETVERSION, &m_nid);
}

void CTaskTray::StartRetry()
{
    m_nRetryTimer = SetTimer(nullptr, 0, kRetryMilliseconds, RetryTimerProc);
    if (m_nRetryTimer != 0)
    {
        s_retryTimers[m_nRetryTimer] = this;
    }
}

void CTaskTray::StopRetry()
{
    if (m_nRetryTimer == 0)
    {
        return;
    }
    s_retryTimers.erase(m_nRetryTimer);
    KillTimer(nullptr, m_nRetryTimer);
    m_nRetryTimer = 0;
}

VOID CALLBACK CTaskTray::RetryTimerProc(HWND, UINT, UINT_PTR nIdEvent, DWORD)
{
    auto found = s_retryTimers.find(nIdEvent);
    if (found == s_retryTimers.end())
    {
        return;
    }
    CTaskTray* pTray = found->second;
    if (Shell_NotifyIconW(NIM_ADD, &pTray->m_nid) || GetLastError() != ERROR_TIMEOUT)
    {
        pTray->StopRetry();
    }
}

void CTaskTray::PreparePopupMenu(HMENU) {}

UINT CTaskTray::ShowPopupMenu(UINT nMenuId, int nPopupIndex, UINT nDefaultItem, BOOL bDefaultByPosition,
                              HWND hOwner)
{
    if (!IsWindow(hOwner))
    {
        hOwner = m_nid.hWnd;
    }
    HMENU hMenu = LoadMenuW(m_hInstance, MAKEINTRESOURCEW(nMenuId));
    if (hMenu == nullptr)
    {
        return 0;
    }
    HMENU hPopup = GetSubMenu(hMenu, nPopupIndex);
    if (hPopup == nullptr)
    {
        DestroyMenu(hMenu);
        return 0;
    }
    SetMenuDefaultItem(hPopup, nDefaultItem, bDefaultByPosition);
    PreparePopupMenu(hPopup);
    POINT cursor = {};
    GetCursorPos(&cursor);
    SetForegroundWindow(m_nid.hWnd);
    UINT nResult =
        static_cast<UINT>(TrackPopupMenu(hPopup, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, hOwner, nullptr));
    // Without this post the menu would not close when the user clicks elsewhere.
    PostMessageW(m_nid.hWnd, WM_NULL, 0, 0);
    DestroyMenu(hMenu);
    return nResult;
}

void CTaskTray::DismissBalloon()
{
    if (m_dwShellVersion < kShell5 || m_nid.hWnd == nullptr)
    {
        return;
    }
    m_nid.uFlags = NIF_INFO;
    m_nid.dwInfoFlags = 0;
    m_nid.uTimeout = 0;
    m_nid.szInfo[0] = 0;
    m_nid.szInfoTitle[0] = 0;
    Shell_NotifyIconW(NIM_MODIFY, &m_nid);
}
} // namespace Kavelor
