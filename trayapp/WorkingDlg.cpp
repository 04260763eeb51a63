// CWorkingDlg: Kavset started through the shell (its manifest asks for elevation), waited for without
// time-out, and the dialog's part of the job's protocol.
#include "trayapp/WorkingDlg.h"

#include "trayapp/KavelorMessages.h"
#include "trayapp/KavsetJob.h"
#include "trayapp/ResourceText.h"
#include "trayapp/res/resource.h"

#include <shellapi.h>

namespace Kavelor
{
namespace
{
// ShellExecuteExW with a process handle; the handle is closed after the wait, on every path.
class CShellKavsetLauncher : public IKavsetLauncher
{
public:
    explicit CShellKavsetLauncher(HWND hDialog) : m_hDialog(hDialog), m_hProcess(nullptr) {}
    ~CShellKavsetLauncher() override
    {
        if (m_hProcess != nullptr)
        {
            CloseHandle(m_hProcess);
        }
    }
    CShellKavsetLauncher(const CShellKavsetLauncher&) = delete;
    CShellKavsetLauncher& operator=(const CShellKavsetLauncher&) = delete;

    BOOL Start(const WString& strFile, const WString& strParameters) override
    {
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof(info);
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
        info.hwnd = m_hDialog;
        info.lpVerb = L"open";
        info.lpFile = strFile.c_str();
        info.lpParameters = strParameters.c_str();
        info.nShow = SW_SHOW;
        BOOL bStarted = ShellExecuteExW(&info) && reinterpret_cast<INT_PTR>(info.hInstApp) > 32;
        m_hProcess = info.hProcess;
        // Without a process handle there is nothing to wait for: the start counts as failed.
        return bStarted && m_hProcess != nullptr;
    }

    void OnStarted() override { ShowWindow(m_hDialog, SW_SHOW); }

    BOOL WaitForExit(DWORD& dwExitCode) override
    {
        return WaitForSingleObject(m_hProcess, INFINITE) == WAIT_OBJECT_0 &&
               GetExitCodeProcess(m_hProcess, &dwExitCode);
    }

private:
    HWND m_hDialog;
    HANDLE m_hProcess;
};
} // namespace

CWorkingDlg::CWorkingDlg(HINSTANCE hInstance, CKavsetJob& job)
    : CDialog(hInstance, IDD_WORKING), m_job(job), m_hWorker(nullptr)
{
}

CWorkingDlg::~CWorkingDlg()
{
    if (m_hWorker != nullptr)
    {
        // The dialog closes only on the worker's last act (its post), so this wait is short.
        WaitForSingleObject(m_hWorker, INFINITE);
        CloseHandle(m_hWorker);
    }
}

BOOL CWorkingDlg::OnInitDialog()
{
    UINT nTextId = m_job.m_nMode == KAVSET_MODE_ENABLE ? IDS_ENABLING : IDS_DISABLING;
    SetItemText(IDC_WORKING_TEXT, LoadText(m_hInstance, nTextId).c_str());
    m_hWorker = CreateThread(nullptr, 0, WorkerEntry, this, 0, nullptr);
    if (m_hWorker == nullptr)
    {
        // Nothing would ever show or close the dialog: end it now and say that nothing was set.
        m_job.OnWorkerNotCreated();
        EndDialog(0);
    }
    return TRUE;
}

INT_PTR CWorkingDlg::DialogProc(UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == WM_WINDOWPOSCHANGING && m_job.m_bStarted == 0)
    {
        // The modal loop shows the dialog when it goes idle; before Kavset runs it must stay hidden.
        reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~static_cast<UINT>(SWP_SHOWWINDOW);
        return FALSE;
    }
    if (nMsg == WM_SCAN_UPDATE)
    {
        // The rescan is requested by the window's logic once this dialog has closed.
        EndDialog(1);
        return TRUE;
    }
    if (nMsg == WM_COMMAND || nMsg == WM_CLOSE)
    {
        // Escape or Alt+F4 must not end the wait while Kavset runs.
        return TRUE;
    }
    return CDialog::DialogProc(nMsg, wParam, lParam);
}

DWORD WINAPI CWorkingDlg::WorkerEntry(LPVOID pParam)
{
    static_cast<CWorkingDlg*>(pParam)->RunKavset();
    return 0;
}

void CWorkingDlg::RunKavset()
{
    try
    {
        CShellKavsetLauncher launcher(m_hWnd);
        m_job.RunKavset(launcher);
    }
    catch (...)
    {
        // The worker ends; the dialog must still close.
    }
    PostMessageW(m_hWnd, WM_SCAN_UPDATE, 0, 0);
}
} // namespace Kavelor
