// CKavsetJob: one run of Kavset for the working dialog — which switch and which device, whether Kavset got
// started, and what the user is told afterwards. The dialog derives from it; the dialog's worker thread
// runs RunKavset, which is the only writer while it runs, and the user-interface thread reads the result
// only after the dialog's modal loop has ended.
#pragma once

#include "enumlib/EnumerateData.h"

#include <windows.h>

#include <atomic>

namespace Kavelor
{
const int KAVSET_MODE_ENABLE = 1;
const int KAVSET_MODE_DISABLE = 2;

// Starts Kavset and waits for it: ShellExecuteExW and the process handle on Windows.
class IKavsetLauncher
{
public:
    virtual ~IKavsetLauncher() = default;
    // False when the program could not be started: missing, elevation refused, any start error.
    virtual BOOL Start(const WString& strFile, const WString& strParameters) = 0;
    // Called once Kavset runs: the wait dialog may now be shown.
    virtual void OnStarted() = 0;
    // Waits for the started program without time-out; false when its exit code cannot be read.
    virtual BOOL WaitForExit(DWORD& dwExitCode) = 0;
};

class CKavsetJob
{
public:
    CKavsetJob(HINSTANCE hInstance, int nMode, const CUSBEnumerateExData& device);
    virtual ~CKavsetJob() = default;

    // "/Reg <id>" or "/Unreg <id>", the ID being that of the USB device node (the tree's root).
    WString GetParameters() const;
    // The worker's job: start Kavset beside the program, wait, and turn its exit code into the message.
    void RunKavset(IKavsetLauncher& launcher);
    // The worker could not be created: Kavset never ran, and the user must hear that nothing was set.
    void OnWorkerNotCreated();

    int m_nMode;
    WString m_strMessage;
    UINT m_nMessageType;
    CUSBEnumerateExData m_device;
    // Written by the worker, read by the dialog on the user-interface thread.
    std::atomic<int> m_bStarted;

protected:
    HINSTANCE m_hInstance;
};

// The message Kavelor shows for Kavset's exit code (a string of its table), 0 for success. A code Kavset
// does not define (it crashed, or was ended from outside) is a failure the user must see.
UINT KavsetExitMessageId(DWORD dwExitCode);
} // namespace Kavelor
