// winsim: the test-facing side of the kernel simulation. Tests and kavlab use it to load drivers, build
// device stacks on a simple bus, send IRPs, run work at DISPATCH_LEVEL, inject pool and mapping failures,
// choose the simulated Windows version and catch bug checks. Every routine here is thread-safe, and
// ResetKernel() returns the whole simulation to its initial state between tests.
#pragma once

#include <ntddk.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace winsim
{

// ---- Bug checks ------------------------------------------------------------------------------------
// What KeBugCheckEx reported. Without a BugCheckTrap a bug check prints this and aborts the process.
struct BugCheckInfo
{
    ULONG code = 0;
    ULONG_PTR parameters[4] = {};
    std::string description; // which rule was broken, in the simulation's words
};

class BugCheckError : public std::runtime_error
{
public:
    explicit BugCheckError(const BugCheckInfo& info);
    ULONG code() const { return info_.code; }
    const BugCheckInfo& info() const { return info_; }

private:
    BugCheckInfo info_;
};

// Bug checks DRIVER_VERIFIER_IOMANAGER_VIOLATION (0xC9) raised by the simulation carry one of these as
// their first parameter, naming the I/O rule that was broken.
enum IoRule : ULONG_PTR
{
    IrpTouchedAfterPassedDown = 0x101, // stack-location helper, mark, call or completion by a non-owner
    PendingWithoutMark = 0x102,        // STATUS_PENDING returned, IoMarkIrpPending not called
    MarkedWithoutPending = 0x103,      // IoMarkIrpPending called, another status returned
    IrpCompletedWithPendingStatus = 0x104,
    IrqlNotRestored = 0x105,      // dispatch, completion routine, DPC or driver routine changed the IRQL
    SpinLockHeldOnReturn = 0x106, // ... or returned holding a spin lock
    DeviceDeletedWhileAttached = 0x107,
    RemoveLockImbalance = 0x108, // release without acquire, delete while held, uninitialised lock
    DeviceStillInitializing = 0x109,
    FreedIrpUsed = 0x10A,
    IrpFreedWhileInUse = 0x10B,
    NotAPhysicalDevice = 0x10C,
    InvalidDispatcherObject = 0x10D, // also an unbounded wait that never ends (deadlock watchdog)
    DriverUnloadLeak = 0x10E,        // driver unloaded with device objects left
};

// While a trap lives, a bug check throws BugCheckError on the thread that raised it (system threads and
// the DPC thread catch it at their entry and carry on) and is recorded here. Destroying the trap lowers
// the calling thread back to PASSIVE_LEVEL and forgets the spin locks it held, so a test can go on.
class BugCheckTrap
{
public:
    BugCheckTrap();
    ~BugCheckTrap();
    BugCheckTrap(const BugCheckTrap&) = delete;
    BugCheckTrap& operator=(const BugCheckTrap&) = delete;

    std::vector<BugCheckInfo> Recorded() const;
    size_t Count(ULONG code) const; // how many bug checks with this code were raised
    bool Fired() const;             // any bug check at all
};

// ---- Whole-kernel state ----------------------------------------------------------------------------
// Frees every object, block, handle and record of the simulation and restores every knob to its default.
// Waits for system threads that already ended; threads still running are a test defect and abort.
void ResetKernel();

// RAII form for test fixtures: resets on construction and on destruction.
class ScopedKernel
{
public:
    ScopedKernel() { ResetKernel(); }
    ~ScopedKernel() { ResetKernel(); }
};

// ---- Drivers ---------------------------------------------------------------------------------------
using DriverEntryRoutine = std::function<NTSTATUS(PDRIVER_OBJECT, PUNICODE_STRING)>;

// Creates the driver object (\Driver\<name>) and calls its entry; null when the entry fails (the object
// is then deleted again, as the I/O manager does).
PDRIVER_OBJECT LoadDriver(const std::u16string& name, const DriverEntryRoutine& entry);
// Calls DriverUnload and deletes the driver object. Bug checks when the driver still has device objects,
// pool blocks it allocated, or system threads that have not ended.
void UnloadDriver(PDRIVER_OBJECT driver);
// Makes the next IoAttachDeviceToDeviceStack return null, as it does when the target stack is being torn
// down; the flag clears itself after one use.
void FailNextAttach();
// Calls the driver's AddDevice for a physical device object as the PnP manager does, then checks that
// every device the driver created meanwhile has DO_DEVICE_INITIALIZING cleared.
NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

// ---- Device properties (the PnP manager's store per physical device object) -------------------------
void SetDeviceProperty(PDEVICE_OBJECT physicalDevice, DEVICE_REGISTRY_PROPERTY property, const void* data,
                       ULONG size);
// Stores a string property with its terminating null, as the registry holds a REG_SZ.
void SetDevicePropertyString(PDEVICE_OBJECT physicalDevice, DEVICE_REGISTRY_PROPERTY property,
                             const std::u16string& value);
void RemoveDeviceProperty(PDEVICE_OBJECT physicalDevice, DEVICE_REGISTRY_PROPERTY property);

// ---- The hardware keys of devices (registry.cpp; the keys themselves: winsim/registry) ----------------
// The device node a physical device object stands for: IoOpenDeviceRegistryKey opens the "Device
// Parameters" key of this instance path, which outlives the device object.
void SetDeviceInstancePath(PDEVICE_OBJECT physicalDevice, const std::u16string& instancePath);
void ForgetDeviceInstancePath(PDEVICE_OBJECT physicalDevice);
// Every n-th ZwSetValueKey from now fails with STATUS_INSUFFICIENT_RESOURCES and changes nothing (0: off).
void FailRegistryWritesEvery(ULONG n);
size_t FailedRegistryWrites();
// How often drivers opened a hardware key (IoOpenDeviceRegistryKey) since the kernel was reset: a driver
// that keeps opening keys with nothing to write costs the PC registry work on every round.
size_t DeviceKeyOpens();

// ---- A simple bus driver whose PDOs act as a configurable lower driver ------------------------------
enum class CompletionMode
{
    Inline,  // complete in the dispatch routine and return the status
    Pending, // mark pending, return STATUS_PENDING, complete later on the DPC thread at DISPATCH_LEVEL
    Hold     // mark pending, return STATUS_PENDING, complete only when the test calls ReleaseHeld()
};

struct CompletionRule
{
    CompletionMode mode = CompletionMode::Inline;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    // Runs before the IRP is completed (on the completing thread); may fill buffers, set Information or
    // change the status: the value it returns is the completion status.
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP, NTSTATUS)> action;
    std::chrono::microseconds delay{0}; // Pending mode: how long the DPC waits before completing
};

