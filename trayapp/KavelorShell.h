// IKavelorShell: what the application object needs of the windowing framework, kept apart so that the
// start-up and shutdown logic runs the same against the simulated PC: the framework's initialisation
// (common controls, COM), the main window, and the framework's exit processing.
#pragma once

#include <windows.h>

namespace Kavelor
{
class CUSBEnumerateExThread;

class IKavelorShell
{
public:
    virtual ~IKavelorShell() = default;
    // Common controls and COM for this thread.
    virtual void InitFramework() = 0;
    // Creates the main window, which registers with the thread and asks it for the first scan, and shows
    // it unless bShow is false. False when the window cannot be created.
    virtual BOOL CreateMainWindow(CUSBEnumerateExThread* pScanThread, BOOL bShow) = 0;
    // COM off again; the result is the process's exit code.
    virtual int ExitFramework() = 0;
};
} // namespace Kavelor
