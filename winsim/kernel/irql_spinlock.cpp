// winsim: interrupt request levels and spin locks. Each host thread stands for a processor with its own
// IRQL. Spin locks give real mutual exclusion and record their owner, and the checks are those of the
// verifier: raising to a lower or lowering to a higher level, acquiring at an IRQL above DISPATCH_LEVEL,
// acquiring a lock the thread already owns, releasing a lock the thread does not own, releasing at the
// wrong level, and (unless allowed) holding two spin locks at once.
#include "winsim/kernel/kernel_state.h"

#include <atomic>
#include <sched.h>

namespace winsim
{
namespace
{

std::atomic<bool> g_allowNested{false};

detail::ResetHook g_reset(50, [] { g_allowNested = false; });

void Acquire(PKSPIN_LOCK lock)
{
    auto& thread = detail::CurrentThreadState();
    const ULONG_PTR token = detail::CurrentLockToken();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == token)
    {
        detail::BugCheck(SPIN_LOCK_ALREADY_OWNED, "spin lock acquired again by the thread that holds it",
                         ULONG_PTR(lock));
    }
    if (!thread.heldLocks.empty() && !g_allowNested)
    {
        detail::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "a second spin lock acquired while one is held",
                         0x1000, ULONG_PTR(lock), ULONG_PTR(thread.heldLocks.back()));
    }
    for (;;)
    {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, token, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        {
            break;
        }
        sched_yield();
    }
    thread.heldLocks.push_back(lock);
}

void Release(PKSPIN_LOCK lock)
{
    auto& thread = detail::CurrentThreadState();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != detail::CurrentLockToken())
    {
        detail::BugCheck(SPIN_LOCK_NOT_OWNED, "spin lock released by a thread that does not hold it",
                         ULONG_PTR(lock));
    }
    for (auto it = thread.heldLocks.begin(); it != thread.heldLocks.end(); ++it)
    {
        if (*it == lock)
        {
            thread.heldLocks.erase(it);
            break;
        }
    }
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

} // namespace

void AllowNestedSpinLocks(bool allow)
{
    g_allowNested = allow;
}

size_t SpinLocksHeldByCurrentThread()
{
    return detail::CurrentThreadState().heldLocks.size();
}

} // namespace winsim

using winsim::detail::BugCheck;
using winsim::detail::CurrentThreadState;

extern "C"
{

    KIRQL KeGetCurrentIrql(void)
    {
        return CurrentThreadState().irql;
    }

    // Raising may only go up: a driver that "raises" to a lower level has lost track of its IRQL.
    VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
    {
        auto& thread = CurrentThreadState();
        if (NewIrql < thread.irql)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeRaiseIrql to a level below the current one", NewIrql,
                     thread.irql);
        }
        *OldIrql = thread.irql;
        thread.irql = NewIrql;
    }

    // Lowering may only go down, and never below what a held spin lock requires.
    VOID KeLowerIrql(KIRQL NewIrql)
    {
        auto& thread = CurrentThreadState();
        if (NewIrql > thread.irql)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeLowerIrql to a level above the current one", NewIrql,
                     thread.irql);
        }
        if (NewIrql < DISPATCH_LEVEL && !thread.heldLocks.empty())
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "IRQL lowered below DISPATCH_LEVEL while a spin lock is held",
                     NewIrql, ULONG_PTR(thread.heldLocks.back()));
        }
        thread.irql = NewIrql;
    }

    KIRQL KeRaiseIrqlToDpcLevel(void)
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return old;
    }

    VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
    {
        __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    }

    KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
    {
        auto& thread = CurrentThreadState();
        if (thread.irql > DISPATCH_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "spin lock acquired above DISPATCH_LEVEL", ULONG_PTR(SpinLock),
                     thread.irql);
        }
        const KIRQL old = thread.irql;
        thread.irql = DISPATCH_LEVEL;
        winsim::Acquire(SpinLock);
        return old;
    }

    VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
    {
        auto& thread = CurrentThreadState();
        if (thread.irql != DISPATCH_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "spin lock released at an IRQL other than DISPATCH_LEVEL",
                     ULONG_PTR(SpinLock), thread.irql);
        }
        if (NewIrql > DISPATCH_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "spin lock released to an IRQL above DISPATCH_LEVEL",
                     ULONG_PTR(SpinLock), NewIrql);
        }
        winsim::Release(SpinLock);
        KeLowerIrql(NewIrql);
    }

    VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
    {
        if (CurrentThreadState().irql != DISPATCH_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeAcquireSpinLockAtDpcLevel below or above DISPATCH_LEVEL",
                     ULONG_PTR(SpinLock), CurrentThreadState().irql);
        }
        winsim::Acquire(SpinLock);
    }

    VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
    {
        if (CurrentThreadState().irql != DISPATCH_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeReleaseSpinLockFromDpcLevel below or above DISPATCH_LEVEL",
                     ULONG_PTR(SpinLock), CurrentThreadState().irql);
        }
        winsim::Release(SpinLock);
    }

} // extern "C"
