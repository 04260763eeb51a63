// CUSBEnumerateExThread: the enumeration thread, its request count and its notifications. The map lock,
// the result lock and the request count are each held alone, never across the enumeration or a call into
// another window.
#include "trayapp/USBEnumerateExThread.h"

#include "enumlib/USBEnumerateEx.h"
#include "trayapp/KavelorMessages.h"
#include "trayapp/ResourceException.h"

namespace Kavelor
{
CUSBEnumerateExThread::CUSBEnumerateExThread()
    : m_hThread(nullptr), m_nThreadID(0), m_bAutoDelete(FALSE), m_bTargetOnly(FALSE),
      m_hQueueReady(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (m_hQueueReady == nullptr)
    {
        throw CResourceException();
    }
}

CUSBEnumerateExThread::~CUSBEnumerateExThread()
{
    if (m_hThread != nullptr)
    {
        CloseHandle(m_hThread);
    }
    CloseHandle(m_hQueueReady);
}

BOOL CUSBEnumerateExThread::CreateThread(DWORD dwCreateFlags)
{
    m_hThread = ::CreateThread(nullptr, 0, ThreadEntry, this, dwCreateFlags, &m_nThreadID);
    return m_hThread != nullptr;
}

// A thread has no message queue until it makes its first message call, and a post to a thread without one
// fails: a request made right after start-up would be lost. So resuming waits for the queue.
DWORD CUSBEnumerateExThread::ResumeThread()
{
    DWORD previous = ::ResumeThread(m_hThread);
    WaitForSingleObject(m_hQueueReady, INFINITE);
    return previous;
}

DWORD WINAPI CUSBEnumerateExThread::ThreadEntry(LPVOID pParam)
{
    CUSBEnumerateExThread* pThread = static_cast<CUSBEnumerateExThread*>(pParam);
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetEvent(pThread->m_hQueueReady);
    if (!pThread->InitInstance())
    {
        return 0;
    }
    return static_cast<DWORD>(pThread->Run());
}

BOOL CUSBEnumerateExThread::InitInstance()
{
    return TRUE;
}

int CUSBEnumerateExThread::Run()
{
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        if (msg.hwnd == nullptr && msg.message == WM_SCAN_UPDATE)
        {
            OnScanUpdate();
        }
    }
    return static_cast<int>(msg.wParam);
}

void CUSBEnumerateExThread::RegisterNotifyWindow(HWND hWnd)
{
    CSemaphoreLock hold(m_mapLock);
    m_notifyWindows.emplace(hWnd, WM_SCAN_UPDATE);
}

BOOL CUSBEnumerateExThread::RequestScan()
{
    return m_pendingScans.Update([this](int& nPending) -> BOOL {
        if (nPending != 0)
        {
            ++nPending;
            return TRUE;
        }
        BOOL bPosted = PostThreadMessageW(m_nThreadID, WM_SCAN_UPDATE, 0, 0);
        // A request that could not be queued starts nothing: leaving the count at 1 would make every later
        // request wait for a scan that never comes.
        nPending = bPosted ? 1 : 0;
        return bPosted;
    });
}

void CUSBEnumerateExThread::CopyResults(CUSBEnumerateExList& results)
{
    CSemaphoreLock hold(m_resultLock);
    results = m_results;
}

void CUSBEnumerateExThread::EnumerateDevices(CUSBEnumerateExList& devices)
{
    CUSBEnumerateEx enumerator(&devices);
    enumerator.m_bTargetOnly = m_bTargetOnly;
    enumerator.Enumerate();
}

void CUSBEnumerateExThread::OnScanUpdate()
{
    {
        CSemaphoreLock hold(m_mapLock);
        for (auto it = m_notifyWindows.begin(); it != m_notifyWindows.end();)
        {
            it = IsWindow(it->first) ? std::next(it) : m_notifyWindows.erase(it);
        }
    }

    CUSBEnumerateExList devices;
    EnumerateDevices(devices);
    {
        CSemaphoreLock hold(m_resultLock);
        m_results.swap(devices);
    }
    {
        CSemaphoreLock hold(m_mapLock);
        for (const auto& [hWnd, nMessage] : m_notifyWindows)
        {
            if (IsWindow(hWnd))
            {
                PostMessageW(hWnd, nMessage, 0, 0);
            }
        }
    }

    // The request that started this scan is served; any that came during it are served by one more.
    m_pendingScans.Update([this](int& nPending) {
        if (nPending <= 1)
        {
            nPending = 0;
            return;
        }
        // As in RequestScan: a rescan that could not be queued must not leave the thread looking busy.
        nPending = PostThreadMessageW(m_nThreadID, WM_SCAN_UPDATE, 0, 0) ? 1 : 0;
    });
}

CUSBEnumerateExThread* StartEnumerationThread(BOOL bTargetOnly)
{
    CUSBEnumerateExThread* pThread = new CUSBEnumerateExThread();
    if (!pThread->CreateThread(CREATE_SUSPENDED))
    {
        delete pThread;
        return nullptr;
    }
    pThread->m_bAutoDelete = FALSE;
    pThread->m_bTargetOnly = bTargetOnly;
    pThread->ResumeThread();
    return pThread;
}
} // namespace Kavelor
