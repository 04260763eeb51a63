// What applications ask of the disk, sent to the top of the disk node's stack as the I/O manager sends it
// (an IRP with an MDL of the caller's buffer) with several requests in flight, as Windows' file systems and
// copy engines keep them. Every byte read is compared with what the medium must hold (a copy kept beside
// it, changed when a write is sent), and after the run the whole medium is compared with that copy, so a
// write acknowledged but lost shows as surely as a read served from the wrong place.
#include "tests/wine/datapath/stick.h"

#define MIB (1024u * 1024u)
#define SLOT_BYTES 4096u
#define MAX_DEPTH 8
#define MAX_APPLICATIONS 2
#define UNFINISHED_WAIT_SECONDS 20

struct Operation
{
    ULONG64 offset;
    ULONG length;
    BOOLEAN write;
};

struct Run
{
    struct StickStacks* stacks;
    PDEVICE_OBJECT top;
    UCHAR* shadow;
    ULONG seed;
    KSEMAPHORE slots;
    KEVENT idle;
    volatile LONG outstanding;
    volatile LONG wrongBytes;
    NTSTATUS* statuses;
    // Ranges in flight, one per slot of the queue depth, to prove that no two requests overlap.
    KSPIN_LOCK flightLock;
    struct Operation flight[MAX_DEPTH];
    BOOLEAN flightUsed[MAX_DEPTH];
    ULONG overlaps;
};

struct Request
{
    struct Run* run;
    ULONG index;
    ULONG flightSlot;
    struct Operation operation;
    PMDL mdl;
    UCHAR* buffer;
};

static ULONG NextRandom(ULONG* state)
{
    *state = *state * 1664525u + 1013904223u;
    return *state >> 8;
}

static ULONG CountWrongBytes(const UCHAR* got, const UCHAR* expected, ULONG length)
{
    ULONG wrong = 0;
    if (RtlCompareMemory(got, expected, length) == length)
    {
        return 0;
    }
    for (ULONG index = 0; index < length; ++index)
    {
        wrong += got[index] != expected[index];
    }
    return wrong;
}

