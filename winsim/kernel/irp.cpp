// winsim: I/O request packets — allocation, IofCallDriver, IofCompleteRequest with the completion-routine
// unwinding of the I/O manager (InvokeOnSuccess/Error/Cancel, STATUS_MORE_PROCESSING_REQUIRED stops the
// unwinding, PendingReturned taken from each location and propagated where no routine is set), threaded
// IRPs built by IoBuildDeviceIoControlRequest/IoBuildSynchronousFsdRequest that the I/O manager finishes
// and frees itself, and the power manager's PoCallDriver.
//
// Checks, as the I/O verifier makes them:
// - calling or completing above DISPATCH_LEVEL; running out of stack locations;
// - a dispatch or completion routine that returns at another IRQL or with a spin lock held;
// - completing an IRP twice, completing with STATUS_PENDING, freeing an IRP that is in flight;
// - a dispatch routine that returns STATUS_PENDING without IoMarkIrpPending, or marks the IRP pending and
//   returns another status (judged once both the return and the unwinding of its location are known);
// - a driver touching an IRP (stack-location helpers, IoMarkIrpPending, IofCallDriver, IofCompleteRequest)
//   after it passed it down without a completion routine, after it completed it, while it lies with a
//   lower driver, or after the I/O manager freed it. Each thread keeps a stack of the IRPs whose dispatch
//   or completion routine it is running, which says who the toucher is;
// - completing an IRP that still has a cancel routine (CANCEL_STATE_IN_COMPLETED_IRP); a cancel routine
//   that returns holding a spin lock (the cancel spin lock it must release included) or at another IRQL.
// Cancellation is in irp_cancel.cpp.
#include "winsim/kernel/kernel_state.h"

#include <map>
#include <memory>
#include <mutex>

namespace winsim
{
namespace
{

constexpr ULONG kIrpTag = PoolTag("Irp ");
constexpr ULONG kIoBufferTag = PoolTag("IoBf");
// The system-wide cancel spin lock that IoCancelIrp holds when it calls a cancel routine.

enum class IrpPhase
{
    Idle,     // allocated, not sent
    InFlight, // with a driver
    Halted,   // unwinding stopped by STATUS_MORE_PROCESSING_REQUIRED: the routine's driver owns it again
    Completed // unwound to the top
};

struct LevelState
{
    int returnedPending = 0;
    int returnedOther = 0;
    bool unwound = false;
    bool marked = false;
};

struct IrpRecord
{
    IrpPhase phase = IrpPhase::Idle;
    int currentIndex = 0; // stack location the IRP is at (StackCount: above the top)
    std::vector<LevelState> levels;
    // Threaded requests: what the I/O manager does at the end.
    bool threaded = false;
    PVOID bufferedOutput = nullptr; // METHOD_BUFFERED / buffered read: copy SystemBuffer back here
    ULONG bufferedOutputLength = 0;
    bool freeSystemBuffer = false;
    bool freeMdl = false;
};

std::mutex g_irpLock;
std::map<PIRP, std::shared_ptr<IrpRecord>> g_irps;

void ResetIrps()
{
    std::map<PIRP, std::shared_ptr<IrpRecord>> irps;
    {
        std::lock_guard<std::mutex> lock(g_irpLock);
        irps.swap(g_irps);
    }
    // The pool reset frees the IRPs' memory itself.
}

detail::ResetHook g_reset(60, ResetIrps);

std::shared_ptr<IrpRecord> FindRecord(PIRP irp)
{
    auto it = g_irps.find(irp);
    return it == g_irps.end() ? nullptr : it->second;
}

detail::IrpFrame* InnermostFrame(PIRP irp)
{
    auto& frames = detail::CurrentThreadState().frames;
    for (auto it = frames.rbegin(); it != frames.rend(); ++it)
    {
        if (it->irp == irp)
        {
            return &*it;
        }
    }
    return nullptr;
}

// The ownership rule behind every touch of an IRP by driver code.
void CheckTouch(PIRP irp, const char* what)
{
    std::unique_lock<std::mutex> lock(g_irpLock);
    auto record = FindRecord(irp);
    if (!record)
    {
        lock.unlock();
        detail::IoViolationCheck(IoRule::FreedIrpUsed,
                                 std::string(what) + " on an IRP that is not allocated (freed?)",
                                 ULONG_PTR(irp));
    }
    const detail::IrpFrame* frame = InnermostFrame(irp);
    if (frame == nullptr)
    {
        return;
    }
    if (frame->released)
    {
        lock.unlock();
        detail::IoViolationCheck(IoRule::IrpTouchedAfterPassedDown,
                                 std::string(what) +
                                     " on an IRP this driver passed down without a completion "
                                     "routine or already completed",
                                 ULONG_PTR(irp));
    }
    if (frame->location != record->currentIndex)
    {
        lock.unlock();
        detail::IoViolationCheck(IoRule::IrpTouchedAfterPassedDown,
                                 std::string(what) + " on an IRP that is not at this driver's stack location",
                                 ULONG_PTR(irp), ULONG_PTR(record->currentIndex));
    }
}

// Both facts about a location are known: its dispatch routines' results and whether it was marked pending.
void JudgeLevel(PIRP irp, const LevelState& level, int index)
{
    if (level.returnedPending > 0 && !level.marked)
    {
        detail::IoViolationCheck(IoRule::PendingWithoutMark,
                                 "STATUS_PENDING returned without IoMarkIrpPending", ULONG_PTR(irp),
                                 ULONG_PTR(index));
    }
    if (level.returnedOther > 0 && level.marked)
    {
        detail::IoViolationCheck(IoRule::MarkedWithoutPending,
                                 "IoMarkIrpPending called but a status other than STATUS_PENDING returned",
                                 ULONG_PTR(irp), ULONG_PTR(index));
    }
}

// Saves and checks the processor state around a driver routine; pops the routine's IRP frame.
class RoutineCall
{
public:
    RoutineCall(PIRP irp, int location, PDEVICE_OBJECT device, const char* routine)
        : thread_(detail::CurrentThreadState()), irql_(thread_.irql), locks_(thread_.heldLocks.size()),
          scope_(device != nullptr ? device->DriverObject : thread_.currentDriver), routine_(routine)
    {
        thread_.frames.push_back(detail::IrpFrame{irp, CCHAR(location), false});
        depth_ = thread_.frames.size();
    }

