// CKavelorApp: Kavelor's application object. It decides whether this process becomes the running
// instance (a named mutex; a second start brings the first one's window forward and ends), checks that the
// rest of the product is installed (Kavset.exe beside the program, the Kavfiltr service), starts the
// enumeration thread and has the main window created. On exit it stops the thread and releases what
// start-up took.
#pragma once

#include "enumlib/WideString.h"
#include "trayapp/KavelorCommandLineInfo.h"
#include "trayapp/KavelorShell.h"

#include <windows.h>

#include <vector>

namespace Kavelor
{
class CUSBEnumerateExThread;

// How start-up ended.
enum class StartupResult
{
    NotStarted,
    Running,
    SecondInstance, // the running instance was asked to come forward
    KavsetMissing,  // message 1116
    ServiceMissing, // message 1115
    ThreadFailed,
    WindowFailed
};

class CKavelorApp
{
public:
    // Creates the single-instance mutex, owned by this thread. Raises CResourceException when the mutex
    // cannot be created.
    CKavelorApp(HINSTANCE hInstance, IKavelorShell& shell);
    virtual ~CKavelorApp();
    CKavelorApp(const CKavelorApp&) = delete;
    CKavelorApp& operator=(const CKavelorApp&) = delete;

    // Start-up with the program's arguments (without the program's name); true when the message loop is
    // to run.
    BOOL InitInstance(const std::vector<WString>& arguments);
    // Shutdown; the result is the process's exit code.
    int ExitInstance();

    StartupResult m_startupResult;
    CKavelorCommandLineInfo m_cmdInfo;
    CUSBEnumerateExThread* m_pScanThread;

protected:
    virtual CUSBEnumerateExThread* StartScanThread();
    void ActivateRunningInstance();
    void ShowInstallationError(UINT nTextId);

private:
    HINSTANCE m_hInstance;
    IKavelorShell& m_shell;
    HANDLE m_hInstanceMutex;
    BOOL m_bInstanceLocked;
};

extern const WCHAR* const g_pszInstanceMutexName;
} // namespace Kavelor
