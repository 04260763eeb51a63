// The worker thread of a USB-side filter. Transfers arrive at up to DISPATCH_LEVEL, where the filter may
// not wait for the device; requests it takes over are queued here and run one after another, in queue
// order, at PASSIVE_LEVEL in the system process.
#include "driver/kavfiltr.h"

namespace
{
// The queue's items are plain pointers to WorkItems that the worker or the enqueuer frees.
void KeepQueuedItem(PVOID, ULONG) {}

void FreeWorker(WorkerThread* worker)
{
    PoolListDestroy(worker->queue);
    ExFreePoolWithTag(worker, KAVFILTR_POOL_TAG);
}

// Takes the oldest item off the queue, then the embedded one; null when there is none.
WorkItem* DequeueWork(WorkerThread* worker)
{
    WorkItem* item = nullptr;
    worker->queueIrql = KeAcquireSpinLockRaiseToDpc(&worker->queueLock);
    auto* slot = static_cast<WorkItem**>(PoolListFirst(worker->queue));
    if (slot != nullptr)
    {
        item = *slot;
        PoolListRemove(worker->queue, slot);
    }
    else
    {
        item = worker->embeddedQueued;
        worker->embeddedQueued = nullptr;
    }
    KeReleaseSpinLock(&worker->queueLock, worker->queueIrql);
    return item;
}

// The tick runs once its interval has passed, whether the worker woke for an item or for nothing: under
// a steady stream of items the wait never times out.
void TickIfDue(WorkerThread* worker)
{
    ULONGLONG now = KeQueryInterruptTime();
    if (worker->tick != nullptr && now - worker->lastTick >= WORKER_TICK_INTERVAL)
    {
        worker->lastTick = now;
        worker->tick(worker->tickContext);
    }
}

// Runs at the lowest real-time priority so that the device's transfers are not delayed behind ordinary
// threads; ends only on a stop request, and tests for it before each item so that StopWorker never waits
// for work that nobody will complete. A worker with a tick also wakes once per interval without work.
void WorkerThreadRoutine(PVOID context)
{
    auto* worker = static_cast<WorkerThread*>(context);
    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    LARGE_INTEGER interval;
    interval.QuadPart = -WORKER_TICK_INTERVAL;
    for (;;)
    {
        NTSTATUS waited = KeWaitForSingleObject(&worker->workSemaphore, Executive, KernelMode, FALSE,
                                                worker->tick != nullptr ? &interval : nullptr);
        if (worker->stopRequested)
        {
            KeReleaseSemaphore(&worker->stoppedSemaphore, 0, 1, FALSE);
            PsTerminateSystemThread(STATUS_SUCCESS);
        }
        TickIfDue(worker);
        if (waited == STATUS_TIMEOUT)
        {
            continue;
        }
        WorkItem* item = DequeueWork(worker);
        if (item == nullptr)
        {
            continue;
        }
        if (item->embedded)
        {
            item->handler(worker, item);
            continue;
        }
        item->handler(worker, item);
        if (item->waitForCompletion)
        {
            KeReleaseSemaphore(&item->doneSemaphore, 0, 1, FALSE);
        }
        else
        {
            ExFreePoolWithTag(item, KAVFILTR_POOL_TAG);
        }
    }
}
} // namespace

// Creates the worker and its thread; on any failure nothing is left behind. `tick`, when given, runs on the
// worker about once per WORKER_TICK_INTERVAL with `tickContext`.
NTSTATUS StartWorker(WorkerThread** result, WorkerTick tick, PVOID tickContext)
{
    auto* worker = static_cast<WorkerThread*>(
        ExAllocatePoolWithTag(KavfiltrNonPagedPool, sizeof(WorkerThread), KAVFILTR_POOL_TAG));
    if (worker == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(worker, sizeof(*worker));
    KeInitializeSemaphore(&worker->stoppedSemaphore, 0, WORKER_SEMAPHORE_LIMIT);
    KeInitializeSemaphore(&worker->workSemaphore, 0, WORKER_SEMAPHORE_LIMIT);
    KeInitializeSpinLock(&worker->queueLock);
    worker->tick = tick;
    worker->tickContext = tickContext;
    worker->lastTick = KeQueryInterruptTime();

    const PoolListTemplate queueTemplate = {KeepQueuedItem, sizeof(WorkItem*)};
    NTSTATUS status = PoolListCreate(&queueTemplate, &worker->queue);
    if (!NT_SUCCESS(status))
    {
        ExFreePoolWithTag(worker, KAVFILTR_POOL_TAG);
        return status;
    }

    // A kernel handle: the thread is created in whatever process the caller runs in, and a handle in that
    // process's table could be used or closed by its user-mode code.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    status = PsCreateSystemThread(&worker->threadHandle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr,
                                  WorkerThreadRoutine, worker);
    if (!NT_SUCCESS(status))
    {
        FreeWorker(worker);
        return status;
    }
    // Keep the thread object so that StopWorker can wait until the thread has really ended; the handle is
    // kept open only as the sign that a thread runs, and closed when it is stopped. The handle is our own
    // kernel handle to the thread just created, so no object type is checked: the thread type is exported
    // as data, and mingw-w64's declaration of it reads one pointer too deep: the kernel was handed the first
    // word of the type object, a type it does not know, and the worker (and with it the device) never
    // started.
    status = ObReferenceObjectByHandle(worker->threadHandle, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                       &worker->threadObject, nullptr);
    if (!NT_SUCCESS(status))
    {
        // The thread runs but cannot be waited for: stop it through its semaphores and give up the start.
        worker->stopRequested = 1;
        KeReleaseSemaphore(&worker->workSemaphore, 0, 1, FALSE);
        KeWaitForSingleObject(&worker->stoppedSemaphore, Executive, KernelMode, FALSE, nullptr);
        ZwClose(worker->threadHandle);
        FreeWorker(worker);
        return status;
    }
    *result = worker;
    return STATUS_SUCCESS;
}