    ~RoutineCall()
    {
        if (thread_.frames.size() >= depth_)
        {
            thread_.frames.resize(depth_ - 1);
        }
    }

    void CheckReturn()
    {
        if (thread_.irql != irql_)
        {
            detail::IoViolationCheck(IoRule::IrqlNotRestored,
                                     std::string(routine_) + " returned at a different IRQL", irql_,
                                     thread_.irql);
        }
        if (thread_.heldLocks.size() != locks_)
        {
            detail::IoViolationCheck(
                IoRule::SpinLockHeldOnReturn, std::string(routine_) + " returned holding a spin lock",
                ULONG_PTR(thread_.heldLocks.empty() ? nullptr : thread_.heldLocks.back()));
        }
    }

private:
    detail::ThreadState& thread_;
    KIRQL irql_;
    size_t locks_;
    detail::DriverScope scope_;
    const char* routine_;
    size_t depth_;
};

void ZeroStackLocation(PIO_STACK_LOCATION sp)
{
    sp->MinorFunction = 0;
    sp->Flags = 0;
    sp->Control = 0;
    sp->Parameters.Others.Argument1 = nullptr;
    sp->Parameters.Others.Argument2 = nullptr;
    sp->Parameters.Others.Argument3 = nullptr;
    sp->Parameters.Others.Argument4 = nullptr;
    sp->FileObject = nullptr;
}

void InitializeIrp(PIRP irp, USHORT size, CCHAR stackSize)
{
    RtlZeroMemory(irp, size);
    irp->Type = 6;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = CCHAR(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
}

PIRP AllocateIrp(CCHAR stackSize, std::shared_ptr<IrpRecord>* recordOut)
{
    if (stackSize < 1)
    {
        detail::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "IoAllocateIrp with no stack location", 0x1040);
    }
    const USHORT size = IoSizeOfIrp(stackSize);
    auto irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag));
    if (irp == nullptr)
    {
        return nullptr;
    }
    InitializeIrp(irp, size, stackSize);
    auto record = std::make_shared<IrpRecord>();
    record->currentIndex = stackSize;
    record->levels.resize(size_t(stackSize) + 1);
    {
        std::lock_guard<std::mutex> lock(g_irpLock);
        g_irps[irp] = record;
    }
    if (recordOut != nullptr)
    {
        *recordOut = record;
    }
    return irp;
}

