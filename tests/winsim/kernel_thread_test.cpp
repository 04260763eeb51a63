// System threads, handles and thread objects; events, semaphores and waits; IRQL and spin locks. The
// checks here are those a driver's worker thread and its queue lock rely on.
#include "winsim/kernel/winsim_kernel.h"

#include "tests/winsim/driver_style_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

using winsim::BugCheckError;
using winsim::BugCheckTrap;

namespace
{

class KernelThreadTest : public ::testing::Test
{
protected:
    winsim::ScopedKernel kernel;
};

LARGE_INTEGER Milliseconds(LONGLONG ms)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -ms * 10000;
    return interval;
}

// A DPC reports the thread it interrupted when the kernel is told so: identities from the list, changing
// from DPC to DPC; otherwise (and after a reset) the DPC thread's own ids.
TEST_F(KernelThreadTest, DpcsRunAsTheThreadTheyInterrupted)
{
    const auto record = [](std::vector<std::pair<HANDLE, HANDLE>>& seen) {
        for (int i = 0; i < 40; ++i)
        {
            winsim::QueueDpc([&seen] { seen.emplace_back(PsGetCurrentProcessId(), PsGetCurrentThreadId()); });
        }
        winsim::FlushDpcs();
    };
    std::vector<std::pair<HANDLE, HANDLE>> own;
    record(own);
    for (const auto& identity : own)
    {
        EXPECT_EQ(identity, own.front());
    }
    const std::vector<winsim::ThreadIdentity> interrupted = {
        {HANDLE(ULONG_PTR(0x1000)), HANDLE(ULONG_PTR(0x10004))},
        {HANDLE(ULONG_PTR(0x2000)), HANDLE(ULONG_PTR(0x20008))},
        {HANDLE(ULONG_PTR(4)), HANDLE(ULONG_PTR(0x48))},
    };
    winsim::SetDpcInterruptedThreads(interrupted, 7);
    std::vector<std::pair<HANDLE, HANDLE>> seen;
    record(seen);
    size_t changes = 0;
    for (size_t i = 0; i < seen.size(); ++i)
    {
        bool listed = false;
        for (const auto& identity : interrupted)
        {
            listed = listed || (seen[i].first == identity.processId && seen[i].second == identity.threadId);
        }
        EXPECT_TRUE(listed);
        changes += i > 0 && seen[i] != seen[i - 1] ? 1 : 0;
    }
    EXPECT_GT(changes, 5u);
    EXPECT_THROW(winsim::SetDpcInterruptedThreads({{nullptr, HANDLE(ULONG_PTR(8))}}, 1),
                 std::invalid_argument);
    winsim::ResetKernel();
    std::vector<std::pair<HANDLE, HANDLE>> after;
    record(after);
    EXPECT_EQ(after.front(), own.front());
}

TEST_F(KernelThreadTest, TerminatedWorkerSignalsItsThreadObjectAndClosesCleanly)
{
    DriverStyleWorker worker{};
    KeInitializeSemaphore(&worker.work, 0, 10000);
    KeInitializeSemaphore(&worker.stopped, 0, 10000);
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                                   DriverStyleThreadRoutine, &worker));
    EXPECT_EQ(1u, winsim::OpenHandleCount());
    PVOID thread = nullptr;
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr));
    for (int i = 0; i < 3; ++i)
    {
        KeReleaseSemaphore(&worker.work, 0, 1, FALSE);
    }
    LARGE_INTEGER poll{};
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll))
        << "still running";

    for (int i = 0; i < 1000 && worker.itemsRun < 3; ++i)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    worker.stop = 1;
    KeReleaseSemaphore(&worker.work, 0, 1, FALSE);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&worker.stopped, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(3, worker.itemsRun);
    // Signalled when it left the driver's code; it stops counting once it has dropped its last reference.
    for (int i = 0; i < 1000 && winsim::RunningSystemThreads() != 0; ++i)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(0u, winsim::RunningSystemThreads());
    ObfDereferenceObject(thread);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_EQ(0u, winsim::OpenHandleCount());

    BugCheckTrap trap;
    EXPECT_THROW(ZwClose(handle), BugCheckError) << "a closed handle is invalid";
    EXPECT_EQ(STATUS_INVALID_HANDLE,
              ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr));
}