static NTSTATUS RequestCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    (void)device;
    struct Request* request = context;
    struct Run* run = request->run;
    NTSTATUS status = irp->IoStatus.Status;
    run->statuses[request->index] = status;
    if (!request->operation.write && NT_SUCCESS(status))
    {
        ULONG wrong = CountWrongBytes(request->buffer, run->shadow + request->operation.offset,
                                      request->operation.length);
        if (irp->IoStatus.Information != request->operation.length)
        {
            wrong += request->operation.length;
        }
        InterlockedAdd(&run->wrongBytes, (LONG)wrong);
    }
    KIRQL irql;
    KeAcquireSpinLock(&run->flightLock, &irql);
    run->flightUsed[request->flightSlot] = FALSE;
    KeReleaseSpinLock(&run->flightLock, irql);
    // The MDL is taken off the IRP before it is freed: Wine's IoFreeIrp frees an MDL still on it.
    irp->MdlAddress = NULL;
    IoFreeMdl(request->mdl);
    IoFreeIrp(irp);
    ExFreePoolWithTag(request->buffer, STICK_TAG);
    ExFreePoolWithTag(request, STICK_TAG);
    KeReleaseSemaphore(&run->slots, IO_NO_INCREMENT, 1, FALSE);
    if (InterlockedDecrement(&run->outstanding) == 0)
    {
        KeSetEvent(&run->idle, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static BOOLEAN Overlap(const struct Operation* a, const struct Operation* b)
{
    return a->offset < b->offset + b->length && b->offset < a->offset + a->length;
}

// Takes a queue slot and records the range in flight; a range that overlaps one in flight is counted, since
// the expected content of the medium would then depend on the order the device saw them in.
static ULONG EnterFlight(struct Run* run, const struct Operation* operation)
{
    ULONG slot = 0;
    KIRQL irql;
    KeAcquireSpinLock(&run->flightLock, &irql);
    for (ULONG index = 0; index < MAX_DEPTH; ++index)
    {
        if (run->flightUsed[index] && Overlap(&run->flight[index], operation))
        {
            ++run->overlaps;
        }
    }
    while (run->flightUsed[slot])
    {
        ++slot;
    }
    run->flightUsed[slot] = TRUE;
    run->flight[slot] = *operation;
    KeReleaseSpinLock(&run->flightLock, irql);
    return slot;
}

static NTSTATUS Issue(struct Run* run, ULONG index, const struct Operation* operation)
{
    KeWaitForSingleObject(&run->slots, Executive, KernelMode, FALSE, NULL);
    struct Request* request = ExAllocatePoolWithTag(NonPagedPool, sizeof(*request), STICK_TAG);
    UCHAR* buffer = ExAllocatePoolWithTag(NonPagedPool, operation->length, STICK_TAG);
    PIRP irp = IoAllocateIrp(run->top->StackSize, FALSE);
    PMDL mdl = buffer != NULL ? MappedMdl(buffer, operation->length) : NULL;
    if (request == NULL || buffer == NULL || irp == NULL || mdl == NULL)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request->run = run;
    request->index = index;
    request->operation = *operation;
    request->buffer = buffer;
    request->mdl = mdl;
    request->flightSlot = EnterFlight(run, operation);
    if (operation->write)
    {
        ULONG seed = run->seed + 1000 + index;
        FillPattern(buffer, operation->offset, operation->length, seed);
        // A write to a write-protected or missing medium must leave it as it was.
        if (run->stacks->medium.present && !run->stacks->medium.writeProtected)
        {
            RtlCopyMemory(run->shadow + operation->offset, buffer, operation->length);
        }
    }
    else
    {
        RtlFillMemory(buffer, operation->length, 0xCC);
    }
    irp->MdlAddress = mdl;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = operation->write ? IRP_MJ_WRITE : IRP_MJ_READ;
    next->Parameters.Read.Length = operation->length;
    next->Parameters.Read.ByteOffset.QuadPart = (LONGLONG)operation->offset;
    IoSetCompletionRoutine(irp, RequestCompletion, request, TRUE, TRUE, TRUE);
    InterlockedIncrement(&run->outstanding);
    KeClearEvent(&run->idle);
    IoCallDriver(run->top, irp);
    return STATUS_SUCCESS;
}

// The requests of each workload, the same list with and without the filter.
static ULONG PlanSequential(struct Operation* plan, ULONG64 start, ULONG length, ULONG count, BOOLEAN write)
{
    for (ULONG index = 0; index < count; ++index)
    {
        plan[index].offset = start + (ULONG64)index * length;
        plan[index].length = length;
        plan[index].write = write;
    }
    return count;
}

// Random 4 KiB requests, seven reads to three writes, none overlapping any of the 64 before it.
static ULONG PlanRandom(struct Operation* plan, ULONG count, ULONG seed)
{
    ULONG state = seed;
    for (ULONG index = 0; index < count; ++index)
    {
        struct Operation candidate;
        BOOLEAN clash;
        do
        {
            candidate.offset = (ULONG64)(NextRandom(&state) % (MEDIUM_BYTES / SLOT_BYTES)) * SLOT_BYTES;
            candidate.length = SLOT_BYTES;
            candidate.write = NextRandom(&state) % 10 < 3;
            clash = FALSE;
            for (ULONG back = index > 64 ? index - 64 : 0; back < index && !clash; ++back)
            {
                clash = Overlap(&plan[back], &candidate);
            }
        } while (clash);
        plan[index] = candidate;
    }
    return count;
}

// A write-protected medium: large and small writes among reads, every one answered as the stick answers.
static ULONG PlanMixed(struct Operation* plan)
{
    ULONG count = 0;
    for (ULONG round = 0; round < 4; ++round)
    {
        ULONG64 base = (ULONG64)round * 4 * MIB;
        plan[count++] = (struct Operation){base, MIB, TRUE};
        plan[count++] = (struct Operation){base + MIB, PIECE_BYTES, TRUE};
        plan[count++] = (struct Operation){base + 2 * MIB, MIB, FALSE};
        plan[count++] = (struct Operation){base + 3 * MIB, PIECE_BYTES, FALSE};
    }
    return count;
}

// Two readers at once, each through its own 16 MiB in 1 MiB requests: the even requests are the first
// reader's, the odd ones the second's, far apart on the medium.
static ULONG PlanTwoStreams(struct Operation* plan)
{
    for (ULONG index = 0; index < 32; ++index)
    {
        plan[index].offset = (index % 2 == 0 ? 0 : 24ull * MIB) + (ULONG64)(index / 2) * MIB;
        plan[index].length = MIB;
        plan[index].write = FALSE;
    }
    return 32;
}

static ULONG Plan(ULONG workload, struct Operation* plan, ULONG seed, ULONG* depth, ULONG* applications)
{
    *depth = 2;
    switch (workload)
    {
    case WorkloadSequentialRead1M:
    case WorkloadSurpriseRemoval:
        return PlanSequential(plan, 0, MIB, 32, FALSE);
    case WorkloadSequentialRead64K:
        return PlanSequential(plan, 0, PIECE_BYTES, 512, FALSE);
    case WorkloadSequentialWrite1M:
        return PlanSequential(plan, 0, MIB, 32, TRUE);
    case WorkloadRandom4KMix:
        *depth = 4;
        return PlanRandom(plan, 2000, seed);
    case WorkloadWriteProtected:
    case WorkloadNoMedium:
        return PlanMixed(plan);
    case WorkloadTwoReaders:
        *depth = 4;
        *applications = 2;
        return PlanTwoStreams(plan);
    default:
        return 0;
    }
}

static void RecordStatuses(struct DatapathRunResult* result, const NTSTATUS* statuses, ULONG count)
{
    ULONG64 hash = 0xCBF29CE484222325ull;
    for (ULONG index = 0; index < count; ++index)
    {
        hash = (hash ^ (ULONG)statuses[index]) * 0x100000001B3ull;
        ULONG kind = 0;
        while (kind < result->statusKinds && result->statuses[kind] != statuses[index])
        {
            ++kind;
        }
        if (kind == result->statusKinds && kind < DATAPATH_STATUS_KINDS)
        {
            result->statuses[kind] = statuses[index];
            ++result->statusKinds;
        }
        if (kind < DATAPATH_STATUS_KINDS)
        {
            ++result->statusCounts[kind];
        }
    }
    result->statusSequence = hash;
}

static ULONG CountMediumMismatches(const UCHAR* medium, const UCHAR* shadow)
{
    ULONG blocks = 0;
    for (ULONG64 offset = 0; offset < MEDIUM_BYTES; offset += BLOCK_SIZE)
    {
        blocks += RtlCompareMemory(medium + offset, shadow + offset, BLOCK_SIZE) != BLOCK_SIZE;
    }
    return blocks;
}

// Kavfiltr's worker may still be on its way out when removal returns; it is given a moment to finish.
static void SettleFilterCounts(void)
{
    for (int attempt = 0; attempt < 40 && (FilterCounts.threads != 0 || FilterCounts.pool != 0); ++attempt)
    {
        LARGE_INTEGER delay;
        delay.QuadPart = -50 * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
}

static void Measure(struct Run* run, const struct StickCounters* before, struct DatapathRunResult* result)
{
    const struct StickCounters* now = &run->stacks->medium.counters;
    result->readCommands = (ULONG)(now->readCommands - before->readCommands);
    result->writeCommands = (ULONG)(now->writeCommands - before->writeCommands);
    result->otherCommands = (ULONG)(now->otherCommands - before->otherCommands);
    result->bytesReadFromMedium = (ULONG64)(now->bytesRead - before->bytesRead);
    result->bytesWrittenToMedium = (ULONG64)(now->bytesWritten - before->bytesWritten);
}

// One application thread's share of the plan: every stride-th request from the first.
struct Application
{
    struct Run* run;
    const struct DatapathRunRequest* request;
    const struct Operation* plan;
    ULONG count;
    ULONG first;
    ULONG stride;
    ULONG issued;
    ULONG64 bytes;
    NTSTATUS status;
    KEVENT done;
};

static void ApplicationThread(PVOID context)
{
    struct Application* application = context;
    application->status = STATUS_SUCCESS;
    for (ULONG index = application->first; index < application->count; index += application->stride)
    {
        if (application->request->workload == WorkloadSurpriseRemoval && index == 10)
        {
            StacksSurpriseRemove(application->run->stacks);
        }
        application->status = Issue(application->run, index, &application->plan[index]);
        if (!NT_SUCCESS(application->status))
        {
            break;
        }
        application->issued++;
        application->bytes += application->plan[index].length;
    }
    KeSetEvent(&application->done, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// The requests come from threads started after the stick was plugged in, as an application's do: Kavfiltr
// tells a large write's own pieces from others by the requester, whose thread must not be older than the
// storage stack's own. Each application keeps its share of the queue depth filled.
static NTSTATUS RunAsApplications(struct Run* run, const struct DatapathRunRequest* request,
                                  const struct Operation* plan, ULONG count, ULONG depth, ULONG applications,
                                  struct DatapathRunResult* result)
{
    struct StickCounters before = run->stacks->medium.counters;
    KeInitializeSemaphore(&run->slots, (LONG)depth, (LONG)depth);
    KeInitializeEvent(&run->idle, NotificationEvent, TRUE);
    KeInitializeSpinLock(&run->flightLock);
    struct Application share[MAX_APPLICATIONS];
    HANDLE threads[MAX_APPLICATIONS];
    ULONG started = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG index = 0; index < applications && NT_SUCCESS(status); ++index)
    {
        RtlZeroMemory(&share[index], sizeof(share[index]));
        share[index].run = run;
        share[index].request = request;
        share[index].plan = plan;
        share[index].count = count;
        share[index].first = index;
        share[index].stride = applications;
        KeInitializeEvent(&share[index].done, NotificationEvent, FALSE);
        status = StartThread(ApplicationThread, &share[index], &threads[index]);
        started += NT_SUCCESS(status);
    }
    for (ULONG index = 0; index < started; ++index)
    {
        KeWaitForSingleObject(&share[index].done, Executive, KernelMode, FALSE, NULL);
        ZwClose(threads[index]);
        result->requests += share[index].issued;
        result->bytesRequested += share[index].bytes;
        if (NT_SUCCESS(status))
        {
            status = share[index].status;
        }
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -(LONGLONG)UNFINISHED_WAIT_SECONDS * 10000000;
    KeWaitForSingleObject(&run->idle, Executive, KernelMode, FALSE, &timeout);
    result->requestsUnfinished = (ULONG)run->outstanding;
    Measure(run, &before, result);
    return status;
}

NTSTATUS WorkloadRun(PDRIVER_OBJECT driver, PDRIVER_OBJECT filter, const struct DatapathRunRequest* request,
                     struct DatapathRunResult* result)
{
    RtlZeroMemory(result, sizeof(*result));
    struct Operation* plan = ExAllocatePoolWithTag(NonPagedPool, 2000 * sizeof(*plan), STICK_TAG);
    struct StickStacks* stacks = ExAllocatePoolWithTag(NonPagedPool, sizeof(*stacks), STICK_TAG);
    struct Run* run = ExAllocatePoolWithTag(NonPagedPool, sizeof(*run), STICK_TAG);
    NTSTATUS* statuses = ExAllocatePoolWithTag(NonPagedPool, 2000 * sizeof(NTSTATUS), STICK_TAG);
    UCHAR* shadow = ExAllocatePoolWithTag(NonPagedPool, MEDIUM_BYTES, STICK_TAG);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (plan == NULL || stacks == NULL || run == NULL || statuses == NULL || shadow == NULL)
    {
        goto freed;
    }
    ULONG depth = 0;
    ULONG applications = 1;
    ULONG count = Plan(request->workload, plan, request->seed, &depth, &applications);
    if (count == 0)
    {
        status = STATUS_INVALID_PARAMETER;
        goto freed;
    }
    FillPattern(shadow, 0, MEDIUM_BYTES, request->seed);
    BOOLEAN present = request->workload != WorkloadNoMedium;
    BOOLEAN writeProtected = request->workload == WorkloadWriteProtected;
    status = StacksBuild(driver, request->filtered ? filter : NULL, stacks, request->seed, present,
                         writeProtected);
    result->setupStep = stacks->failedStep;
    result->setupStatus = stacks->failedStatus;
    if (NT_SUCCESS(status))
    {
        result->built = 1;
        RtlZeroMemory(run, sizeof(*run));
        run->stacks = stacks;
        run->top = StacksTop(stacks);
        run->shadow = shadow;
        run->seed = request->seed;
        run->statuses = statuses;
        status = RunAsApplications(run, request, plan, count, depth, applications, result);
        ObDereferenceObject(run->top);
        result->wrongBytes = (ULONG)run->wrongBytes + run->overlaps;
        RecordStatuses(result, statuses, result->requests);
        result->mediumMismatches = CountMediumMismatches(stacks->medium.bytes, shadow);
        if (result->requestsUnfinished != 0)
        {
            // Requests the stacks still hold cannot be taken back: the stacks stay, the run reports a hang.
            plan = NULL;
            stacks = NULL;
            run = NULL;
            statuses = NULL;
            shadow = NULL;
            goto freed;
        }
    }
    result->stickRequestsLeft =
        stacks->usbDevice != NULL
            ? (ULONG)((struct UsbDeviceExtension*)stacks->usbDevice->DeviceExtension)->queue.held
            : 0;
    StacksRemove(stacks);
    SettleFilterCounts();
    result->filterPoolLeft = FilterCounts.pool;
    result->filterIrpsLeft = FilterCounts.irps;
    result->filterThreadsLeft = FilterCounts.threads;
    result->filterPoolPeak = (ULONG)FilterCounts.poolPeak;
freed:
    if (plan != NULL)
    {
        ExFreePoolWithTag(plan, STICK_TAG);
    }
    if (stacks != NULL)
    {
        ExFreePoolWithTag(stacks, STICK_TAG);
    }
    if (run != NULL)
    {
        ExFreePoolWithTag(run, STICK_TAG);
    }
    if (statuses != NULL)
    {
        ExFreePoolWithTag(statuses, STICK_TAG);
    }
    if (shadow != NULL)
    {
        ExFreePoolWithTag(shadow, STICK_TAG);
    }
    return status;
}
