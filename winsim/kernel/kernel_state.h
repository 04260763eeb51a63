// winsim: private state shared by the files of the kernel simulation: the per-thread processor state
// (IRQL, spin locks held, IRPs the thread is working on, the driver whose code runs), the bug-check
// helper with a description, and the reset hooks each part registers so ResetKernel() reaches all.
#pragma once

#include "winsim/kernel/winsim_kernel.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace winsim
{
namespace detail
{

struct SimThread; // a thread object (threads.cpp)

// An IRP the thread is dispatching or completing at a stack location; `released` is set once the code
// running in this frame gave the IRP away (passed it down without a completion routine, or completed it).
struct IrpFrame
{
    PIRP irp;
    CCHAR location;
    bool released;
};

struct ThreadState
{
    KIRQL irql = PASSIVE_LEVEL;
    std::vector<PKSPIN_LOCK> heldLocks;
    std::vector<IrpFrame> frames;
    PDRIVER_OBJECT currentDriver = nullptr; // the driver whose code runs (pool attribution)
    SimThread* thread = nullptr;            // own thread object, created on first need
    HANDLE processId = nullptr;             // identity overrides (ScopedThreadIdentity)
    HANDLE threadId = nullptr;
};

ThreadState& CurrentThreadState();

// Raises the bug check with a description of the broken rule.
[[noreturn]] void BugCheck(ULONG code, const std::string& description, ULONG_PTR p1 = 0, ULONG_PTR p2 = 0,
                           ULONG_PTR p3 = 0, ULONG_PTR p4 = 0);
// The verifier's I/O manager violations share one code; the first parameter (an IoRule) says which rule.
using IoViolation = IoRule;
[[noreturn]] void IoViolationCheck(IoViolation rule, const std::string& description, ULONG_PTR p2 = 0,
                                   ULONG_PTR p3 = 0);

// Registers a routine that ResetKernel() runs; `order` sorts them (lower first).
struct ResetHook
{
    ResetHook(int order, std::function<void()> hook);
};

// Scoped attribution of the running code to a driver (pool ownership, thread ownership).
class DriverScope
{
public:
    explicit DriverScope(PDRIVER_OBJECT driver);
    ~DriverScope();

private:
    PDRIVER_OBJECT previous_;
};

// Incremented by every ResetKernel(): helpers that outlive a reset must not touch freed objects.
uint64_t KernelGeneration();

// Spin-lock ownership token of the calling thread (never zero).
ULONG_PTR CurrentLockToken();

// Objects with reference counts (device objects, thread objects) known to the object manager.
enum class ObjectKind
{
    Device,
    Thread,
    RegistryKey
};
void RegisterObject(PVOID object, ObjectKind kind, std::function<void()> destroy);
// A new object whose only reference is the handle returned (a kernel handle when asked for one); the
// object is destroyed when the handle is closed.
HANDLE OpenObjectHandle(PVOID object, ObjectKind kind, std::function<void()> destroy, bool kernelHandle);
// The object a handle stands for, when it is open and of that kind; null otherwise.
PVOID ObjectOfHandle(HANDLE handle, ObjectKind kind);
bool IsObject(PVOID object, ObjectKind kind);
void MarkObjectForDeletion(PVOID object); // destroyed when the last reference goes

// Pool owned by a driver (for unload checks).
size_t PoolBlocksOfDriver(PDRIVER_OBJECT driver);
size_t RunningThreadsOfDriver(PDRIVER_OBJECT driver);

// Remove locks inside a memory range (a device extension) that are still held, and their cleanup.
void ForgetRemoveLocksIn(const void* begin, size_t size, bool checkBalanced);
void ForgetDeviceProperties(PDEVICE_OBJECT device);

// Dispatcher internals used by threads.cpp: signal a thread object when its thread ends.
void SignalObject(DISPATCHER_HEADER* header);
constexpr UCHAR ThreadObjectType = 6;

} // namespace detail
} // namespace winsim