struct ReceivedIrp
{
    PDEVICE_OBJECT device = nullptr;
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;   // device controls
    PVOID argument1 = nullptr; // Parameters.Others.Argument1 (the URB of an internal control)
    ULONG length = 0;          // read and write
    LONGLONG byteOffset = 0;   // read and write
    KIRQL irql = PASSIVE_LEVEL;
};

class SimpleBus
{
public:
    explicit SimpleBus(const std::u16string& driverName = u"WinsimBus");
    ~SimpleBus(); // deletes the remaining PDOs and unloads the bus driver
    SimpleBus(const SimpleBus&) = delete;
    SimpleBus& operator=(const SimpleBus&) = delete;

    PDRIVER_OBJECT Driver() const;
    // A physical device object with DevicePropertyEnumeratorName set (when not empty).
    PDEVICE_OBJECT CreatePdo(const std::u16string& enumeratorName, DEVICE_TYPE type = FILE_DEVICE_UNKNOWN,
                             ULONG characteristics = 0);
    void DeletePdo(PDEVICE_OBJECT pdo);

    // Rules are looked up in this order: the queue of one-shot rules, the rule of the major function,
    // the default rule (Inline, STATUS_SUCCESS, except PnP minors the bus does not handle, which keep
    // their status, and IRP_MN_QUERY_DEVICE_RELATIONS, which answers with the configured relations).
    void SetDefaultRule(const CompletionRule& rule);
    void SetRule(UCHAR major, const CompletionRule& rule);
    void ClearRule(UCHAR major);
    void QueueRule(const CompletionRule& rule); // for the next IRP only, whatever its major function
    // The bus relations that IRP_MN_QUERY_DEVICE_RELATIONS/BusRelations returns for this PDO (a fresh
    // DEVICE_RELATIONS from paged pool, which the sender frees); no call: the IRP keeps its status.
    void SetBusRelations(PDEVICE_OBJECT pdo, const std::vector<PDEVICE_OBJECT>& children);

