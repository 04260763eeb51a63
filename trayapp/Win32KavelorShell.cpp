// CWin32KavelorShell: Kavelor's framework on Win32.
#include "trayapp/Win32KavelorShell.h"

#include "trayapp/KavelorWnd.h"

#include <commctrl.h>
#include <objbase.h>

namespace Kavelor
{
CWin32KavelorShell::CWin32KavelorShell(HINSTANCE hInstance)
    : m_hInstance(hInstance), m_pMainWnd(nullptr), m_nExitCode(0)
{
}

CWin32KavelorShell::~CWin32KavelorShell()
{
    DestroyMainWindow();
}

void CWin32KavelorShell::InitFramework()
{
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);
    CoInitialize(nullptr);
}

BOOL CWin32KavelorShell::CreateMainWindow(CUSBEnumerateExThread* pScanThread, BOOL bShow)
{
    m_pMainWnd = new CKavelorWnd(m_hInstance, pScanThread);
    if (!m_pMainWnd->Create())
    {
        DestroyMainWindow();
        return FALSE;
    }
    if (bShow)
    {
        ShowWindow(m_pMainWnd->m_hWnd, SW_SHOW);
        UpdateWindow(m_pMainWnd->m_hWnd);
    }
    return TRUE;
}

int CWin32KavelorShell::Run()
{
    MSG msg = {};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        if (m_pMainWnd != nullptr && m_pMainWnd->PreTranslateMessage(&msg))
        {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    m_nExitCode = static_cast<int>(msg.wParam);
    return m_nExitCode;
}

void CWin32KavelorShell::DestroyMainWindow()
{
    delete m_pMainWnd;
    m_pMainWnd = nullptr;
}

int CWin32KavelorShell::ExitFramework()
{
    DestroyMainWindow();
    CoUninitialize();
    return m_nExitCode;
}
} // namespace Kavelor
