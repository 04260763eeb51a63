// winsim: dispatcher objects — events, semaphores and thread objects — and the waits on them. One
// dispatcher lock and condition variable serve all objects, which is plenty for a simulation and keeps
// every state change atomic. Checks: waiting (with a time-out other than zero) at DISPATCH_LEVEL or above,
// waiting on or signalling an object that was never initialised, releasing a semaphore beyond its limit
// (the exception Windows raises there is fatal in kernel mode), and signalling above DISPATCH_LEVEL.
// An unbounded wait that lasts longer than the watchdog (120 s) is reported as a deadlock rather than
// hanging the test run. The clocks are the host's steady and system clocks plus the jumps AdvanceClock
// made; timed waits and delays end on the simulated clock, so a jump ends the ones it passes.
#include "winsim/kernel/kernel_state.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace winsim
{
namespace detail
{
namespace
{

constexpr UCHAR kNotificationEvent = 0;
constexpr UCHAR kSynchronizationEvent = 1;
constexpr UCHAR kSemaphore = 5;
constexpr std::chrono::seconds kWatchdog{120};

std::mutex g_dispatcherLock;
std::condition_variable g_dispatcherSignal;
std::atomic<int64_t> g_clockJumpNs{0}; // changed under g_dispatcherLock, so a waiter cannot miss a jump

std::chrono::steady_clock::time_point SimulatedNow()
{
    return std::chrono::steady_clock::now() + std::chrono::nanoseconds(g_clockJumpNs.load());
}

// Waits on the dispatcher signal until `deadline` on the simulated clock at the latest; false once it passed.
bool WaitUntilSimulated(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point deadline)
{
    const auto now = SimulatedNow();
    if (now >= deadline)
    {
        return false;
    }
    g_dispatcherSignal.wait_until(lock, std::chrono::steady_clock::now() + (deadline - now));
    return true;
}

UCHAR SizeInLongs(size_t bytes)
{
    return UCHAR(bytes / sizeof(LONG));
}

// Distinguishes an initialised object from zeroed or foreign memory by its type and size fields.
void CheckObject(const DISPATCHER_HEADER* header, const char* routine)
{
    const bool valid =
        (header->Type == kNotificationEvent && header->Size == SizeInLongs(sizeof(KEVENT))) ||
        (header->Type == kSynchronizationEvent && header->Size == SizeInLongs(sizeof(KEVENT))) ||
        (header->Type == kSemaphore && header->Size == SizeInLongs(sizeof(KSEMAPHORE))) ||
        (header->Type == ThreadObjectType && header->Size == 0xEE);
    if (!valid)
    {
        IoViolationCheck(winsim::InvalidDispatcherObject,
                         std::string(routine) +
                             " on an object that is not an initialised event, semaphore or thread",
                         ULONG_PTR(header));
    }
}

void CheckSignalIrql(const char* routine)
{
    if (CurrentThreadState().irql > DISPATCH_LEVEL)
    {
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, std::string(routine) + " above DISPATCH_LEVEL",
                 CurrentThreadState().irql);
    }
}

// Converts a wait interval (negative: relative, 100 ns units; positive: absolute system time) to a
// deadline on the simulated clock.
std::chrono::steady_clock::time_point Deadline(const LARGE_INTEGER* timeout)
{
    LONGLONG relative = timeout->QuadPart;
    if (relative > 0)
    {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        relative = now.QuadPart - relative;
        if (relative > 0)
        {
            relative = 0;
        }
    }
    return SimulatedNow() + std::chrono::nanoseconds(-relative * 100);
}

// True when the object is signalled; satisfies the wait (consumes a count) where the type does.
bool TrySatisfy(DISPATCHER_HEADER* header)
{
    if (header->SignalState <= 0)
    {
        return false;
    }
    if (header->Type == kSynchronizationEvent)
    {
        header->SignalState = 0;
    }
    else if (header->Type == kSemaphore)
    {
        header->SignalState--;
    }
    return true;
}

} // namespace

void SignalObject(DISPATCHER_HEADER* header)
{
    {
        std::lock_guard<std::mutex> lock(g_dispatcherLock);
        header->SignalState = 1;
    }
    g_dispatcherSignal.notify_all();
}

} // namespace detail

