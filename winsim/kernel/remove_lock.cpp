// winsim: remove locks. A remove lock counts the requests that may still touch a device; removal marks
// it removed, drops the caller's hold and the initial bias and waits until every other hold is gone.
// Holds are counted per tag, as the checked build of Windows does. Checks: using a lock that was never
// initialised, releasing a tag that holds nothing, acquiring or releasing above DISPATCH_LEVEL, waiting
// for removal above PASSIVE_LEVEL, and deleting the device while its lock is still held.
#include "winsim/kernel/kernel_state.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

namespace winsim
{
namespace
{

struct RemoveLockState
{
    bool removed = false;
    LONG ioCount = 1; // the bias that removal takes away
    ULONG allocateTag = 0;
    std::map<PVOID, LONG> holds;
};

std::mutex g_lock;
std::condition_variable g_released;
std::map<PIO_REMOVE_LOCK, RemoveLockState> g_locks;

detail::ResetHook g_reset(70, [] {
    std::lock_guard<std::mutex> lock(g_lock);
    g_locks.clear();
});

RemoveLockState& Find(PIO_REMOVE_LOCK removeLock, const char* routine)
{
    auto it = g_locks.find(removeLock);
    if (it == g_locks.end())
    {
        detail::IoViolationCheck(IoRule::RemoveLockImbalance,
                                 std::string(routine) + " on a remove lock that was never initialised",
                                 ULONG_PTR(removeLock));
    }
    return it->second;
}

void Mirror(PIO_REMOVE_LOCK removeLock, const RemoveLockState& state)
{
    removeLock->Common.Removed = state.removed ? TRUE : FALSE;
    removeLock->Common.IoCount = state.ioCount;
}

void ReleaseHold(PIO_REMOVE_LOCK removeLock, RemoveLockState& state, PVOID tag, const char* routine)
{
    auto hold = state.holds.find(tag);
    if (hold == state.holds.end())
    {
        detail::IoViolationCheck(IoRule::RemoveLockImbalance,
                                 std::string(routine) +
                                     " with a tag that holds no acquisition of the remove lock",
                                 ULONG_PTR(removeLock), ULONG_PTR(tag));
    }
    if (--hold->second == 0)
    {
        state.holds.erase(hold);
    }
    --state.ioCount;
}

} // namespace

namespace detail
{

void ForgetRemoveLocksIn(const void* begin, size_t size, bool checkBalanced)
{
    std::unique_lock<std::mutex> lock(g_lock);
    auto* first = static_cast<const UCHAR*>(begin);
    for (auto it = g_locks.begin(); it != g_locks.end();)
    {
        auto* address = reinterpret_cast<const UCHAR*>(it->first);
        if (address >= first && address < first + size)
        {
            if (checkBalanced && !it->second.holds.empty())
            {
                const PVOID tag = it->second.holds.begin()->first;
                const PIO_REMOVE_LOCK removeLock = it->first;
                g_locks.erase(it);
                lock.unlock();
                IoViolationCheck(RemoveLockImbalance, "device deleted while its remove lock is still held",
                                 ULONG_PTR(removeLock), ULONG_PTR(tag));
            }
            it = g_locks.erase(it);
        }
        else
        {
            ++it;
        }
    }
}

} // namespace detail
} // namespace winsim

using namespace winsim;

extern "C"
{

    VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                  ULONG HighWatermark, ULONG RemlockSize)
    {
        UNREFERENCED_PARAMETER(MaxLockedMinutes);
        if (RemlockSize != sizeof(IO_REMOVE_LOCK))
        {
            detail::IoViolationCheck(IoRule::RemoveLockImbalance,
                                     "IoInitializeRemoveLockEx with a wrong size", ULONG_PTR(Lock),
                                     RemlockSize);
        }
        RtlZeroMemory(Lock, sizeof(IO_REMOVE_LOCK));
        KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
        Lock->Dbg.HighWatermark = LONG(HighWatermark);
        Lock->Dbg.AllocateTag = LONG(AllocateTag);
        std::lock_guard<std::mutex> lock(g_lock);
        RemoveLockState state;
        state.allocateTag = AllocateTag;
        g_locks[Lock] = state;
        Mirror(Lock, g_locks[Lock]);
    }

    NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                   ULONG RemlockSize)
    {
        UNREFERENCED_PARAMETER(File);
        UNREFERENCED_PARAMETER(Line);
        UNREFERENCED_PARAMETER(RemlockSize);
        if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        {
            detail::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "IoAcquireRemoveLock above DISPATCH_LEVEL",
                             KeGetCurrentIrql());
        }
        std::lock_guard<std::mutex> lock(g_lock);
        auto& state = Find(RemoveLock, "IoAcquireRemoveLock");
        if (state.removed)
        {
            return STATUS_DELETE_PENDING;
        }
        ++state.ioCount;
        ++state.holds[Tag];
        Mirror(RemoveLock, state);
        return STATUS_SUCCESS;
    }

    VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
    {
        UNREFERENCED_PARAMETER(RemlockSize);
        if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        {
            detail::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "IoReleaseRemoveLock above DISPATCH_LEVEL",
                             KeGetCurrentIrql());
        }
        {
            std::lock_guard<std::mutex> lock(g_lock);
            auto& state = Find(RemoveLock, "IoReleaseRemoveLock");
            ReleaseHold(RemoveLock, state, Tag, "IoReleaseRemoveLock");
            Mirror(RemoveLock, state);
        }
        g_released.notify_all();
    }

    // The caller must hold the lock with `Tag`; after the wait no other hold exists and none can be taken.
    VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
    {
        UNREFERENCED_PARAMETER(RemlockSize);
        if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        {
            detail::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "IoReleaseRemoveLockAndWait above PASSIVE_LEVEL",
                             KeGetCurrentIrql());
        }
        std::unique_lock<std::mutex> lock(g_lock);
        auto& state = Find(RemoveLock, "IoReleaseRemoveLockAndWait");
        if (state.removed)
        {
            detail::IoViolationCheck(IoRule::RemoveLockImbalance, "IoReleaseRemoveLockAndWait called twice",
                                     ULONG_PTR(RemoveLock));
        }
        state.removed = true;
        --state.ioCount; // the bias
        ReleaseHold(RemoveLock, state, Tag, "IoReleaseRemoveLockAndWait");
        Mirror(RemoveLock, state);
        if (!g_released.wait_for(lock, std::chrono::seconds(120), [&] {
                return g_locks.count(RemoveLock) == 0 || g_locks[RemoveLock].ioCount == 0;
            }))
        {
            lock.unlock();
            detail::IoViolationCheck(
                IoRule::RemoveLockImbalance,
                "IoReleaseRemoveLockAndWait still waiting after 120 s: a hold was never released",
                ULONG_PTR(RemoveLock));
        }
        if (g_locks.count(RemoveLock) != 0)
        {
            Mirror(RemoveLock, g_locks[RemoveLock]);
        }
    }

} // extern "C"