TEST_F(KernelThreadTest, ThreadIdentitiesAreDistinctAndOverridable)
{
    HANDLE mine = PsGetCurrentThreadId();
    HANDLE other = nullptr;
    std::thread([&] { other = PsGetCurrentThreadId(); }).join();
    EXPECT_NE(mine, other);
    EXPECT_EQ(mine, PsGetCurrentThreadId());
    {
        winsim::ScopedThreadIdentity identity(HANDLE(0x44), HANDLE(0x88));
        EXPECT_EQ(HANDLE(0x44), PsGetCurrentProcessId());
        EXPECT_EQ(HANDLE(0x88), PsGetCurrentThreadId());
    }
    EXPECT_EQ(mine, PsGetCurrentThreadId());
}

TEST_F(KernelThreadTest, EventsAndSemaphoresFollowTheirTypes)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    LARGE_INTEGER poll{};
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll));
    KeSetEvent(&notification, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll))
        << "a notification event stays set";
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll));
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll))
        << "a synchronization event resets when a wait is satisfied";

    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    EXPECT_EQ(0, KeReleaseSemaphore(&semaphore, 0, 2, FALSE));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &poll));
    EXPECT_EQ(1, KeReadStateSemaphore(&semaphore));

    const LARGE_INTEGER timeout = Milliseconds(20);
    LARGE_INTEGER wait = timeout;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &wait));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));

    // A wait ends when another thread signals.
    KeClearEvent(&notification);
    std::thread setter([&] {
        LARGE_INTEGER delay = Milliseconds(5);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KeSetEvent(&notification, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr));
    setter.join();
}

// A jump of the clocks ends the timed waits and delays it passes at once, and only those; the clocks
// show the jump.
TEST_F(KernelThreadTest, AClockJumpEndsTheTimedWaitsItPasses)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    const ULONGLONG interruptBefore = KeQueryInterruptTime();
    LARGE_INTEGER systemBefore;
    KeQuerySystemTime(&systemBefore);

    std::atomic<int> ended{0};
    NTSTATUS waitStatus = STATUS_SUCCESS;
    std::thread waiter([&] {
        LARGE_INTEGER tenMinutes = Milliseconds(600000);
        waitStatus = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &tenMinutes);
        ++ended;
    });
    std::thread sleeper([&] {
        LARGE_INTEGER tenMinutes = Milliseconds(600000);
        KeDelayExecutionThread(KernelMode, FALSE, &tenMinutes);
        ++ended;
    });
    std::thread longer([&] {
        LARGE_INTEGER month = Milliseconds(30LL * 24 * 3600000);
        EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &month))
            << "a wait the jumps do not pass goes on until its object is signalled";
    });
    // Again until both ended: a thread that began its wait after a jump waits from there.
    for (int jumps = 0; ended.load() < 2 && jumps < 1000; ++jumps)
    {
        winsim::AdvanceClock(std::chrono::minutes(11));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sleeper.join();
    waiter.join();
    EXPECT_EQ(2, ended.load());
    EXPECT_EQ(STATUS_TIMEOUT, waitStatus);
    KeSetEvent(&never, IO_NO_INCREMENT, FALSE);
    longer.join();

    const ULONGLONG elevenMinutes = 11ULL * 60 * 10000000;
    EXPECT_GE(KeQueryInterruptTime() - interruptBefore, elevenMinutes);
    LARGE_INTEGER systemAfter;
    KeQuerySystemTime(&systemAfter);
    EXPECT_GE(ULONGLONG(systemAfter.QuadPart - systemBefore.QuadPart), elevenMinutes);
    EXPECT_THROW(winsim::AdvanceClock(std::chrono::seconds(-1)), std::invalid_argument)
        << "the clocks never go back";
}

TEST_F(KernelThreadTest, DispatcherMisuseIsCaught)
{
    BugCheckTrap trap;
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 9999, 10000);
    KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
    try
    {
        KeReleaseSemaphore(&semaphore, 0, 1, FALSE);
        FAIL() << "limit not enforced";
    }
    catch (const BugCheckError& error)
    {
        EXPECT_EQ(KMODE_EXCEPTION_NOT_HANDLED, error.code());
        EXPECT_EQ(ULONG_PTR(ULONG(STATUS_SEMAPHORE_LIMIT_EXCEEDED)), error.info().parameters[0]);
    }
    EXPECT_EQ(10000, KeReadStateSemaphore(&semaphore)) << "a refused release changes nothing";

    KEVENT zeroed{};
    EXPECT_THROW(KeSetEvent(&zeroed, IO_NO_INCREMENT, FALSE), BugCheckError) << "never initialised";

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER poll{};
    winsim::RunAtDispatch([&] {
        EXPECT_EQ(STATUS_TIMEOUT, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll))
            << "a zero time-out may be used at DISPATCH_LEVEL";
    });
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_THROW(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), BugCheckError);
    EXPECT_EQ(1u, trap.Count(IRQL_NOT_LESS_OR_EQUAL));
}