// Queues a copy of the template. A waiting enqueue (only below DISPATCH_LEVEL) returns after the handler
// ran; a non-waiting one hands the item to the worker, which frees it.
NTSTATUS EnqueueWork(WorkerThread* worker, const WorkItem* itemTemplate)
{
    if (itemTemplate == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    auto* item = static_cast<WorkItem*>(
        ExAllocatePoolWithTag(KavfiltrNonPagedPool, sizeof(WorkItem), KAVFILTR_POOL_TAG));
    if (item == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(item, sizeof(*item));
    item->handler = itemTemplate->handler;
    item->waitForCompletion = itemTemplate->waitForCompletion;
    item->context = itemTemplate->context;
    if (item->waitForCompletion)
    {
        KeInitializeSemaphore(&item->doneSemaphore, 0, WORKER_SEMAPHORE_LIMIT);
    }

    worker->queueIrql = KeAcquireSpinLockRaiseToDpc(&worker->queueLock);
    NTSTATUS status = PoolListAppend(worker->queue, &item, sizeof(item), nullptr);
    KeReleaseSpinLock(&worker->queueLock, worker->queueIrql);
    if (!NT_SUCCESS(status))
    {
        ExFreePoolWithTag(item, KAVFILTR_POOL_TAG);
        return status;
    }

    KeReleaseSemaphore(&worker->workSemaphore, 0, 1, FALSE);
    if (itemTemplate->waitForCompletion)
    {
        KeWaitForSingleObject(&item->doneSemaphore, Executive, KernelMode, FALSE, nullptr);
        ExFreePoolWithTag(item, KAVFILTR_POOL_TAG);
    }
    return STATUS_SUCCESS;
}

// Queues an item that its owner keeps (see WorkItem::embedded), without pool. Only one can wait at a time:
// a second is refused with STATUS_DEVICE_BUSY.
NTSTATUS EnqueueEmbeddedWork(WorkerThread* worker, WorkItem* item)
{
    NTSTATUS status = STATUS_DEVICE_BUSY;
    worker->queueIrql = KeAcquireSpinLockRaiseToDpc(&worker->queueLock);
    if (worker->embeddedQueued == nullptr)
    {
        worker->embeddedQueued = item;
        status = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&worker->queueLock, worker->queueIrql);
    if (NT_SUCCESS(status))
    {
        KeReleaseSemaphore(&worker->workSemaphore, 0, 1, FALSE);
    }
    return status;
}

// Ends the thread and frees the worker. Items still queued are dropped without running: removal only
// stops the worker after every request holding the remove lock has finished.
void StopWorker(WorkerThread* worker)
{
    if (worker == nullptr)
    {
        return;
    }
    if (worker->threadHandle != nullptr)
    {
        worker->stopRequested = 1;
        KeReleaseSemaphore(&worker->workSemaphore, 0, 1, FALSE);
        KeWaitForSingleObject(&worker->stoppedSemaphore, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(worker->threadObject, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(worker->threadObject);
        ZwClose(worker->threadHandle);
        worker->threadHandle = nullptr;
    }
    worker->queueIrql = KeAcquireSpinLockRaiseToDpc(&worker->queueLock);
    for (auto* slot = static_cast<WorkItem**>(PoolListFirst(worker->queue)); slot != nullptr;
         slot = static_cast<WorkItem**>(PoolListNext(worker->queue)))
    {
        // A dropped item that nobody waits for is the worker's to free; a waited-for one belongs to its
        // enqueuer, which cannot exist at removal.
        if (!(*slot)->waitForCompletion)
        {
            ExFreePoolWithTag(*slot, KAVFILTR_POOL_TAG);
        }
    }
    KeReleaseSpinLock(&worker->queueLock, worker->queueIrql);
    FreeWorker(worker);
}
