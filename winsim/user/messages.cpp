// winsim/user: message queues, windows and thread timers. A thread has a queue from its first message call
// (GetMessageW, PeekMessageW) or its first window on; posting to a thread without one fails with
// ERROR_INVALID_THREAD_ID, as on Windows, and a queue holds at most 10000 posts. Windows are identities
// with an owning thread and process, listed top-level in creation order under the desktop window; posting
// to a destroyed window fails and is counted. Thread timers fire on a virtual clock that the test advances
// on the owning thread; killing a timer that is not the caller's is a violation.
#include "winsim/user/user_internal.h"

#include <chrono>

using namespace winsim::user;

namespace
{
const size_t kQueueLimit = 10000;
const HWND kDesktopWindow = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x10010));

bool Matches(const MSG& msg, HWND hwnd, UINT first, UINT last)
{
    if (hwnd != nullptr && msg.hwnd != hwnd)
    {
        return false;
    }
    return (first == 0 && last == 0) || (msg.message >= first && msg.message <= last);
}

bool Enqueue(DWORD threadId, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto found = I().queues.find(threadId);
    if (found == I().queues.end())
    {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return false;
    }
    if (found->second.messages.size() >= kQueueLimit)
    {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return false;
    }
    MSG msg{};
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    found->second.messages.push_back(msg);
    Changed().notify_all();
    return true;
}

// Takes the first matching message of the caller's queue (creating the queue), optionally waiting.
bool Take(LPMSG lpMsg, HWND hwnd, UINT first, UINT last, bool remove, bool wait)
{
    DWORD self = GetCurrentThreadId();
    auto lock = Lock();
    Queue& queue = I().queues[self];
    for (;;)
    {
        for (auto it = queue.messages.begin(); it != queue.messages.end(); ++it)
        {
            if (Matches(*it, hwnd, first, last))
            {
                *lpMsg = *it;
                if (remove)
                {
                    queue.messages.erase(it);
                }
                return true;
            }
        }
        if (!wait)
        {
            return false;
        }
        Changed().wait(lock);
    }
}
} // namespace

namespace winsim::user
{
HWND CreateTestWindow(DWORD processId)
{
    DWORD self = GetCurrentThreadId();
    auto lock = Lock();
    I().queues[self];
    SimWindow window;
    window.hwnd = reinterpret_cast<HWND>(NewHandleValue());
    window.threadId = self;
    window.processId = processId;
    I().windows.push_back(window);
    return window.hwnd;
}

void DestroyTestWindow(HWND hwnd)
{
    for (HWND child : LiveChildrenOf(hwnd))
    {
        DestroyWindow(child);
    }
    DWORD self = GetCurrentThreadId();
    auto lock = Lock();
    SimWindow* window = FindWindowLocked(hwnd);
    if (window == nullptr || !window->alive)
    {
        Violation("DestroyWindow of %p, which is not a window", static_cast<void*>(hwnd));
    }
    if (window->threadId != self)
    {
        Violation("DestroyWindow of %p from thread %u; only its owner %u may destroy it",
                  static_cast<void*>(hwnd), self, window->threadId);
    }
    window->alive = false;
    auto& messages = I().queues[self].messages;
    for (auto it = messages.begin(); it != messages.end();)
    {
        it = it->hwnd == hwnd ? messages.erase(it) : it + 1;
    }
}

bool WaitForPosted(HWND hwnd, UINT message, DWORD timeoutMs)
{
    DWORD self = GetCurrentThreadId();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto lock = Lock();
    for (;;)
    {
        auto& messages = I().queues[self].messages;
        for (auto it = messages.begin(); it != messages.end(); ++it)
        {
            if (it->hwnd == hwnd && it->message == message)
            {
                messages.erase(it);
                return true;
            }
        }
        if (Changed().wait_until(lock, deadline) == std::cv_status::timeout)
        {
            return false;
        }
    }
}

size_t QueuedFor(HWND hwnd, UINT message)
{
    auto lock = Lock();
    size_t count = 0;
    for (const auto& [thread, queue] : I().queues)
    {
        for (const MSG& msg : queue.messages)
        {
            count += msg.hwnd == hwnd && msg.message == message ? 1 : 0;
        }
    }
    return count;
}

void ElapseTimers(DWORD milliseconds)
{
    DWORD self = GetCurrentThreadId();
    std::vector<Timer> due;
    DWORD now = 0;
    {
        auto lock = Lock();
        I().clock += milliseconds;
        now = static_cast<DWORD>(I().clock);
        for (auto& [id, timer] : I().timers)
        {
            if (timer.threadId == self && timer.due <= I().clock)
            {
                timer.due = I().clock + timer.elapse;
                due.push_back(timer);
            }
        }
    }
    for (const Timer& timer : due)
    {
        {
            auto lock = Lock();
            if (I().timers.count(timer.id) == 0)
            {
                continue; // killed by an earlier procedure of this round
            }
        }
        timer.proc(nullptr, WM_TIMER, timer.id, now);
    }
}

size_t TimerCount()
{
    auto lock = Lock();
    return I().timers.size();
}
} // namespace winsim::user

BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto lock = Lock();
    if (D().failThreadPosts > 0)
    {
        --D().failThreadPosts;
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    return Enqueue(idThread, nullptr, Msg, wParam, lParam) ? TRUE : FALSE;
}

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    std::function<void(HWND, UINT)> hook;
    {
        auto lock = Lock();
        SimWindow* window = FindWindowLocked(hWnd);
        if (window == nullptr || !window->alive)
        {
            ++D().failedWindowPosts;
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (!Enqueue(window->threadId, hWnd, Msg, wParam, lParam))
        {
            return FALSE;
        }
        hook = D().onPostToWindow;
    }
    if (hook)
    {
        hook(hWnd, Msg);
    }
    return TRUE;
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    Take(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true);
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg)
{
    return Take(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, false) ? TRUE
                                                                                                 : FALSE;
}

BOOL WINAPI IsWindow(HWND hWnd)
{
    auto lock = Lock();
    SimWindow* window = FindWindowLocked(hWnd);
    return window != nullptr && window->alive ? TRUE : FALSE;
}

HWND WINAPI GetDesktopWindow()
{
    return kDesktopWindow;
}

HWND WINAPI GetWindow(HWND hWnd, UINT uCmd)
{
    auto lock = Lock();
    auto& windows = I().windows;
    size_t from = 0;
    if (hWnd == kDesktopWindow && uCmd == GW_CHILD)
    {
        from = 0;
    }
    else if (uCmd == GW_HWNDNEXT)
    {
        SimWindow* window = FindWindowLocked(hWnd);
        if (window == nullptr || !window->alive)
        {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        from = static_cast<size_t>(window - windows.data()) + 1;
    }
    else
    {
        Violation("GetWindow with command %u is not simulated", uCmd);
    }
    for (size_t at = from; at < windows.size(); ++at)
    {
        if (windows[at].alive)
        {
            return windows[at].hwnd;
        }
    }
    return nullptr;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    auto lock = Lock();
    SimWindow* window = FindWindowLocked(hWnd);
    if (window == nullptr || !window->alive)
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (lpdwProcessId != nullptr)
    {
        *lpdwProcessId = window->processId;
    }
    return window->threadId;
}

BOOL WINAPI SetForegroundWindow(HWND hWnd)
{
    return IsWindow(hWnd);
}

UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR, UINT uElapse, TIMERPROC lpTimerFunc)
{
    if (hWnd != nullptr || lpTimerFunc == nullptr)
    {
        Violation("only thread timers with a timer procedure are simulated");
    }
    DWORD self = GetCurrentThreadId();
    auto lock = Lock();
    Timer timer;
    timer.id = I().nextTimer++;
    timer.threadId = self;
    timer.elapse = uElapse;
    timer.due = I().clock + uElapse;
    timer.proc = lpTimerFunc;
    I().timers[timer.id] = timer;
    I().queues[self];
    return timer.id;
}

BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent)
{
    DWORD self = GetCurrentThreadId();
    auto lock = Lock();
    auto found = I().timers.find(uIDEvent);
    if (hWnd != nullptr || found == I().timers.end())
    {
        Violation("KillTimer of thread timer %zu, which does not exist", static_cast<size_t>(uIDEvent));
    }
    if (found->second.threadId != self)
    {
        Violation("KillTimer of timer %zu from thread %u; it belongs to thread %u",
                  static_cast<size_t>(uIDEvent), self, found->second.threadId);
    }
    I().timers.erase(found);
    return TRUE;
}