void AdvanceClock(std::chrono::nanoseconds by)
{
    if (by.count() < 0)
    {
        throw std::invalid_argument("AdvanceClock: the simulated clocks never go back");
    }
    {
        std::lock_guard<std::mutex> lock(detail::g_dispatcherLock);
        detail::g_clockJumpNs += by.count();
    }
    detail::g_dispatcherSignal.notify_all();
}

} // namespace winsim

using namespace winsim::detail;

extern "C"
{

    VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
    {
        std::lock_guard<std::mutex> lock(g_dispatcherLock);
        Event->Header.Type = Type == NotificationEvent ? kNotificationEvent : kSynchronizationEvent;
        Event->Header.Size = SizeInLongs(sizeof(KEVENT));
        Event->Header.Absolute = 0;
        Event->Header.Inserted = 0;
        Event->Header.SignalState = State ? 1 : 0;
        Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
    }

    LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
    {
        UNREFERENCED_PARAMETER(Increment);
        UNREFERENCED_PARAMETER(Wait);
        CheckSignalIrql("KeSetEvent");
        LONG previous;
        {
            std::lock_guard<std::mutex> lock(g_dispatcherLock);
            CheckObject(&Event->Header, "KeSetEvent");
            previous = Event->Header.SignalState;
            Event->Header.SignalState = 1;
        }
        g_dispatcherSignal.notify_all();
        return previous;
    }

    VOID KeClearEvent(PRKEVENT Event)
    {
        std::lock_guard<std::mutex> lock(g_dispatcherLock);
        CheckObject(&Event->Header, "KeClearEvent");
        Event->Header.SignalState = 0;
    }

    LONG KeResetEvent(PRKEVENT Event)
    {
        std::lock_guard<std::mutex> lock(g_dispatcherLock);
        CheckObject(&Event->Header, "KeResetEvent");
        const LONG previous = Event->Header.SignalState;
        Event->Header.SignalState = 0;
        return previous;
    }

    LONG KeReadStateEvent(PRKEVENT Event)
    {
        std::lock_guard<std::mutex> lock(g_dispatcherLock);
        CheckObject(&Event->Header, "KeReadStateEvent");
        return Event->Header.SignalState;
    }

    VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
    {
        if (Count < 0 || Limit <= 0 || Count > Limit)
        {
            BugCheck(KMODE_EXCEPTION_NOT_HANDLED, "KeInitializeSemaphore with a count outside 0..limit",
                     ULONG_PTR(STATUS_INVALID_PARAMETER), ULONG_PTR(Count), ULONG_PTR(Limit));
        }
        std::lock_guard<std::mutex> lock(g_dispatcherLock);
        Semaphore->Header.Type = kSemaphore;
        Semaphore->Header.Size = SizeInLongs(sizeof(KSEMAPHORE));
        Semaphore->Header.Absolute = 0;
        Semaphore->Header.Inserted = 0;
        Semaphore->Header.SignalState = Count;
        Semaphore->Header.WaitListHead.Flink = Semaphore->Header.WaitListHead.Blink =
            &Semaphore->Header.WaitListHead;
        Semaphore->Limit = Limit;
    }

    // Windows raises STATUS_SEMAPHORE_LIMIT_EXCEEDED when the count would pass the limit; no driver handles
    // that exception, so in kernel mode it is a bug check.
    LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait)
    {
        UNREFERENCED_PARAMETER(Increment);
        UNREFERENCED_PARAMETER(Wait);
        CheckSignalIrql("KeReleaseSemaphore");
        LONG previous;
        {
            std::lock_guard<std::mutex> lock(g_dispatcherLock);
            CheckObject(&Semaphore->Header, "KeReleaseSemaphore");
            previous = Semaphore->Header.SignalState;
            if (Adjustment <= 0 || LONGLONG(previous) + Adjustment > Semaphore->Limit)
            {
                BugCheck(KMODE_EXCEPTION_NOT_HANDLED, "KeReleaseSemaphore beyond the semaphore's limit",
                         ULONG_PTR(ULONG(STATUS_SEMAPHORE_LIMIT_EXCEEDED)), ULONG_PTR(Semaphore),
                         ULONG_PTR(previous), ULONG_PTR(Semaphore->Limit));
            }
            Semaphore->Header.SignalState = previous + Adjustment;
        }
        g_dispatcherSignal.notify_all();
        return previous;
    }

    LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
    {
        std::lock_guard<std::mutex> lock(g_dispatcherLock);
        CheckObject(&Semaphore->Header, "KeReadStateSemaphore");
        return Semaphore->Header.SignalState;
    }

    NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                   BOOLEAN Alertable, PLARGE_INTEGER Timeout)
    {
        UNREFERENCED_PARAMETER(WaitReason);
        UNREFERENCED_PARAMETER(WaitMode);
        UNREFERENCED_PARAMETER(Alertable);
        auto& thread = CurrentThreadState();
        const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
        if (!poll && thread.irql >= DISPATCH_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeWaitForSingleObject at DISPATCH_LEVEL or above",
                     ULONG_PTR(Object), thread.irql);
        }
        auto* header = static_cast<DISPATCHER_HEADER*>(Object);
        std::unique_lock<std::mutex> lock(g_dispatcherLock);
        CheckObject(header, "KeWaitForSingleObject");
        if (TrySatisfy(header))
        {
            return STATUS_SUCCESS;
        }
        if (poll)
        {
            return STATUS_TIMEOUT;
        }
        if (Timeout != nullptr)
        {
            const auto deadline = Deadline(Timeout);
            while (!TrySatisfy(header))
            {
                if (!WaitUntilSimulated(lock, deadline))
                {
                    return STATUS_TIMEOUT;
                }
            }
            return STATUS_SUCCESS;
        }
        const auto watchdog = std::chrono::steady_clock::now() + kWatchdog;
        while (!TrySatisfy(header))
        {
            if (g_dispatcherSignal.wait_until(lock, watchdog) == std::cv_status::timeout &&
                !TrySatisfy(header))
            {
                lock.unlock();
                IoViolationCheck(winsim::InvalidDispatcherObject,
                                 "an unbounded wait did not end within 120 s (deadlock)", ULONG_PTR(Object));
            }
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
    {
        UNREFERENCED_PARAMETER(WaitMode);
        UNREFERENCED_PARAMETER(Alertable);
        if (CurrentThreadState().irql > APC_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeDelayExecutionThread above APC_LEVEL",
                     CurrentThreadState().irql);
        }
        std::unique_lock<std::mutex> lock(g_dispatcherLock);
        const auto deadline = Deadline(Interval);
        while (WaitUntilSimulated(lock, deadline))
        {
        }
        return STATUS_SUCCESS;
    }

    // System time: 100 ns units since 1 January 1601.
    VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
    {
        constexpr LONGLONG kEpochDifference = 116444736000000000LL;
        const auto since1970 = std::chrono::system_clock::now().time_since_epoch() +
                               std::chrono::nanoseconds(g_clockJumpNs.load());
        CurrentTime->QuadPart =
            kEpochDifference + std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
    }

    ULONGLONG KeQueryInterruptTime(void)
    {
        return ULONGLONG(
            std::chrono::duration_cast<std::chrono::nanoseconds>(SimulatedNow().time_since_epoch()).count() /
            100);
    }

} // extern "C"