    std::vector<ReceivedIrp> Received() const;
    void ClearReceived();
    size_t HeldCount() const;
    // Completes every IRP held by a Hold rule, in arrival order, with its rule's status (or the given one).
    void ReleaseHeld();
    void ReleaseHeld(NTSTATUS status);

    struct State; // the bus's records, shared with its dispatch routine

private:
    std::shared_ptr<State> state_;
};

// ---- Sending IRPs ----------------------------------------------------------------------------------
struct IrpRequest
{
    UCHAR major = IRP_MJ_PNP;
    UCHAR minor = 0;
    NTSTATUS initialStatus = STATUS_NOT_SUPPORTED; // what the sender puts in IoStatus (PnP convention)
    ULONG_PTR initialInformation = 0;
    std::function<void(PIO_STACK_LOCATION)> setup; // fills the Parameters of the first stack location
    PVOID systemBuffer = nullptr;
    PVOID userBuffer = nullptr;
    PMDL mdl = nullptr;
    KIRQL irql = PASSIVE_LEVEL; // IRQL at which IofCallDriver is made
};

struct IrpResult
{
    NTSTATUS dispatchStatus = 0; // returned by IofCallDriver
    NTSTATUS status = 0;         // IoStatus.Status at completion
    ULONG_PTR information = 0;   // IoStatus.Information at completion
    bool pendingReturned = false;
};

// An IRP on its way; Wait() throws std::runtime_error when it is not completed in time.
class IrpInFlight
{
public:
    virtual ~IrpInFlight() = default;
    virtual bool Completed() const = 0;
    virtual IrpResult Wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) = 0;
    // IoCancelIrp on the IRP if it has not come back yet, as its sender may do. True: a cancel routine ran.
    virtual bool Cancel() = 0;
};

