// winsim: cancelling an IRP as the I/O manager does. IoCancelIrp takes the cancel spin lock, sets Cancel
// and calls the IRP's cancel routine, if one is set, with the lock held; the routine must release it.
//
// Checks: a cancel routine that returns holding a spin lock (the cancel spin lock included) or at another
// IRQL. Completing an IRP whose cancel routine is still set is caught by IofCompleteRequest (irp.cpp).
#include "winsim/kernel/kernel_state.h"

namespace winsim
{
namespace
{

KSPIN_LOCK g_cancelSpinLock = 0;

} // namespace
} // namespace winsim

using namespace winsim;

extern "C"
{

    VOID IoAcquireCancelSpinLock(PKIRQL Irql)
    {
        *Irql = KeAcquireSpinLockRaiseToDpc(&winsim::g_cancelSpinLock);
    }

    VOID IoReleaseCancelSpinLock(KIRQL Irql)
    {
        KeReleaseSpinLock(&winsim::g_cancelSpinLock, Irql);
    }

    BOOLEAN IoCancelIrp(PIRP Irp)
    {
        auto& thread = detail::CurrentThreadState();
        const KIRQL before = thread.irql;
        const size_t locksBefore = thread.heldLocks.size();
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        // Stored atomically: the holder of the request tests the flag without the cancel spin lock.
        __atomic_store_n(&Irp->Cancel, BOOLEAN(TRUE), __ATOMIC_SEQ_CST);
        const PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
        if (routine == nullptr)
        {
            IoReleaseCancelSpinLock(irql);
            return FALSE;
        }
        Irp->CancelIrql = irql;
        routine(Irp->Tail.Overlay.CurrentStackLocation->DeviceObject, Irp);
        if (thread.heldLocks.size() != locksBefore)
        {
            detail::IoViolationCheck(IoRule::SpinLockHeldOnReturn,
                                     "cancel routine returned holding a spin lock",
                                     ULONG_PTR(thread.heldLocks.back()));
        }
        if (thread.irql != before)
        {
            detail::IoViolationCheck(IoRule::IrqlNotRestored, "cancel routine returned at another IRQL",
                                     before, thread.irql);
        }
        return TRUE;
    }

} // extern "C"