// What the I/O manager does when a threaded request has been completed: copy buffered data back, report
// the status block, signal the event, release everything.
void FinishThreadedIrp(PIRP irp, const std::shared_ptr<IrpRecord>& record)
{
    if (record->bufferedOutput != nullptr && NT_SUCCESS(irp->IoStatus.Status))
    {
        ULONG_PTR bytes = irp->IoStatus.Information;
        if (bytes > record->bufferedOutputLength)
        {
            bytes = record->bufferedOutputLength;
        }
        std::memcpy(record->bufferedOutput, irp->AssociatedIrp.SystemBuffer, bytes);
    }
    if (irp->UserIosb != nullptr)
    {
        *irp->UserIosb = irp->IoStatus;
    }
    PKEVENT event = irp->UserEvent;
    if (record->freeSystemBuffer && irp->AssociatedIrp.SystemBuffer != nullptr)
    {
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kIoBufferTag);
    }
    if (record->freeMdl)
    {
        for (PMDL mdl = irp->MdlAddress; mdl != nullptr;)
        {
            PMDL next = mdl->Next;
            if (mdl->MdlFlags & MDL_PAGES_LOCKED)
            {
                MmUnlockPages(mdl);
            }
            IoFreeMdl(mdl);
            mdl = next;
        }
    }
    {
        std::lock_guard<std::mutex> lock(g_irpLock);
        g_irps.erase(irp);
    }
    ExFreePoolWithTag(irp, kIrpTag);
    if (event != nullptr)
    {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
}

} // namespace

size_t OutstandingIrps()
{
    std::lock_guard<std::mutex> lock(g_irpLock);
    return g_irps.size();
}

} // namespace winsim

using namespace winsim;

