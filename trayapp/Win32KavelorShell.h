// CWin32KavelorShell: the windowing framework Kavelor runs on under Windows: common controls and COM, the
// main window, the message loop with the window's key pre-translation, and the exit processing.
#pragma once

#include "trayapp/KavelorShell.h"

namespace Kavelor
{
class CKavelorWnd;

class CWin32KavelorShell : public IKavelorShell
{
public:
    explicit CWin32KavelorShell(HINSTANCE hInstance);
    ~CWin32KavelorShell() override;
    CWin32KavelorShell(const CWin32KavelorShell&) = delete;
    CWin32KavelorShell& operator=(const CWin32KavelorShell&) = delete;

    void InitFramework() override;
    BOOL CreateMainWindow(CUSBEnumerateExThread* pScanThread, BOOL bShow) override;
    int ExitFramework() override;

    // Runs until the main window is closed; the WM_QUIT code.
    int Run();
    // Removes the window and with it the tray icon.
    void DestroyMainWindow();

private:
    HINSTANCE m_hInstance;
    CKavelorWnd* m_pMainWnd;
    int m_nExitCode;
};
} // namespace Kavelor
