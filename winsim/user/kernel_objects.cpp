// winsim/user: kernel32's synchronisation objects and threads. Semaphores count within their maximum
// (releasing past it is a violation: a double release), mutexes are owned by a thread and recursive, named
// mutexes are shared by name like the session's namespace, events auto- or manual-reset. A thread runs on
// a host thread of its own once resumed; its message queue dies with it. TerminateThread is a violation:
// the simulation cannot stop a thread, so a product that needs it has a thread that did not end.
#include "winsim/user/user_internal.h"

#include <atomic>
#include <chrono>

using namespace winsim::user;

namespace
{
std::atomic<DWORD> g_nextThreadId{0x104};
thread_local DWORD t_threadId = 0;

// Waits on the desktop's condition for the object to become signalled and takes it (the count, the
// ownership, the auto-reset), as WaitForSingleObject does.
DWORD WaitOn(const std::shared_ptr<KernelObject>& object, DWORD milliseconds)
{
    DWORD self = GetCurrentThreadId();
    auto lock = Lock();
    auto ready = [&]() -> bool {
        if (auto semaphore = std::dynamic_pointer_cast<Semaphore>(object))
        {
            return semaphore->count > 0;
        }
        if (auto mutex = std::dynamic_pointer_cast<Mutex>(object))
        {
            return mutex->owner == 0 || mutex->owner == self;
        }
        if (auto event = std::dynamic_pointer_cast<Event>(object))
        {
            return event->signaled;
        }
        if (auto thread = std::dynamic_pointer_cast<Thread>(object))
        {
            return thread->finished;
        }
        Violation("a wait on a %s handle, which is not waitable here", object->TypeName());
    };
    if (milliseconds == INFINITE)
    {
        Changed().wait(lock, ready);
    }
    else if (!Changed().wait_for(lock, std::chrono::milliseconds(milliseconds), ready))
    {
        return WAIT_TIMEOUT;
    }
    if (auto semaphore = std::dynamic_pointer_cast<Semaphore>(object))
    {
        --semaphore->count;
    }
    else if (auto mutex = std::dynamic_pointer_cast<Mutex>(object))
    {
        mutex->owner = self;
        ++mutex->recursion;
    }
    else if (auto event = std::dynamic_pointer_cast<Event>(object))
    {
        event->signaled = event->manualReset;
    }
    return WAIT_OBJECT_0;
}

struct ThreadStart
{
    std::shared_ptr<Thread> thread;
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

void RunThread(ThreadStart start)
{
    t_threadId = start.thread->id;
    {
        auto lock = Lock();
        Changed().wait(lock, [&] { return start.thread->resumed; });
    }
    DWORD code = start.routine(start.parameter);
    auto lock = Lock();
    I().queues.erase(start.thread->id);
    start.thread->exitCode = code;
    start.thread->finished = true;
    --I().runningThreads;
    Changed().notify_all();
}
} // namespace

namespace winsim::user
{
Thread::~Thread()
{
    if (!worker.joinable())
    {
        return;
    }
    if (worker.get_id() == std::this_thread::get_id() || !finished)
    {
        worker.detach(); // the handle was closed while the thread runs, which Windows allows
    }
    else
    {
        worker.join();
    }
}
} // namespace winsim::user

DWORD WINAPI GetCurrentThreadId()
{
    if (t_threadId == 0)
    {
        t_threadId = g_nextThreadId.fetch_add(4);
    }
    return t_threadId;
}

DWORD WINAPI GetCurrentProcessId()
{
    auto lock = Lock();
    return D().currentProcessId;
}

HANDLE WINAPI CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount, LPCWSTR lpName)
{
    if (lpName != nullptr)
    {
        Violation("named semaphores are not simulated");
    }
    {
        auto lock = Lock();
        if (D().failSemaphoreCreations > 0)
        {
            --D().failSemaphoreCreations;
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto semaphore = std::make_shared<Semaphore>();
    semaphore->count = lInitialCount;
    semaphore->maximum = lMaximumCount;
    return OpenObject(semaphore);
}

BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LONG* lpPreviousCount)
{
    auto semaphore = ObjectAs<Semaphore>(hSemaphore);
    if (semaphore == nullptr)
    {
        Violation("ReleaseSemaphore of %p, which is not a semaphore handle", hSemaphore);
    }
    auto lock = Lock();
    if (lReleaseCount <= 0 || semaphore->count + lReleaseCount > semaphore->maximum)
    {
        Violation("ReleaseSemaphore by %d past the maximum %d (count %d): released more often than taken",
                  lReleaseCount, semaphore->maximum, semaphore->count);
    }
    if (lpPreviousCount != nullptr)
    {
        *lpPreviousCount = semaphore->count;
    }
    semaphore->count += lReleaseCount;
    Changed().notify_all();
    return TRUE;
}

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR lpName)
{
    DWORD self = GetCurrentThreadId();
    std::shared_ptr<Mutex> mutex;
    bool existed = false;
    {
        auto lock = Lock();
        if (lpName != nullptr)
        {
            mutex = I().namedMutexes[lpName].lock();
            existed = mutex != nullptr;
        }
        if (!existed)
        {
            mutex = std::make_shared<Mutex>();
            if (bInitialOwner)
            {
                mutex->owner = self;
                mutex->recursion = 1;
            }
            if (lpName != nullptr)
            {
                I().namedMutexes[lpName] = mutex;
            }
        }
    }
    HANDLE handle = OpenObject(mutex);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex)
{
    auto mutex = ObjectAs<Mutex>(hMutex);
    if (mutex == nullptr)
    {
        Violation("ReleaseMutex of %p, which is not a mutex handle", hMutex);
    }
    DWORD self = GetCurrentThreadId();
    auto lock = Lock();
    if (mutex->owner != self)
    {
        Violation("ReleaseMutex by thread %u, which does not own the mutex", self);
    }
    if (--mutex->recursion == 0)
    {
        mutex->owner = 0;
    }
    Changed().notify_all();
    return TRUE;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName)
{
    if (lpName != nullptr)
    {
        Violation("named events are not simulated");
    }
    auto event = std::make_shared<Event>();
    event->manualReset = bManualReset != FALSE;
    event->signaled = bInitialState != FALSE;
    return OpenObject(event);
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    auto event = ObjectAs<Event>(hEvent);
    if (event == nullptr)
    {
        Violation("SetEvent of %p, which is not an event handle", hEvent);
    }
    auto lock = Lock();
    event->signaled = true;
    Changed().notify_all();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    auto object = ObjectOf(hHandle);
    if (object == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return WaitOn(object, dwMilliseconds);
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL, DWORD dwMilliseconds,
                                       DWORD dwWakeMask)
{
    if (nCount != 1 || dwWakeMask != 0)
    {
        Violation("MsgWaitForMultipleObjects is simulated for one handle and no wake mask only");
    }
    return WaitForSingleObject(pHandles[0], dwMilliseconds);
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    {
        auto lock = Lock();
        if (D().failThreadCreations > 0)
        {
            --D().failThreadCreations;
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        ++I().runningThreads;
    }
    auto thread = std::make_shared<Thread>();
    thread->id = g_nextThreadId.fetch_add(4);
    thread->resumed = (dwCreationFlags & CREATE_SUSPENDED) == 0;
    if (lpThreadId != nullptr)
    {
        *lpThreadId = thread->id;
    }
    HANDLE handle = OpenObject(thread);
    thread->worker = std::thread(RunThread, ThreadStart{thread, lpStartAddress, lpParameter});
    return handle;
}

DWORD WINAPI ResumeThread(HANDLE hThread)
{
    auto thread = ObjectAs<Thread>(hThread);
    if (thread == nullptr)
    {
        Violation("ResumeThread of %p, which is not a thread handle", hThread);
    }
    auto lock = Lock();
    DWORD previous = thread->resumed ? 0 : 1;
    thread->resumed = true;
    Changed().notify_all();
    return previous;
}

BOOL WINAPI TerminateThread(HANDLE, DWORD)
{
    Violation("TerminateThread: a thread did not end when told to, and the simulation cannot kill it");
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    auto thread = ObjectAs<Thread>(hThread);
    if (thread == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto lock = Lock();
    *lpExitCode = thread->exitCode;
    return TRUE;
}
