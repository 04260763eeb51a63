// The I/O manager's rules for IRPs: completion routines run up the stack by their invoke flags,
// STATUS_MORE_PROCESSING_REQUIRED stops the unwinding, PendingReturned reaches the top, threaded requests
// are finished and freed by the I/O manager, and every misuse the verifier knows ends in a bug check.
#include "tests/support/test_filter.h"

#include <thread>

using winsim::BugCheckError;
using winsim::BugCheckTrap;
using winsim::CompletionMode;
using winsim::CompletionRule;

namespace
{

using namespace kavtest;

struct CompletionProbe
{
    int calls = 0;
    bool pendingReturned = false;
    KIRQL irql = PASSIVE_LEVEL;
    std::thread::id thread;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS result = STATUS_SUCCESS;
    KEVENT event;
};

// The usual completion routine of a forwarding driver: propagate pending, note what happened.
NTSTATUS ProbeCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* probe = static_cast<CompletionProbe*>(context);
    probe->calls++;
    probe->pendingReturned = irp->PendingReturned != FALSE;
    probe->irql = KeGetCurrentIrql();
    probe->thread = std::this_thread::get_id();
    probe->device = device;
    if (probe->result == STATUS_MORE_PROCESSING_REQUIRED)
    {
        if (irp->PendingReturned)
        {
            KeSetEvent(&probe->event, IO_NO_INCREMENT, FALSE);
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (irp->PendingReturned)
    {
        IoMarkIrpPending(irp);
    }
    return probe->result;
}

CompletionProbe g_probe;

winsim::IrpRequest Request(UCHAR major, KIRQL irql = PASSIVE_LEVEL)
{
    winsim::IrpRequest request;
    request.major = major;
    request.initialStatus = STATUS_SUCCESS;
    request.irql = irql;
    return request;
}

NTSTATUS ForwardWithProbe(PDEVICE_OBJECT device, PIRP irp, BOOLEAN onSuccess, BOOLEAN onError,
                          BOOLEAN onCancel)
{
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ProbeCompletion, &g_probe, onSuccess, onError, onCancel);
    return IofCallDriver(Lower(device), irp);
}

class IrpTest : public FilterTest
{
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        g_probe = CompletionProbe{};
        KeInitializeEvent(&g_probe.event, NotificationEvent, FALSE);
    }

    void ForcePending(NTSTATUS status = STATUS_SUCCESS, ULONG_PTR information = 0)
    {
        CompletionRule rule;
        rule.mode = CompletionMode::Pending;
        rule.status = status;
        rule.information = information;
        bus->SetDefaultRule(rule);
    }

    void Hold()
    {
        CompletionRule rule;
        rule.mode = CompletionMode::Hold;
        bus->SetDefaultRule(rule);
    }
};

TEST_F(IrpTest, PassThroughReturnsLowerStatusAndPendingReachesTheTop)
{
    auto inlineResult = winsim::SendRead(filter, nullptr, 512, 0);
    EXPECT_EQ(STATUS_SUCCESS, inlineResult.dispatchStatus);
    EXPECT_EQ(512u, inlineResult.information);
    EXPECT_FALSE(inlineResult.pendingReturned);

    ForcePending(STATUS_DEVICE_NOT_READY, 7);
    auto pendingResult = winsim::SendRead(filter, nullptr, 512, 4096);
    EXPECT_EQ(STATUS_PENDING, pendingResult.dispatchStatus);
    EXPECT_EQ(STATUS_DEVICE_NOT_READY, pendingResult.status);
    EXPECT_EQ(7u, pendingResult.information);
    EXPECT_TRUE(pendingResult.pendingReturned) << "the skipped location carries the mark to the sender";

    auto received = bus->Received();
    ASSERT_EQ(2u, received.size());
    EXPECT_EQ(IRP_MJ_READ, received[1].major);
    EXPECT_EQ(4096, received[1].byteOffset);
    EXPECT_EQ(0u, winsim::OutstandingIrps());
}

TEST_F(IrpTest, CompletionRoutineRunsOnlyForItsInvokeFlags)
{
    struct Case
    {
        NTSTATUS status;
        bool cancel;
        BOOLEAN onSuccess, onError, onCancel;
        int expectedCalls;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, 1},
        {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, 0},
        {STATUS_IO_DEVICE_ERROR, false, FALSE, TRUE, FALSE, 1},
        {STATUS_IO_DEVICE_ERROR, false, TRUE, FALSE, TRUE, 0},
        {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, 1},
        {STATUS_CANCELLED, true, TRUE, FALSE, FALSE, 0},
    };
    for (const Case& c : cases)
    {
        g_probe.calls = 0;
        CompletionRule rule;
        rule.status = c.status;
        rule.action = [&c](PDEVICE_OBJECT, PIRP irp, NTSTATUS status) {
            if (c.cancel)
            {
                irp->Cancel = TRUE;
            }
            return status;
        };
        bus->SetDefaultRule(rule);
        CurrentDispatch() = [&c](PDEVICE_OBJECT device, PIRP irp) {
            return ForwardWithProbe(device, irp, c.onSuccess, c.onError, c.onCancel);
        };
        auto result = winsim::SendRead(filter, nullptr, 512, 0);
        EXPECT_EQ(c.status, result.status);
        EXPECT_EQ(c.expectedCalls, g_probe.calls) << "status 0x" << std::hex << c.status;
    }
}

