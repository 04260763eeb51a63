// CKavelorApp: start-up in its fixed order, the activation of a running instance, and shutdown.
#include "trayapp/KavelorApp.h"

#include "trayapp/KavelorMessages.h"
#include "trayapp/ModulePath.h"
#include "trayapp/ProcessMgr.h"
#include "trayapp/ResourceException.h"
#include "trayapp/ServiceControl.h"
#include "trayapp/USBEnumerateExThread.h"
#include "trayapp/res/resource.h"

#include <clocale>

namespace Kavelor
{
const WCHAR* const g_pszInstanceMutexName = TEXT("{5D9DEDA2-604C-48a9-8A5A-994B4A7536CA}");

namespace
{
const DWORD kInstanceWaitMilliseconds = 10;
const DWORD kThreadEndMilliseconds = 10000;
const int kMessageChars = 1024;

WString LoadText(HINSTANCE hInstance, UINT nId)
{
    WCHAR szText[kMessageChars] = {};
    int nLength = LoadStringW(hInstance, nId, szText, kMessageChars);
    return TextInBuffer(szText, nLength > 0 ? static_cast<size_t>(nLength) : 0);
}
} // namespace

CKavelorApp::CKavelorApp(HINSTANCE hInstance, IKavelorShell& shell)
    : m_startupResult(StartupResult::NotStarted), m_pScanThread(nullptr), m_hInstance(hInstance),
      m_shell(shell), m_hInstanceMutex(CreateMutexW(nullptr, TRUE, g_pszInstanceMutexName)),
      m_bInstanceLocked(FALSE)
{
    if (m_hInstanceMutex == nullptr)
    {
        throw CResourceException();
    }
}

CKavelorApp::~CKavelorApp()
{
    CloseHandle(m_hInstanceMutex);
}

CUSBEnumerateExThread* CKavelorApp::StartScanThread()
{
    return StartEnumerationThread(TRUE);
}

BOOL CKavelorApp::InitInstance(const std::vector<WString>& arguments)
{
    m_shell.InitFramework();
    m_cmdInfo.ParseCommandLine(arguments);
    SelectProcessManagerImplementation();
    std::setlocale(LC_ALL, "");

    // The process that created the mutex owns it already, so only a later process waits in vain.
    DWORD dwWait = WaitForSingleObject(m_hInstanceMutex, kInstanceWaitMilliseconds);
    if (dwWait != WAIT_OBJECT_0 && dwWait != WAIT_ABANDONED)
    {
        ActivateRunningInstance();
        m_startupResult = StartupResult::SecondInstance;
        return FALSE;
    }
    m_bInstanceLocked = TRUE;

    // The file test comes first: a missing Kavset is reported even when the service is missing too.
    WString strKavset = GetPathBesideModule(TEXT("Kavset.exe"));
    DWORD dwAttributes = strKavset.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(strKavset.c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES || (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    {
        ShowInstallationError(IDS_KAVSET_MISSING);
        m_startupResult = StartupResult::KavsetMissing;
        return FALSE;
    }
    if (!IsServiceInstalled(TEXT("Kavfiltr")))
    {
        ShowInstallationError(IDS_SERVICE_MISSING);
        m_startupResult = StartupResult::ServiceMissing;
        return FALSE;
    }

    m_pScanThread = StartScanThread();
    if (m_pScanThread == nullptr)
    {
        m_startupResult = StartupResult::ThreadFailed;
        return FALSE;
    }
    if (!m_shell.CreateMainWindow(m_pScanThread, !m_cmdInfo.m_bHideOnStart))
    {
        m_startupResult = StartupResult::WindowFailed;
        return FALSE;
    }
    m_startupResult = StartupResult::Running;
    return TRUE;
}

void CKavelorApp::ShowInstallationError(UINT nTextId)
{
    WString strText = LoadText(m_hInstance, nTextId);
    WString strCaption = LoadText(m_hInstance, IDS_CAPTION);
    MessageBoxW(nullptr, strText.c_str(), strCaption.c_str(), MB_ICONERROR);
}

// Only processes running this very program are addressed, never this process itself.
void CKavelorApp::ActivateRunningInstance()
{
    WString strPath = GetModulePath();
    if (strPath.empty())
    {
        return;
    }
    CProcessMgr processes;
    CProcessIdList ids;
    processes.FindProcessesByPath(strPath, ids);
    ids.remove(GetCurrentProcessId());
    for (DWORD dwProcessId : ids)
    {
        CWindowList windows;
        processes.GetProcessWindows(dwProcessId, windows);
        for (HWND hWnd : windows)
        {
            if (IsWindow(hWnd))
            {
                PostMessageW(hWnd, WM_SHOW_MAIN_WINDOW, 0, 0);
            }
        }
    }
}

int CKavelorApp::ExitInstance()
{
    if (m_pScanThread != nullptr)
    {
        PostThreadMessageW(m_pScanThread->m_nThreadID, WM_QUIT, 0, 0);
        if (WaitForSingleObject(m_pScanThread->m_hThread, kThreadEndMilliseconds) == WAIT_TIMEOUT)
        {
            TerminateThread(m_pScanThread->m_hThread, 0xFFFFFFFF);
        }
        delete m_pScanThread;
        m_pScanThread = nullptr;
    }
    if (m_bInstanceLocked)
    {
        ReleaseMutex(m_hInstanceMutex);
        m_bInstanceLocked = FALSE;
    }
    ReleaseProcessManagerSingletons();
    return m_shell.ExitFramework();
}
} // namespace Kavelor
