// winsim: the test's side of an I/O request. An IRP is allocated for the target's stack, its first
// location filled in, and sent with IofCallDriver at the chosen IRQL; a completion routine in the
// sender's location records the result and stops the unwinding (STATUS_MORE_PROCESSING_REQUIRED), as any
// driver that allocates its own IRPs does, and then frees the IRP.
#include "winsim/kernel/kernel_state.h"

#include <condition_variable>
#include <map>
#include <mutex>

namespace winsim
{
namespace
{

class Flight : public IrpInFlight
{
public:
    bool Completed() const override
    {
        std::lock_guard<std::mutex> lock(lock_);
        return completed_;
    }

    IrpResult Wait(std::chrono::milliseconds timeout) override
    {
        std::unique_lock<std::mutex> lock(lock_);
        if (!changed_.wait_for(lock, timeout, [this] { return completed_ && dispatched_; }))
        {
            throw std::runtime_error("winsim: IRP not completed in time");
        }
        return result_;
    }

    bool Cancel() override;

    PIRP irp = nullptr;

    void Dispatched(NTSTATUS status)
    {
        {
            std::lock_guard<std::mutex> lock(lock_);
            result_.dispatchStatus = status;
            dispatched_ = true;
        }
        changed_.notify_all();
    }

    void Complete(NTSTATUS status, ULONG_PTR information, bool pendingReturned)
    {
        {
            std::lock_guard<std::mutex> lock(lock_);
            result_.status = status;
            result_.information = information;
            result_.pendingReturned = pendingReturned;
            completed_ = true;
        }
        changed_.notify_all();
    }

private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool completed_ = false;
    bool dispatched_ = false;
    IrpResult result_;
};

// Flights whose IRP has not come back yet; a reset drops those a failed test left behind.
// Recursive: a cancel routine may complete the IRP on the thread that cancels it, under this lock.
std::recursive_mutex g_flightLock;
std::map<Flight*, std::shared_ptr<Flight>> g_flights;

detail::ResetHook g_reset(20, [] {
    std::lock_guard<std::recursive_mutex> lock(g_flightLock);
    g_flights.clear();
});

// While the flight is listed its IRP has not been freed; holding the lock keeps it so during the cancel.
bool Flight::Cancel()
{
    std::lock_guard<std::recursive_mutex> lock(g_flightLock);
    if (g_flights.find(this) == g_flights.end())
    {
        return false;
    }
    return IoCancelIrp(irp) != FALSE;
}

// The sender's completion routine: the IRP is ours again; record, free, stop the unwinding.
NTSTATUS SenderCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    std::shared_ptr<Flight> flight;
    {
        std::lock_guard<std::recursive_mutex> lock(g_flightLock);
        auto it = g_flights.find(static_cast<Flight*>(Context));
        flight = it->second;
        g_flights.erase(it);
    }
    const NTSTATUS status = Irp->IoStatus.Status;
    const ULONG_PTR information = Irp->IoStatus.Information;
    const bool pendingReturned = Irp->PendingReturned != FALSE;
    // Freed before the waiter wakes, so that a test finds no IRP outstanding once it has the result.
    IoFreeIrp(Irp);
    flight->Complete(status, information, pendingReturned);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

std::shared_ptr<IrpInFlight> StartIrp(PDEVICE_OBJECT device, const IrpRequest& request)
{
    auto flight = std::make_shared<Flight>();
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr)
    {
        throw std::runtime_error("winsim: IoAllocateIrp failed in the IRP sender");
    }
    irp->IoStatus.Status = request.initialStatus;
    irp->IoStatus.Information = request.initialInformation;
    irp->AssociatedIrp.SystemBuffer = request.systemBuffer;
    irp->UserBuffer = request.userBuffer;
    irp->MdlAddress = request.mdl;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    flight->irp = irp;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = request.major;
    sp->MinorFunction = request.minor;
    if (request.setup)
    {
        request.setup(sp);
    }
    {
        std::lock_guard<std::recursive_mutex> lock(g_flightLock);
        g_flights[flight.get()] = flight;
    }
    IoSetCompletionRoutine(irp, SenderCompletion, flight.get(), TRUE, TRUE, TRUE);
    KIRQL old;
    KeRaiseIrql(request.irql, &old);
    const NTSTATUS status = IofCallDriver(device, irp);
    KeLowerIrql(old);
    flight->Dispatched(status);
    return flight;
}

IrpResult SendIrp(PDEVICE_OBJECT device, const IrpRequest& request, std::chrono::milliseconds timeout)
{
    return StartIrp(device, request)->Wait(timeout);
}

IrpResult SendPnp(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    IrpRequest request;
    request.major = IRP_MJ_PNP;
    request.minor = minor;
    request.setup = setup;
    return SendIrp(device, request);
}

namespace
{

IrpResult SendTransfer(PDEVICE_OBJECT device, UCHAR major, PVOID buffer, ULONG length, LONGLONG byteOffset)
{
    IrpRequest request;
    request.major = major;
    request.initialStatus = STATUS_SUCCESS;
    request.userBuffer = buffer;
    PMDL mdl = nullptr;
    if (buffer != nullptr && length != 0)
    {
        mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
        if (mdl == nullptr)
        {
            throw std::runtime_error("winsim: IoAllocateMdl failed in the IRP sender");
        }
        MmProbeAndLockPages(mdl, KernelMode, major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
    }
    request.mdl = mdl;
    request.setup = [length, byteOffset](PIO_STACK_LOCATION sp) {
        sp->Parameters.Read.Length = length;
        sp->Parameters.Read.ByteOffset.QuadPart = byteOffset;
    };
    IrpResult result = SendIrp(device, request);
    if (mdl != nullptr)
    {
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    return result;
}

} // namespace

IrpResult SendRead(PDEVICE_OBJECT device, PVOID buffer, ULONG length, LONGLONG byteOffset)
{
    return SendTransfer(device, IRP_MJ_READ, buffer, length, byteOffset);
}

IrpResult SendWrite(PDEVICE_OBJECT device, PVOID buffer, ULONG length, LONGLONG byteOffset)
{
    return SendTransfer(device, IRP_MJ_WRITE, buffer, length, byteOffset);
}

IrpResult SendInternalDeviceControl(PDEVICE_OBJECT device, ULONG ioControlCode, PVOID argument1, KIRQL irql)
{
    IrpRequest request;
    request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    request.initialStatus = STATUS_SUCCESS;
    request.irql = irql;
    request.setup = [ioControlCode, argument1](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
        sp->Parameters.Others.Argument1 = argument1;
    };
    return SendIrp(device, request);
}

} // namespace winsim
