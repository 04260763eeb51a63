// winsim: deferred procedure calls. One host thread plays the processor that runs DPCs: queued work runs
// there in order at DISPATCH_LEVEL, as a host controller's DPC completes transfers. Checks: a DPC that
// returns at another IRQL or with a spin lock held. A bug check raised inside a DPC under a BugCheckTrap
// is recorded by the trap and the DPC thread carries on. The DPC thread reports its own small ids, or, when
// told so, the identity of some application or system thread it interrupted, a different one per DPC.
#include "winsim/kernel/kernel_state.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace winsim
{
namespace
{

struct DpcItem
{
    std::chrono::steady_clock::time_point due;
    std::function<void()> work;
};

struct DpcState
{
    std::vector<ThreadIdentity> interrupted;
    std::mt19937_64 random;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<DpcItem> queue;
    bool running = false;
    bool started = false;
};

// Never destroyed: the DPC thread waits on it until the process ends.
DpcState& Dpcs()
{
    static DpcState* state = new DpcState;
    return *state;
}

void RunOne(const std::function<void()>& work, std::optional<ThreadIdentity> identity)
{
    std::optional<ScopedThreadIdentity> as;
    if (identity)
    {
        as.emplace(identity->processId, identity->threadId);
    }
    auto& thread = detail::CurrentThreadState();
    thread.irql = DISPATCH_LEVEL;
    try
    {
        work();
        if (thread.irql != DISPATCH_LEVEL)
        {
            detail::IoViolationCheck(IoRule::IrqlNotRestored, "DPC returned at another IRQL", DISPATCH_LEVEL,
                                     thread.irql);
        }
        if (!thread.heldLocks.empty())
        {
            detail::IoViolationCheck(IoRule::SpinLockHeldOnReturn, "DPC returned holding a spin lock",
                                     ULONG_PTR(thread.heldLocks.back()));
        }
    }
    catch (const BugCheckError&)
    {
        // Recorded by the trap.
    }
    for (PKSPIN_LOCK held : thread.heldLocks)
    {
        __atomic_store_n(held, 0, __ATOMIC_RELEASE);
    }
    thread.heldLocks.clear();
    thread.frames.clear();
    thread.irql = DISPATCH_LEVEL;
}

// The thread runs for the life of the process; it sleeps while the queue is empty.
void DpcThread()
{
    auto& dpcs = Dpcs();
    std::unique_lock<std::mutex> lock(dpcs.lock);
    for (;;)
    {
        if (dpcs.queue.empty())
        {
            dpcs.changed.wait(lock);
            continue;
        }
        const auto due = dpcs.queue.front().due;
        if (std::chrono::steady_clock::now() < due)
        {
            dpcs.changed.wait_until(lock, due);
            continue;
        }
        std::function<void()> work = std::move(dpcs.queue.front().work);
        dpcs.queue.pop_front();
        dpcs.running = true;
        std::optional<ThreadIdentity> identity;
        if (!dpcs.interrupted.empty())
        {
            identity = dpcs.interrupted[dpcs.random() % dpcs.interrupted.size()];
        }
        lock.unlock();
        RunOne(work, identity);
        lock.lock();
        dpcs.running = false;
        dpcs.changed.notify_all();
    }
}

detail::ResetHook g_reset(10, [] {
    FlushDpcs();
    SetDpcInterruptedThreads({}, 0);
});

} // namespace

void QueueDpc(std::function<void()> work, std::chrono::microseconds delay)
{
    auto& dpcs = Dpcs();
    {
        std::lock_guard<std::mutex> lock(dpcs.lock);
        if (!dpcs.started)
        {
            std::thread(DpcThread).detach();
            dpcs.started = true;
        }
        auto due = std::chrono::steady_clock::now() + delay;
        // Keep queue order: a DPC never overtakes one queued before it.
        if (!dpcs.queue.empty() && due < dpcs.queue.back().due)
        {
            due = dpcs.queue.back().due;
        }
        dpcs.queue.push_back(DpcItem{due, std::move(work)});
    }
    dpcs.changed.notify_all();
}

void SetDpcInterruptedThreads(const std::vector<ThreadIdentity>& identities, uint64_t seed)
{
    auto& dpcs = Dpcs();
    std::lock_guard<std::mutex> lock(dpcs.lock);
    for (const ThreadIdentity& identity : identities)
    {
        if (identity.processId == nullptr || identity.threadId == nullptr)
        {
            throw std::invalid_argument("winsim: a thread identity has a process and a thread id");
        }
    }
    dpcs.interrupted = identities;
    dpcs.random.seed(seed);
}

void FlushDpcs()
{
    auto& dpcs = Dpcs();
    std::unique_lock<std::mutex> lock(dpcs.lock);
    dpcs.changed.wait(lock, [&] { return dpcs.queue.empty() && !dpcs.running; });
}

void RunAtDispatch(const std::function<void()>& work)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    work();
    KeLowerIrql(old);
}

} // namespace winsim
