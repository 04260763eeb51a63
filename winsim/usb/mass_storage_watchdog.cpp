// winsim: the time-out watchdog of the mass-storage function driver model (see mass_storage_driver.h).
// One system thread per FDO looks at the running command a few times per time-out; when the command's
// time-out has passed it cancels the URB in flight with IoCancelIrp, as the real driver's timer does, and
// the exchange engine then recovers (port reset, reset recovery) and fails the request as timed out.
#include "winsim/usb/mass_storage_internal.h"

namespace winsim::usb::msd
{

namespace
{

// Cancels the URB of a command whose time-out passed. The URB IRP cannot be reused meanwhile: its
// completion, should it come during IoCancelIrp, leaves the engine to this thread, or to the URB's sender
// when that is still in IofCallDriver and lets go after this thread.
void CheckTimeOut(FdoExtension* fdo)
{
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
    // Also after the device left: a transfer it never answered must still end for the removal to go on.
    const bool expired =
        fdo->urbInFlight && fdo->deadline != 0 && !fdo->timedOut && KeQueryInterruptTime() >= fdo->deadline;
    if (expired)
    {
        fdo->timedOut = TRUE;
        fdo->cancelling = TRUE;
        ++fdo->counters.timeouts;
    }
    KeReleaseSpinLock(&fdo->lock, irql);
    if (!expired)
    {
        return;
    }
    IoCancelIrp(fdo->urbIrp);
    irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
    fdo->cancelling = FALSE;
    const bool resume = fdo->resumeHolds != 0 && --fdo->resumeHolds == 0;
    KeReleaseSpinLock(&fdo->lock, irql);
    if (resume)
    {
        ResumeAfterCancel(fdo);
    }
}

// How long the watchdog may wait before it looks again, in 100 ns units: a few times per time-out, and
// no later than the running command's deadline, so that a command times out when its time is up also
// when the clock jumps there (a poll of 1 ms while the engine sends the URB that can be cancelled).
LONGLONG NextLook(FdoExtension* fdo, ULONGLONG tick)
{
    constexpr ULONGLONG kPoll = 10000;
    ULONGLONG wait = tick;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&fdo->lock);
    if (fdo->deadline != 0 && !fdo->timedOut)
    {
        const ULONGLONG now = KeQueryInterruptTime();
        const ULONGLONG left = fdo->deadline > now ? fdo->deadline - now : 0;
        wait = left < kPoll ? kPoll : left < tick ? left : tick;
    }
    KeReleaseSpinLock(&fdo->lock, irql);
    return LONGLONG(wait);
}

// The watchdog looks at the running command a few times per time-out until the FDO goes.
VOID Watchdog(PVOID context)
{
    auto* fdo = static_cast<FdoExtension*>(context);
    const ULONGLONG tick = (fdo->timeoutMs != 0 ? (fdo->timeoutMs + 3) / 4 : 250) * 10000ULL;
    for (;;)
    {
        LARGE_INTEGER wait;
        wait.QuadPart = -NextLook(fdo, tick);
        if (KeWaitForSingleObject(&fdo->watchdogStop, Executive, KernelMode, FALSE, &wait) == STATUS_SUCCESS)
        {
            break;
        }
        CheckTimeOut(fdo);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

NTSTATUS StartWatchdog(FdoExtension* fdo)
{
    KeInitializeEvent(&fdo->watchdogStop, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Watchdog, fdo);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       &fdo->watchdogThread, nullptr);
    if (!NT_SUCCESS(status))
    {
        // The thread runs without an object to wait for: stop it and give it time to see the event.
        KeSetEvent(&fdo->watchdogStop, IO_NO_INCREMENT, FALSE);
        ZwClose(handle);
        fdo->watchdogThread = nullptr;
        return status;
    }
    ZwClose(handle);
    return STATUS_SUCCESS;
}

void StopWatchdog(FdoExtension* fdo)
{
    if (fdo->watchdogThread == nullptr)
    {
        return;
    }
    KeSetEvent(&fdo->watchdogStop, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(fdo->watchdogThread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(fdo->watchdogThread);
    fdo->watchdogThread = nullptr;
}

} // namespace winsim::usb::msd
