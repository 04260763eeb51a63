// Worker-thread code written as driver code is: compiled without exceptions, it ends its thread from a
// nested routine with PsTerminateSystemThread, the way a driver's worker loop does.
#include <ntddk.h>

#include "tests/winsim/driver_style_thread.h"

namespace
{

// Deliberately a separate, non-inlined frame between the thread routine and PsTerminateSystemThread.
__attribute__((noinline)) void StopHere(DriverStyleWorker* worker)
{
    KeReleaseSemaphore(&worker->stopped, 0, 1, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

void DriverStyleThreadRoutine(PVOID context)
{
    auto* worker = static_cast<DriverStyleWorker*>(context);
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    for (;;)
    {
        KeWaitForSingleObject(&worker->work, Executive, KernelMode, FALSE, nullptr);
        if (worker->stop)
        {
            StopHere(worker);
        }
        worker->itemsRun++;
    }
}