TEST_F(IrpTest, CompletionRoutineOfAForcedPendingRequestRunsAtDispatchLevelOnAnotherThread)
{
    ForcePending();
    CurrentDispatch() = [](PDEVICE_OBJECT device, PIRP irp) {
        return ForwardWithProbe(device, irp, TRUE, TRUE, TRUE);
    };
    auto result = winsim::SendRead(filter, nullptr, 4096, 0);
    EXPECT_EQ(STATUS_PENDING, result.dispatchStatus);
    EXPECT_TRUE(result.pendingReturned) << "the routine re-marked the IRP pending";
    EXPECT_EQ(1, g_probe.calls);
    EXPECT_TRUE(g_probe.pendingReturned);
    EXPECT_EQ(DISPATCH_LEVEL, g_probe.irql);
    EXPECT_NE(std::this_thread::get_id(), g_probe.thread);
    EXPECT_EQ(filter, g_probe.device) << "a completion routine gets its own device object";
}

// The synchronous forwarding pattern: the routine stops the unwinding, the dispatch routine waits when the
// lower driver pended, then completes the IRP a second time, which is legal after MORE_PROCESSING.
TEST_F(IrpTest, MoreProcessingRequiredStopsTheUnwindingUntilTheOwnerCompletesAgain)
{
    for (bool pending : {false, true})
    {
        if (pending)
        {
            ForcePending();
        }
        g_probe.calls = 0;
        g_probe.result = STATUS_MORE_PROCESSING_REQUIRED;
        KeClearEvent(&g_probe.event);
        CurrentDispatch() = [](PDEVICE_OBJECT device, PIRP irp) {
            NTSTATUS status = ForwardWithProbe(device, irp, TRUE, TRUE, TRUE);
            if (status == STATUS_PENDING)
            {
                KeWaitForSingleObject(&g_probe.event, Executive, KernelMode, FALSE, nullptr);
                status = irp->IoStatus.Status;
            }
            irp->IoStatus.Status = STATUS_ACCESS_DENIED; // visible only if the owner's completion counts
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_ACCESS_DENIED;
        };
        auto result = winsim::SendPnp(filter, IRP_MN_START_DEVICE);
        EXPECT_EQ(STATUS_ACCESS_DENIED, result.dispatchStatus);
        EXPECT_EQ(STATUS_ACCESS_DENIED, result.status);
        EXPECT_FALSE(result.pendingReturned);
        EXPECT_EQ(1, g_probe.calls);
    }
}

TEST_F(IrpTest, ThreadedRequestIsFinishedAndFreedByTheIoManager)
{
    ForcePending(STATUS_SUCCESS, 4);
    CompletionRule rule;
    rule.mode = CompletionMode::Pending;
    rule.information = 4;
    rule.action = [](PDEVICE_OBJECT, PIRP irp, NTSTATUS status) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "pong", 4);
        return status;
    };
    bus->SetRule(IRP_MJ_DEVICE_CONTROL, rule);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    char input[4] = {'p', 'i', 'n', 'g'};
    char output[8] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), filter, input, sizeof input,
        output, sizeof output, FALSE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    EXPECT_EQ(STATUS_PENDING, IofCallDriver(filter, irp));
    EXPECT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, iosb.Status);
    EXPECT_EQ(4u, iosb.Information);
    EXPECT_EQ(0, std::memcmp(output, "pong", 4));
    EXPECT_EQ(0u, winsim::OutstandingIrps());

    PIRP internal =
        IoBuildDeviceIoControlRequest(0x220003, filter, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(nullptr, internal);
    EXPECT_EQ(IRP_MJ_INTERNAL_DEVICE_CONTROL, IoGetNextIrpStackLocation(internal)->MajorFunction);
    IoGetNextIrpStackLocation(internal)->Parameters.Others.Argument1 = &iosb;
    KeClearEvent(&event);
    IofCallDriver(filter, internal);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(static_cast<PVOID>(&iosb), bus->Received().back().argument1);
    EXPECT_EQ(0u, winsim::OutstandingIrps());
}

