// CUSBEnumerateExThread: the worker thread that walks the USB tree for Kavelor, so that the window never
// waits for a scan. It has its own message queue: WM_SCAN_UPDATE runs one complete enumeration, keeps the
// result and posts WM_SCAN_UPDATE to every registered window. Requests that arrive while a scan runs fold
// into one further scan: m_pendingScans counts the requests not yet served and is read and changed only
// inside one hold of its semaphore. The owner stops the thread by posting WM_QUIT and deletes the object.
#pragma once

#include "enumlib/EnumerateData.h"
#include "trayapp/ScanRequests.h"
#include "trayapp/Semaphore.h"
#include "trayapp/SemaphoreValue.h"

#include <windows.h>

#include <map>

namespace Kavelor
{
class CUSBEnumerateExThread : public IScanRequests
{
public:
    // Raises CResourceException when one of its semaphores cannot be created.
    CUSBEnumerateExThread();
    ~CUSBEnumerateExThread() override;
    CUSBEnumerateExThread(const CUSBEnumerateExThread&) = delete;
    CUSBEnumerateExThread& operator=(const CUSBEnumerateExThread&) = delete;

    // Creates the thread (normal priority, default stack) with the given creation flags; false when it
    // cannot be created. Resume waits until the thread's message queue exists, so that the first request
    // can be posted to it.
    BOOL CreateThread(DWORD dwCreateFlags);
    DWORD ResumeThread();

    void RegisterNotifyWindow(HWND hWnd);
    // The post's result when this request starts a scan, 1 when a running or queued scan will be followed
    // by one more anyway.
    BOOL RequestScan() override;
    void CopyResults(CUSBEnumerateExList& results) override;
    int GetPendingScans() { return m_pendingScans.Get(); }

    HANDLE m_hThread;
    DWORD m_nThreadID;
    BOOL m_bAutoDelete;
    BOOL m_bTargetOnly;

protected:
    virtual BOOL InitInstance();
    virtual int Run();
    // One scan: the handler of WM_SCAN_UPDATE on the thread.
    virtual void OnScanUpdate();
    // The complete enumeration into an empty list.
    virtual void EnumerateDevices(CUSBEnumerateExList& devices);

private:
    static DWORD WINAPI ThreadEntry(LPVOID pParam);

    std::map<HWND, UINT> m_notifyWindows;
    CSemaphore m_mapLock;
    CSemaphore m_resultLock;
    CUSBEnumerateExList m_results;
    CSemaphoreValue<int> m_pendingScans;
    HANDLE m_hQueueReady;
};

// Creates the thread object and its thread, suspended, then resumes it; null when the thread cannot be
// created. Requests no scan: the main window asks for the first one.
CUSBEnumerateExThread* StartEnumerationThread(BOOL bTargetOnly);
} // namespace Kavelor