// Allocates an IRP for the stack of `device`, sets up its first location, sends it with IofCallDriver
// and (SendIrp) waits for its completion; the IRP is freed by the helper.
std::shared_ptr<IrpInFlight> StartIrp(PDEVICE_OBJECT device, const IrpRequest& request);
IrpResult SendIrp(PDEVICE_OBJECT device, const IrpRequest& request,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
IrpResult SendPnp(PDEVICE_OBJECT device, UCHAR minor,
                  const std::function<void(PIO_STACK_LOCATION)>& setup = {});
IrpResult SendRead(PDEVICE_OBJECT device, PVOID buffer, ULONG length, LONGLONG byteOffset);
IrpResult SendWrite(PDEVICE_OBJECT device, PVOID buffer, ULONG length, LONGLONG byteOffset);
IrpResult SendInternalDeviceControl(PDEVICE_OBJECT device, ULONG ioControlCode, PVOID argument1,
                                    KIRQL irql = PASSIVE_LEVEL);
// A DEVICE_RELATIONS list in paged pool, as a bus driver returns it (the receiver frees it with ExFreePool).
PDEVICE_RELATIONS AllocateDeviceRelations(const std::vector<PDEVICE_OBJECT>& objects);

// ---- DISPATCH_LEVEL work ---------------------------------------------------------------------------
// Runs `work` on the DPC thread at DISPATCH_LEVEL, in queue order, like a DPC.
void QueueDpc(std::function<void()> work, std::chrono::microseconds delay = std::chrono::microseconds(0));
// Waits until every queued DPC has run.
void FlushDpcs();

// A thread's process and thread id, as PsGetCurrentProcessId/ThreadId report them.
struct ThreadIdentity
{
    HANDLE processId;
    HANDLE threadId;
};
// A DPC runs on whatever thread the processor interrupted. With identities given, each DPC reports one of
// them, drawn in a sequence fixed by `seed`; with none (the default, and after ResetKernel) every DPC
// runs with the DPC thread's own small ids.
void SetDpcInterruptedThreads(const std::vector<ThreadIdentity>& identities, uint64_t seed);
// Runs `work` on the calling thread raised to DISPATCH_LEVEL.
void RunAtDispatch(const std::function<void()>& work);

// ---- Pool --------------------------------------------------------------------------------------------
constexpr ULONG PoolTag(const char (&tag)[5])
{
    return ULONG(UCHAR(tag[0])) | ULONG(UCHAR(tag[1])) << 8 | ULONG(UCHAR(tag[2])) << 16 |
           ULONG(UCHAR(tag[3])) << 24;
}

struct PoolTagStats
{
    size_t outstandingBlocks = 0;
    size_t outstandingBytes = 0;
    size_t allocations = 0; // successful allocations since the reset
    size_t frees = 0;
    size_t executableAllocations = 0; // of non-paged pool that may hold code (not the Nx variant)
};

PoolTagStats PoolStats(ULONG tag);
// Whether a handle was created with OBJ_KERNEL_HANDLE (only the kernel can use it), or in the table of the
// process the caller happened to run in.
bool IsKernelHandle(HANDLE handle);
size_t PoolOutstandingBlocks(); // all tags
// Blocks allocated while the driver's code ran (entry, AddDevice, unload, dispatch and completion
// routines, its system threads; not work queued with QueueDpc) and not yet freed: what a removal or an unload
// must have given back. Device objects count too until they are deleted and unreferenced.
size_t PoolBlocksOwnedBy(PDRIVER_OBJECT driver);
size_t PoolAllocationAttempts(); // every call to an allocation routine since the reset (for fail-at-N loops)
// Failure injection: only allocations of `tag` count and fail when a tag is set (0: every allocation).
void SetPoolFailureTag(ULONG tag);
// ... and only allocations of exactly `bytes` when a size is set (0: any size), so that one kind of block
// of a driver, such as its copy of a relations list, fails while its other blocks of the tag do not.
void SetPoolFailureSize(SIZE_T bytes);
void FailEveryNthAllocation(ULONG n); // 0 turns it off
void FailAllocationAt(ULONG n);       // the n-th counted allocation from now fails (1: the next); 0 off
size_t InjectedPoolFailures();        // how many allocations the knobs above have failed
// Placement: the next block starts `offsetInPage` bytes after a 4096 boundary (a multiple of 16).
// Without it blocks are placed at varying offsets, page-aligned now and then.
void SetNextAllocationOffset(ULONG offsetInPage);
// Special pool, as Driver Verifier's, for the blocks of `tag` from now on (0: off): each ends at the end of
// its page (within 15 bytes) and an inaccessible page follows, so an access past its end faults at once.
void SetSpecialPoolTag(ULONG tag);

// ---- MDLs --------------------------------------------------------------------------------------------
void FailMdlMapping(bool fail); // MmMapLockedPagesSpecifyCache returns null while set

// ---- Versions ----------------------------------------------------------------------------------------
void SetOsVersion(ULONG major, ULONG minor, ULONG build = 7601, ULONG servicePack = 0);
// Whether MmGetSystemRoutineAddress finds RtlIsNtDdiVersionAvailable (it does by default).
void ExportRtlIsNtDdiVersionAvailable(bool exported);

// ---- Time ------------------------------------------------------------------------------------------
// The simulated PC's clocks (interrupt time, system time) jump forward by `by`, and every timed wait and
// delay whose end the jump passes ends at once, as if the machine had spent that long idle. For time a
// harness would otherwise wait out on the host's clock, such as a device that stays silent until the
// function driver's time-out. The clocks never go back, also not at ResetKernel.
void AdvanceClock(std::chrono::nanoseconds by);

// ---- Threads, handles, identities --------------------------------------------------------------------
size_t OpenHandleCount();
size_t RunningSystemThreads();
// Gives the calling thread the process and thread ids that PsGetCurrentProcessId/ThreadId report.
class ScopedThreadIdentity
{
public:
    ScopedThreadIdentity(HANDLE processId, HANDLE threadId);
    ~ScopedThreadIdentity();

private:
    HANDLE oldProcess_;
    HANDLE oldThread_;
};

// ---- Verifier options ----------------------------------------------------------------------------------
// Nested spin locks are reported unless allowed (the product never nests them).
void AllowNestedSpinLocks(bool allow);
size_t SpinLocksHeldByCurrentThread();
size_t OutstandingIrps(); // IRPs allocated and not yet freed

} // namespace winsim