TEST_F(IrpTest, PendingReturnedWithoutMarkingIsCaught)
{
    // The classic fault: a completion routine that does not propagate the pending mark while the
    // dispatch routine returns the lower driver's STATUS_PENDING.
    Hold();
    CurrentDispatch() = [](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE,
            TRUE);
        return IofCallDriver(Lower(device), irp);
    };
    BugCheckTrap trap;
    auto flight = winsim::StartIrp(filter, Request(IRP_MJ_READ));
    try
    {
        bus->ReleaseHeld();
        FAIL() << "no bug check";
    }
    catch (const BugCheckError& error)
    {
        EXPECT_EQ(DRIVER_VERIFIER_IOMANAGER_VIOLATION, error.code());
        EXPECT_EQ(ULONG_PTR(winsim::PendingWithoutMark), error.info().parameters[0]);
    }
}

TEST_F(IrpTest, MarkedPendingButAnotherStatusReturnedIsCaught)
{
    CurrentDispatch() = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    BugCheckTrap trap;
    try
    {
        winsim::SendPnp(filter, IRP_MN_QUERY_CAPABILITIES);
        FAIL() << "no bug check";
    }
    catch (const BugCheckError& error)
    {
        EXPECT_EQ(DRIVER_VERIFIER_IOMANAGER_VIOLATION, error.code());
        EXPECT_EQ(ULONG_PTR(winsim::MarkedWithoutPending), error.info().parameters[0]);
    }
}

TEST_F(IrpTest, CompletingTwiceOrAfterFreeIsCaught)
{
    CurrentDispatch() = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    {
        // An IRP the test owns without a completion routine stays allocated after completion.
        BugCheckTrap trap;
        PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        EXPECT_THROW(IofCallDriver(filter, irp), BugCheckError);
        EXPECT_EQ(1u, trap.Count(MULTIPLE_IRP_COMPLETE_REQUESTS));
        IoFreeIrp(irp);
    }
    {
        // The sender frees its IRP in its completion routine: the second completion touches freed memory.
        BugCheckTrap trap;
        EXPECT_THROW(winsim::SendPnp(filter, IRP_MN_QUERY_CAPABILITIES), BugCheckError);
        EXPECT_EQ(1u, trap.Count(DRIVER_VERIFIER_IOMANAGER_VIOLATION));
    }
}

// A driver that holds a request with a cancel routine: IoCancelIrp calls it with the cancel spin lock
// held, and it completes the request as cancelled.
VOID CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

PIRP g_held = nullptr;

TEST_F(IrpTest, CancelRoutinesRunUnderTheCancelLockAndMustBeClearedBeforeCompletion)
{
    CurrentDispatch() = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelHeld);
        g_held = irp;
        return STATUS_PENDING;
    };
    auto held = winsim::StartIrp(filter, Request(IRP_MJ_READ));
    EXPECT_FALSE(held->Completed());
    EXPECT_TRUE(held->Cancel());
    EXPECT_EQ(held->Wait().status, STATUS_CANCELLED);
    EXPECT_FALSE(held->Cancel());

    // Completed by its holder with the routine still set: the cancel could still call it.
    auto forgotten = winsim::StartIrp(filter, Request(IRP_MJ_READ));
    {
        BugCheckTrap trap;
        g_held->IoStatus.Status = STATUS_SUCCESS;
        EXPECT_THROW(IofCompleteRequest(g_held, IO_NO_INCREMENT), BugCheckError);
        EXPECT_EQ(1u, trap.Count(CANCEL_STATE_IN_COMPLETED_IRP));
    }
    IoSetCancelRoutine(g_held, nullptr);
    g_held->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(g_held, IO_NO_INCREMENT);
    EXPECT_EQ(forgotten->Wait().status, STATUS_SUCCESS);

    // A cancel routine that keeps the cancel spin lock.
    CurrentDispatch() = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
        g_held = irp;
        return STATUS_PENDING;
    };
    auto stuck = winsim::StartIrp(filter, Request(IRP_MJ_READ));
    {
        BugCheckTrap trap;
        EXPECT_THROW(stuck->Cancel(), BugCheckError);
        EXPECT_EQ(1u, trap.Count(DRIVER_VERIFIER_IOMANAGER_VIOLATION));
    }
    g_held->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(g_held, IO_NO_INCREMENT);
    EXPECT_EQ(stuck->Wait().status, STATUS_CANCELLED);
}