extern "C"
{

    VOID WinsimIrpTouch(PIRP Irp)
    {
        CheckTouch(Irp, "IRP stack-location access");
    }

    VOID WinsimIrpTouchNext(PIRP Irp)
    {
        CheckTouch(Irp, "next stack-location access");
        if (Irp->CurrentLocation <= 1)
        {
            detail::BugCheck(NO_MORE_IRP_STACK_LOCATIONS,
                             "the IRP has no stack location below the current one", ULONG_PTR(Irp));
        }
    }

    PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
    {
        UNREFERENCED_PARAMETER(ChargeQuota);
        return AllocateIrp(StackSize, nullptr);
    }

    VOID IoFreeIrp(PIRP Irp)
    {
        {
            std::unique_lock<std::mutex> lock(g_irpLock);
            auto record = FindRecord(Irp);
            if (!record)
            {
                lock.unlock();
                detail::IoViolationCheck(IoRule::FreedIrpUsed, "IoFreeIrp on an IRP that is not allocated",
                                         ULONG_PTR(Irp));
            }
            if (record->phase == IrpPhase::InFlight)
            {
                lock.unlock();
                detail::IoViolationCheck(IoRule::IrpFreedWhileInUse,
                                         "IoFreeIrp on an IRP that a driver still holds", ULONG_PTR(Irp));
            }
            g_irps.erase(Irp);
        }
        ExFreePoolWithTag(Irp, kIrpTag);
    }

    VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
    {
        std::lock_guard<std::mutex> lock(g_irpLock);
        auto record = FindRecord(Irp);
        if (!record || record->phase == IrpPhase::InFlight)
        {
            detail::IoViolationCheck(IoRule::IrpFreedWhileInUse,
                                     "IoReuseIrp on an IRP that is in flight or not allocated",
                                     ULONG_PTR(Irp));
        }
        const CCHAR stackSize = Irp->StackCount;
        InitializeIrp(Irp, Irp->Size, stackSize);
        Irp->IoStatus.Status = Iostatus;
        *record = IrpRecord{};
        record->currentIndex = stackSize;
        record->levels.resize(size_t(stackSize) + 1);
    }

    VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize)
    {
        InitializeIrp(Irp, PacketSize, StackSize);
    }

    PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                       ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                       BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                       PIO_STATUS_BLOCK IoStatusBlock)
    {
        if (KeGetCurrentIrql() > APC_LEVEL)
        {
            detail::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "IoBuildDeviceIoControlRequest above APC_LEVEL",
                             KeGetCurrentIrql());
        }
        std::shared_ptr<IrpRecord> record;
        PIRP irp = AllocateIrp(DeviceObject->StackSize, &record);
        if (irp == nullptr)
        {
            return nullptr;
        }
        PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation - 1;
        sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
        sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
        sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
        sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
        irp->UserIosb = IoStatusBlock;
        irp->UserEvent = Event;
        irp->Tail.Overlay.Thread = PsGetCurrentThread();
        irp->RequestorMode = KernelMode;
        record->threaded = true;
        const ULONG method = IoControlCode & 3;
        const ULONG bufferLength =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (method == METHOD_NEITHER)
        {
            sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
            irp->UserBuffer = OutputBuffer;
            return irp;
        }
        if (bufferLength != 0 && (method == METHOD_BUFFERED || InputBufferLength != 0))
        {
            const ULONG length = method == METHOD_BUFFERED ? bufferLength : InputBufferLength;
            irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPool, length, kIoBufferTag);
            if (irp->AssociatedIrp.SystemBuffer == nullptr)
            {
                IoFreeIrp(irp);
                return nullptr;
            }
            record->freeSystemBuffer = true;
            if (InputBuffer != nullptr && InputBufferLength != 0)
            {
                std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
            }
        }
        if (method == METHOD_BUFFERED)
        {
            record->bufferedOutput = OutputBuffer;
            record->bufferedOutputLength = OutputBufferLength;
        }
        else if (OutputBuffer != nullptr && OutputBufferLength != 0)
        {
            PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
            if (mdl == nullptr)
            {
                if (record->freeSystemBuffer)
                {
                    ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kIoBufferTag);
                }
                IoFreeIrp(irp);
                return nullptr;
            }
            MmProbeAndLockPages(mdl, KernelMode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
            record->freeMdl = true;
        }
        irp->UserBuffer = OutputBuffer;
        return irp;
    }

    PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                      ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                      PIO_STATUS_BLOCK IoStatusBlock)
    {
        if (KeGetCurrentIrql() > APC_LEVEL)
        {
            detail::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "IoBuildSynchronousFsdRequest above APC_LEVEL",
                             KeGetCurrentIrql());
        }
        std::shared_ptr<IrpRecord> record;
        PIRP irp = AllocateIrp(DeviceObject->StackSize, &record);
        if (irp == nullptr)
        {
            return nullptr;
        }
        PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation - 1;
        sp->MajorFunction = UCHAR(MajorFunction);
        irp->UserIosb = IoStatusBlock;
        irp->UserEvent = Event;
        irp->Tail.Overlay.Thread = PsGetCurrentThread();
        record->threaded = true;
        if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE)
        {
            sp->Parameters.Read.Length = Length;
            sp->Parameters.Read.ByteOffset.QuadPart =
                StartingOffset != nullptr ? StartingOffset->QuadPart : 0;
            irp->UserBuffer = Buffer;
            if (DeviceObject->Flags & DO_BUFFERED_IO)
            {
                irp->AssociatedIrp.SystemBuffer =
                    ExAllocatePoolWithTag(NonPagedPool, Length ? Length : 1, kIoBufferTag);
                if (irp->AssociatedIrp.SystemBuffer == nullptr)
                {
                    IoFreeIrp(irp);
                    return nullptr;
                }
                record->freeSystemBuffer = true;
                if (MajorFunction == IRP_MJ_WRITE)
                {
                    std::memcpy(irp->AssociatedIrp.SystemBuffer, Buffer, Length);
                }
                else
                {
                    record->bufferedOutput = Buffer;
                    record->bufferedOutputLength = Length;
                }
            }
            else if (DeviceObject->Flags & DO_DIRECT_IO)
            {
                PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, irp);
                if (mdl == nullptr)
                {
                    IoFreeIrp(irp);
                    return nullptr;
                }
                MmProbeAndLockPages(mdl, KernelMode,
                                    MajorFunction == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
                record->freeMdl = true;
            }
        }
        return irp;
    }

    NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
    {
        auto& thread = detail::CurrentThreadState();
        if (thread.irql > DISPATCH_LEVEL)
        {
            detail::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "IofCallDriver above DISPATCH_LEVEL", thread.irql);
        }
        CheckTouch(Irp, "IofCallDriver");
        std::shared_ptr<IrpRecord> record;
        const int index = Irp->CurrentLocation - 2; // the location the callee will use
        if (index < 0)
        {
            detail::BugCheck(NO_MORE_IRP_STACK_LOCATIONS, "IofCallDriver with no stack location left",
                             ULONG_PTR(Irp));
        }
        {
            std::lock_guard<std::mutex> lock(g_irpLock);
            record = FindRecord(Irp);
            detail::IrpFrame* caller = InnermostFrame(Irp);
            if (caller != nullptr)
            {
                // Skipped location (the callee reuses the caller's) or no routine in the next one: the caller
                // gives up the IRP until it comes back, if ever.
                const PIO_STACK_LOCATION next = Irp->Tail.Overlay.CurrentStackLocation - 1;
                if (index == caller->location || next->CompletionRoutine == nullptr ||
                    (next->Control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL)) == 0)
                {
                    caller->released = true;
                }
            }
            record->phase = IrpPhase::InFlight;
            record->currentIndex = index;
            record->levels[size_t(index)] = LevelState{};
        }
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        sp->DeviceObject = DeviceObject;
        const UCHAR major = sp->MajorFunction;
        if (major > IRP_MJ_MAXIMUM_FUNCTION)
        {
            detail::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "IRP with an invalid major function", 0x1041,
                             major);
        }
        NTSTATUS status;
        {
            RoutineCall call(Irp, index, DeviceObject, "dispatch routine");
            status = DeviceObject->DriverObject->MajorFunction[major](DeviceObject, Irp);
            call.CheckReturn();
        }
        std::unique_lock<std::mutex> lock(g_irpLock);
        LevelState& level = record->levels[size_t(index)];
        if (status == STATUS_PENDING)
        {
            level.returnedPending++;
        }
        else
        {
            level.returnedOther++;
        }
        if (level.unwound)
        {
            const LevelState copy = level;
            lock.unlock();
            JudgeLevel(Irp, copy, index);
        }
        return status;
    }

    VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
    {
        UNREFERENCED_PARAMETER(PriorityBoost);
        auto& thread = detail::CurrentThreadState();
        if (thread.irql > DISPATCH_LEVEL)
        {
            detail::BugCheck(IRQL_NOT_LESS_OR_EQUAL, "IofCompleteRequest above DISPATCH_LEVEL", thread.irql);
        }
        std::shared_ptr<IrpRecord> record;
        {
            std::unique_lock<std::mutex> lock(g_irpLock);
            record = FindRecord(Irp);
            if (record && record->phase == IrpPhase::Completed)
            {
                lock.unlock();
                detail::BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "IRP completed twice", ULONG_PTR(Irp));
            }
        }
        CheckTouch(Irp, "IofCompleteRequest");
        // Read atomically: IoCancelIrp may run on the IRP at the same time, which is legal.
        const PDRIVER_CANCEL cancelRoutine = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST);
        if (cancelRoutine != nullptr)
        {
            detail::BugCheck(CANCEL_STATE_IN_COMPLETED_IRP, "IRP completed with its cancel routine still set",
                             ULONG_PTR(Irp), ULONG_PTR(cancelRoutine));
        }
        if (Irp->IoStatus.Status == STATUS_PENDING)
        {
            detail::IoViolationCheck(IoRule::IrpCompletedWithPendingStatus,
                                     "IRP completed with STATUS_PENDING", ULONG_PTR(Irp));
        }
        {
            std::lock_guard<std::mutex> lock(g_irpLock);
            if (detail::IrpFrame* frame = InnermostFrame(Irp))
            {
                frame->released = true;
            }
            record->phase = IrpPhase::InFlight;
        }
        const int stackCount = Irp->StackCount;
        for (int index = Irp->CurrentLocation - 1; index < stackCount; ++index)
        {
            PIO_STACK_LOCATION sp = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + index;
            Irp->CurrentLocation++;
            Irp->Tail.Overlay.CurrentStackLocation++;
            Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
            LevelState judged;
            {
                std::lock_guard<std::mutex> lock(g_irpLock);
                LevelState& level = record->levels[size_t(index)];
                level.unwound = true;
                level.marked = Irp->PendingReturned != FALSE;
                judged = level;
                record->currentIndex = index + 1;
            }
            JudgeLevel(Irp, judged, index);
            const NTSTATUS status = Irp->IoStatus.Status;
            const bool invoke =
                (NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_SUCCESS)) ||
                (!NT_SUCCESS(status) && (sp->Control & SL_INVOKE_ON_ERROR)) ||
                (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (sp->Control & SL_INVOKE_ON_CANCEL));
            if (invoke && sp->CompletionRoutine != nullptr)
            {
                PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
                PVOID context = sp->Context;
                ZeroStackLocation(sp);
                PDEVICE_OBJECT device = index + 1 < stackCount ? (sp + 1)->DeviceObject : nullptr;
                NTSTATUS result;
                {
                    // While its routine runs the IRP belongs to that driver: it may even free it (and must
                    // then stop the unwinding).
                    std::lock_guard<std::mutex> lock(g_irpLock);
                    record->phase = IrpPhase::Halted;
                }
                {
                    RoutineCall call(Irp, index + 1, device, "completion routine");
                    result = routine(device, Irp, context);
                    call.CheckReturn();
                }
                if (result == STATUS_MORE_PROCESSING_REQUIRED)
                {
                    return;
                }
                {
                    std::unique_lock<std::mutex> lock(g_irpLock);
                    if (g_irps.count(Irp) == 0)
                    {
                        lock.unlock();
                        detail::IoViolationCheck(
                            IoRule::IrpFreedWhileInUse,
                            "completion routine freed the IRP but let the completion go on", ULONG_PTR(Irp));
                    }
                    record->phase = IrpPhase::InFlight;
                }
            }
            else
            {
                if (Irp->PendingReturned && index + 1 < stackCount)
                {
                    (sp + 1)->Control |= SL_PENDING_RETURNED;
                }
                ZeroStackLocation(sp);
            }
        }
        {
            std::lock_guard<std::mutex> lock(g_irpLock);
            record->phase = IrpPhase::Completed;
            record->currentIndex = stackCount;
        }
        if (record->threaded)
        {
            FinishThreadedIrp(Irp, record);
        }
    }

    VOID IoMarkIrpPending(PIRP Irp)
    {
        CheckTouch(Irp, "IoMarkIrpPending");
        Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
    }

    VOID PoStartNextPowerIrp(PIRP Irp)
    {
        CheckTouch(Irp, "PoStartNextPowerIrp");
        if (Irp->Tail.Overlay.CurrentStackLocation->MajorFunction != IRP_MJ_POWER)
        {
            detail::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                             "PoStartNextPowerIrp on an IRP that is not a power IRP", 0x1042, ULONG_PTR(Irp));
        }
    }

    NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
    {
        if ((Irp->Tail.Overlay.CurrentStackLocation - 1)->MajorFunction != IRP_MJ_POWER)
        {
            detail::BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                             "PoCallDriver with an IRP that is not a power IRP", 0x1043, ULONG_PTR(Irp));
        }
        return IofCallDriver(DeviceObject, Irp);
    }

    POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
    {
        UNREFERENCED_PARAMETER(DeviceObject);
        UNREFERENCED_PARAMETER(Type);
        return State;
    }

} // extern "C"