TEST_F(KernelThreadTest, TerminatingOutsideASystemThreadOrEndingAtRaisedIrqlIsCaught)
{
    BugCheckTrap trap;
    EXPECT_THROW(PsTerminateSystemThread(STATUS_SUCCESS), BugCheckError);
    HANDLE handle;
    ASSERT_EQ(STATUS_SUCCESS, PsCreateSystemThread(
                                  &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                  [](PVOID) {
                                      KIRQL old;
                                      KeRaiseIrql(DISPATCH_LEVEL, &old);
                                  },
                                  nullptr));
    PVOID thread;
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr));
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(thread);
    ZwClose(handle);
    EXPECT_EQ(2u, trap.Count(DRIVER_VERIFIER_DETECTED_VIOLATION) + trap.Count(IRQL_NOT_LESS_OR_EQUAL));
}

TEST_F(KernelThreadTest, UnloadingADriverWhoseThreadStillRunsIsCaught)
{
    static KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    static HANDLE handle;
    PDRIVER_OBJECT driver = winsim::LoadDriver(u"Threaded", [](PDRIVER_OBJECT object, PUNICODE_STRING) {
        object->DriverUnload = [](PDRIVER_OBJECT) {};
        return PsCreateSystemThread(
            &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
            [](PVOID) { KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr); }, nullptr);
    });
    ASSERT_NE(nullptr, driver);
    {
        BugCheckTrap trap;
        EXPECT_THROW(winsim::UnloadDriver(driver), BugCheckError);
        EXPECT_EQ(1u, trap.Count(DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS));
    }
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    ZwClose(handle);
}

TEST_F(KernelThreadTest, SpinLockGivesMutualExclusionAtDispatchLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i)
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
            counter = counter + 1;
            KeReleaseSpinLock(&lock, old);
        }
        EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(40000, counter);
}

TEST_F(KernelThreadTest, SpinLockAndIrqlMisuseIsCaught)
{
    KSPIN_LOCK first, second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    KIRQL old;
    {
        BugCheckTrap trap;
        KeAcquireSpinLock(&first, &old);
        EXPECT_THROW(KeAcquireSpinLockAtDpcLevel(&first), BugCheckError);
        EXPECT_EQ(1u, trap.Count(SPIN_LOCK_ALREADY_OWNED));
        EXPECT_THROW(KeAcquireSpinLockAtDpcLevel(&second), BugCheckError) << "nested spin locks";
        EXPECT_THROW(KeLowerIrql(PASSIVE_LEVEL), BugCheckError) << "lowered while holding a lock";
        KeReleaseSpinLock(&first, old);
    }
    {
        BugCheckTrap trap;
        std::thread([&] {
            KIRQL mine;
            KeAcquireSpinLock(&first, &mine);
            KeReleaseSpinLock(&first, mine);
        }).join();
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        EXPECT_THROW(KeReleaseSpinLockFromDpcLevel(&first), BugCheckError) << "not the owner";
        EXPECT_EQ(1u, trap.Count(SPIN_LOCK_NOT_OWNED));
        EXPECT_THROW(KeRaiseIrql(PASSIVE_LEVEL, &old), BugCheckError);
        KeRaiseIrql(HIGH_LEVEL, &old);
        EXPECT_THROW(KeAcquireSpinLockRaiseToDpc(&second), BugCheckError) << "above DISPATCH_LEVEL";
    }
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql()) << "the trap restores the thread";
    winsim::AllowNestedSpinLocks(true);
    KeAcquireSpinLock(&first, &old);
    KeAcquireSpinLockAtDpcLevel(&second);
    EXPECT_EQ(2u, winsim::SpinLocksHeldByCurrentThread());
    KeReleaseSpinLockFromDpcLevel(&second);
    KeReleaseSpinLock(&first, old);
}

TEST_F(KernelThreadTest, DpcsRunInOrderAtDispatchLevel)
{
    std::vector<int> order;
    std::atomic<int> irqlOk{0};
    for (int i = 0; i < 5; ++i)
    {
        winsim::QueueDpc(
            [&order, &irqlOk, i] {
                order.push_back(i);
                irqlOk += KeGetCurrentIrql() == DISPATCH_LEVEL;
            },
            std::chrono::microseconds(i == 0 ? 2000 : 0));
    }
    winsim::FlushDpcs();
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), order);
    EXPECT_EQ(5, irqlOk.load());
}

} // namespace