TEST_F(IrpTest, TouchingAnIrpAfterPassingItDownWithoutACompletionRoutineIsCaught)
{
    Hold();
    CurrentDispatch() = [](PDEVICE_OBJECT device, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IofCallDriver(Lower(device), irp);
        IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length = 0; // the lower driver owns it now
        return status;
    };
    BugCheckTrap trap;
    EXPECT_THROW(winsim::StartIrp(filter, Request(IRP_MJ_READ)), BugCheckError);
    ASSERT_EQ(1u, trap.Recorded().size());
    EXPECT_EQ(ULONG_PTR(winsim::IrpTouchedAfterPassedDown), trap.Recorded()[0].parameters[0]);
}

TEST_F(IrpTest, TouchingAnIrpThatIsPendingBelowIsCaughtEvenWithACompletionRoutine)
{
    Hold();
    CurrentDispatch() = [](PDEVICE_OBJECT device, PIRP irp) {
        NTSTATUS status = ForwardWithProbe(device, irp, TRUE, TRUE, TRUE);
        IoMarkIrpPending(irp); // too late: the IRP lies with the lower driver
        return status;
    };
    BugCheckTrap trap;
    EXPECT_THROW(winsim::StartIrp(filter, Request(IRP_MJ_READ)), BugCheckError);
    EXPECT_EQ(1u, trap.Count(DRIVER_VERIFIER_IOMANAGER_VIOLATION));
}

TEST_F(IrpTest, RoutinesMustReturnAtTheirIrqlWithoutSpinLocks)
{
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    struct Case
    {
        const char* name;
        winsim::IrpRequest request;
        Dispatch dispatch;
        ULONG_PTR rule;
    };
    const winsim::IrpRequest atDispatch = Request(IRP_MJ_READ, DISPATCH_LEVEL);
    const Case cases[] = {
        {"dispatch raises", Request(IRP_MJ_READ),
         [](PDEVICE_OBJECT device, PIRP irp) {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             return SkipAndCall(device, irp);
         },
         winsim::IrqlNotRestored},
        {"dispatch keeps a lock", atDispatch,
         [](PDEVICE_OBJECT device, PIRP irp) {
             KeAcquireSpinLockAtDpcLevel(&lock);
             return SkipAndCall(device, irp);
         },
         winsim::SpinLockHeldOnReturn},
        {"completion routine raises", Request(IRP_MJ_READ),
         [](PDEVICE_OBJECT device, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoSetCompletionRoutine(
                 irp,
                 [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
                     KIRQL old;
                     KeRaiseIrql(DISPATCH_LEVEL, &old);
                     return STATUS_SUCCESS;
                 },
                 nullptr, TRUE, TRUE, TRUE);
             return IofCallDriver(Lower(device), irp);
         },
         winsim::IrqlNotRestored},
    };
    for (const Case& c : cases)
    {
        CurrentDispatch() = c.dispatch;
        BugCheckTrap trap;
        EXPECT_THROW(winsim::StartIrp(filter, c.request), BugCheckError) << c.name;
        ASSERT_FALSE(trap.Recorded().empty()) << c.name;
        EXPECT_EQ(c.rule, trap.Recorded()[0].parameters[0]) << c.name;
    }
}

TEST_F(IrpTest, CompletionAboveDispatchLevelWithPendingStatusOrWithoutStackLocationsIsCaught)
{
    CurrentDispatch() = [](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    {
        BugCheckTrap trap;
        EXPECT_THROW(winsim::StartIrp(filter, Request(IRP_MJ_READ)), BugCheckError);
        EXPECT_EQ(1u, trap.Count(IRQL_NOT_LESS_OR_EQUAL));
    }
    CurrentDispatch() = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_PENDING;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    };
    {
        BugCheckTrap trap;
        EXPECT_THROW(winsim::StartIrp(filter, Request(IRP_MJ_READ)), BugCheckError);
        ASSERT_EQ(1u, trap.Recorded().size());
        EXPECT_EQ(ULONG_PTR(winsim::IrpCompletedWithPendingStatus), trap.Recorded()[0].parameters[0]);
    }
    CurrentDispatch() = [](PDEVICE_OBJECT device, PIRP irp) {
        return ForwardWithProbe(device, irp, TRUE, TRUE, TRUE);
    };
    {
        BugCheckTrap trap;
        PIRP irp = IoAllocateIrp(1, FALSE); // one location short for a two-device stack
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        EXPECT_THROW(IofCallDriver(filter, irp), BugCheckError);
        EXPECT_EQ(1u, trap.Count(NO_MORE_IRP_STACK_LOCATIONS));
    }
}

TEST_F(IrpTest, FreeingAnIrpThatADriverHoldsIsCaught)
{
    Hold();
    PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_EQ(STATUS_PENDING, IofCallDriver(filter, irp));
    BugCheckTrap trap;
    EXPECT_THROW(IoFreeIrp(irp), BugCheckError);
    EXPECT_EQ(1u, trap.Count(DRIVER_VERIFIER_IOMANAGER_VIOLATION));
}

} // namespace
