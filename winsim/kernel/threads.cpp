// winsim: the object manager's reference counts, kernel handles and system threads. A system thread is a
// host thread running the driver's start routine at PASSIVE_LEVEL; its thread object is a dispatcher
// object that becomes signalled when the thread ends, so a driver can wait for it through a handle
// (ObReferenceObjectByHandle with PsThreadType). PsTerminateSystemThread unwinds to the thread's entry
// with a C++ exception: x86_64 code carries unwind tables even when compiled without exceptions, so the
// unwinding crosses driver frames (which have nothing to destroy). Checks: dereferencing an object that
// is not one or whose count is already zero, closing an invalid kernel handle, a handle of the wrong
// type, terminating a thread that is not a system thread or at raised IRQL, a system thread that ends
// with its IRQL raised or a spin lock held, and a driver unloaded while its threads still run.
#include "winsim/kernel/kernel_state.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

struct _KTHREAD
{
    DISPATCHER_HEADER Header; // first: a thread object is waited on like any dispatcher object
};

namespace winsim
{
namespace detail
{

struct SimThread : _KTHREAD
{
    std::thread host;
    PKSTART_ROUTINE routine = nullptr;
    PVOID context = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    KPRIORITY priority = 8;
    HANDLE threadId = nullptr;
    bool system = false;
};

namespace
{

struct ThreadTermination
{
    NTSTATUS status;
};

struct ObjectRecord
{
    ObjectKind kind;
    LONG_PTR references;
    std::function<void()> destroy;
};

std::mutex g_objectLock;
std::map<PVOID, ObjectRecord> g_objects;
std::map<HANDLE, PVOID> g_handles;
ULONG_PTR g_nextHandle = 0;
std::map<PDRIVER_OBJECT, size_t> g_runningByDriver;
size_t g_running = 0;   // threads whose host thread has not yet finished its last step
size_t g_signalled = 0; // of those, threads that have already left their driver's code
std::condition_variable g_threadEnded;
std::atomic<ULONG_PTR> g_nextThreadId{0x100};

// Host threads that dropped the last reference to their own object: the reset joins them, so that they
// have also run their thread-exit steps (thread-local destructors) before anything counts what is left.
struct FinishingThreads
{
    std::vector<std::thread> threads; // under g_objectLock
    ~FinishingThreads()
    {
        for (std::thread& thread : threads)
        {
            thread.join();
        }
    }
};
FinishingThreads g_finishing;

constexpr ULONG_PTR kSystemProcessId = 4;
constexpr ULONG_PTR kTestProcessId = 0x1000;
constexpr ULONG_PTR kKernelHandleBit = ULONG_PTR(1) << 63;

HANDLE NewThreadId()
{
    return HANDLE(g_nextThreadId.fetch_add(4));
}

// Drops one reference; the last one destroys the object (outside the lock).
void Dereference(PVOID object)
{
    std::function<void()> destroy;
    {
        std::lock_guard<std::mutex> lock(g_objectLock);
        auto it = g_objects.find(object);
        if (it == g_objects.end())
        {
            BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                     "ObDereferenceObject on something that is not an object", 0x1001, ULONG_PTR(object));
        }
        if (--it->second.references == 0)
        {
            destroy = std::move(it->second.destroy);
            g_objects.erase(it);
        }
    }
    if (destroy)
    {
        destroy();
    }
}

void DestroyThread(SimThread* thread)
{
    if (thread->host.joinable())
    {
        if (thread->host.get_id() == std::this_thread::get_id())
        {
            std::lock_guard<std::mutex> lock(g_objectLock);
            g_finishing.threads.push_back(std::move(thread->host));
        }
        else
        {
            thread->host.join();
        }
    }
    delete thread;
}

void ThreadEntry(SimThread* thread)
{
    auto& state = CurrentThreadState();
    state.thread = thread;
    state.threadId = thread->threadId;
    state.processId = HANDLE(kSystemProcessId);
    {
        DriverScope scope(thread->driver);
        try
        {
            thread->routine(thread->context);
            if (state.irql != PASSIVE_LEVEL || !state.heldLocks.empty())
            {
                BugCheck(IRQL_NOT_LESS_OR_EQUAL,
                         "system thread returned with IRQL raised or a spin lock held", state.irql,
                         state.heldLocks.size());
            }
        }
        catch (const ThreadTermination&)
        {
        }
        catch (const BugCheckError&)
        {
            // Recorded by the trap; the thread ends as if it had terminated.
        }
    }
    state.irql = PASSIVE_LEVEL;
    state.heldLocks.clear();
    state.frames.clear();
    // The thread has left its driver's code once it is signalled, so the driver may be unloaded from
    // then on; but it counts as running until it has dropped its own reference, since a reset that sees
    // no thread running may clear the object table, and the last dereference must still find it there.
    {
        std::lock_guard<std::mutex> lock(g_objectLock);
        if (--g_runningByDriver[thread->driver] == 0)
        {
            g_runningByDriver.erase(thread->driver);
        }
        ++g_signalled;
    }
    SignalObject(&thread->Header);
    Dereference(thread); // the running thread's own reference; may destroy the thread object
    {
        std::lock_guard<std::mutex> lock(g_objectLock);
        --g_running;
        --g_signalled;
        // Under the lock: once a reset or the process end sees no thread running, this thread touches
        // no shared state any more.
        g_threadEnded.notify_all();
    }
}

// Threads still running at a reset belong to a test that did not stop them; give them a moment.
void ResetThreads()
{
    std::unique_lock<std::mutex> lock(g_objectLock);
    if (!g_threadEnded.wait_for(lock, std::chrono::seconds(10), [] { return g_running == 0; }))
    {
        std::fprintf(stderr, "winsim: ResetKernel with %zu system thread(s) still running\n", g_running);
        std::abort();
    }
    // Objects left over by the test: drop them all (threads have ended, so joining is immediate).
    auto objects = std::move(g_objects);
    g_objects.clear();
    g_handles.clear();
    g_runningByDriver.clear();
    std::vector<std::thread> finishing;
    finishing.swap(g_finishing.threads);
    lock.unlock();
    for (std::thread& thread : finishing)
    {
        thread.join();
    }
    for (auto& object : objects)
    {
        if (object.second.destroy)
        {
            object.second.destroy();
        }
    }
}

ResetHook g_reset(90, ResetThreads);

SimThread* ThreadFromKThread(PKTHREAD thread)
{
    return static_cast<SimThread*>(thread);
}

} // namespace

void RegisterObject(PVOID object, ObjectKind kind, std::function<void()> destroy)
{
    std::lock_guard<std::mutex> lock(g_objectLock);
    g_objects[object] = ObjectRecord{kind, 1, std::move(destroy)};
}

HANDLE OpenObjectHandle(PVOID object, ObjectKind kind, std::function<void()> destroy, bool kernelHandle)
{
    std::lock_guard<std::mutex> lock(g_objectLock);
    g_objects[object] = ObjectRecord{kind, 1, std::move(destroy)};
    HANDLE handle = HANDLE((kernelHandle ? kKernelHandleBit : 0) | ((++g_nextHandle) << 2));
    g_handles[handle] = object;
    return handle;
}

PVOID ObjectOfHandle(HANDLE handle, ObjectKind kind)
{
    std::lock_guard<std::mutex> lock(g_objectLock);
    auto it = g_handles.find(handle);
    if (it == g_handles.end())
    {
        return nullptr;
    }
    auto object = g_objects.find(it->second);
    return object != g_objects.end() && object->second.kind == kind ? it->second : nullptr;
}

bool IsObject(PVOID object, ObjectKind kind)
{
    std::lock_guard<std::mutex> lock(g_objectLock);
    auto it = g_objects.find(object);
    return it != g_objects.end() && it->second.kind == kind;
}

void MarkObjectForDeletion(PVOID object)
{
    Dereference(object);
}

size_t RunningThreadsOfDriver(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> lock(g_objectLock);
    auto it = g_runningByDriver.find(driver);
    return it == g_runningByDriver.end() ? 0 : it->second;
}

} // namespace detail

bool IsKernelHandle(HANDLE handle)
{
    return (ULONG_PTR(handle) & detail::kKernelHandleBit) != 0;
}

size_t OpenHandleCount()
{
    std::lock_guard<std::mutex> lock(detail::g_objectLock);
    return detail::g_handles.size();
}

size_t RunningSystemThreads()
{
    std::lock_guard<std::mutex> lock(detail::g_objectLock);
    return detail::g_running - detail::g_signalled;
}

ScopedThreadIdentity::ScopedThreadIdentity(HANDLE processId, HANDLE threadId)
    : oldProcess_(detail::CurrentThreadState().processId), oldThread_(detail::CurrentThreadState().threadId)
{
    detail::CurrentThreadState().processId = processId;
    detail::CurrentThreadState().threadId = threadId;
}

ScopedThreadIdentity::~ScopedThreadIdentity()
{
    detail::CurrentThreadState().processId = oldProcess_;
    detail::CurrentThreadState().threadId = oldThread_;
}

} // namespace winsim

using namespace winsim::detail;

namespace
{
struct _OBJECT_TYPE_STORAGE
{
    int kind;
};
_OBJECT_TYPE_STORAGE g_threadType{1};
_OBJECT_TYPE_STORAGE g_eventType{2};
_OBJECT_TYPE_STORAGE g_fileType{3};
POBJECT_TYPE g_threadTypePointer = reinterpret_cast<POBJECT_TYPE>(&g_threadType);
POBJECT_TYPE g_eventTypePointer = reinterpret_cast<POBJECT_TYPE>(&g_eventType);
POBJECT_TYPE g_fileTypePointer = reinterpret_cast<POBJECT_TYPE>(&g_fileType);
} // namespace

extern "C"
{

    POBJECT_TYPE* PsThreadType = &g_threadTypePointer;
    POBJECT_TYPE* ExEventObjectType = &g_eventTypePointer;
    POBJECT_TYPE* IoFileObjectType = &g_fileTypePointer;

    LONG_PTR ObfReferenceObject(PVOID Object)
    {
        std::lock_guard<std::mutex> lock(g_objectLock);
        auto it = g_objects.find(Object);
        if (it == g_objects.end())
        {
            BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                     "ObReferenceObject on something that is not an object", 0x1002, ULONG_PTR(Object));
        }
        return ++it->second.references;
    }

    LONG_PTR ObfDereferenceObject(PVOID Object)
    {
        Dereference(Object);
        return 0;
    }

    NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                       KPROCESSOR_MODE AccessMode, PVOID* Object,
                                       POBJECT_HANDLE_INFORMATION HandleInformation)
    {
        UNREFERENCED_PARAMETER(DesiredAccess);
        UNREFERENCED_PARAMETER(AccessMode);
        if (CurrentThreadState().irql > PASSIVE_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "ObReferenceObjectByHandle above PASSIVE_LEVEL",
                     CurrentThreadState().irql);
        }
        std::lock_guard<std::mutex> lock(g_objectLock);
        auto handle = g_handles.find(Handle);
        if (handle == g_handles.end())
        {
            return STATUS_INVALID_HANDLE;
        }
        auto object = g_objects.find(handle->second);
        if (object == g_objects.end())
        {
            return STATUS_INVALID_HANDLE;
        }
        if (ObjectType != nullptr &&
            (ObjectType != *PsThreadType || object->second.kind != ObjectKind::Thread))
        {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        ++object->second.references;
        *Object = handle->second;
        if (HandleInformation != nullptr)
        {
            HandleInformation->HandleAttributes = OBJ_KERNEL_HANDLE;
            HandleInformation->GrantedAccess = THREAD_ALL_ACCESS;
        }
        return STATUS_SUCCESS;
    }

    // Closing a kernel handle that is not open is a bug check on Windows (INVALID_KERNEL_HANDLE).
    NTSTATUS ZwClose(HANDLE Handle)
    {
        if (CurrentThreadState().irql > PASSIVE_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "ZwClose above PASSIVE_LEVEL", CurrentThreadState().irql);
        }
        PVOID object;
        {
            std::lock_guard<std::mutex> lock(g_objectLock);
            auto it = g_handles.find(Handle);
            if (it == g_handles.end())
            {
                BugCheck(0x93 /* INVALID_KERNEL_HANDLE */, "ZwClose on a handle that is not open",
                         ULONG_PTR(Handle));
            }
            object = it->second;
            g_handles.erase(it);
        }
        Dereference(object);
        return STATUS_SUCCESS;
    }

    NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                  PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext)
    {
        UNREFERENCED_PARAMETER(DesiredAccess);
        UNREFERENCED_PARAMETER(ProcessHandle);
        // Without OBJ_KERNEL_HANDLE the handle lands in the table of whatever process the caller runs in,
        // where that process's user-mode code can use or close it.
        const bool kernelHandle =
            ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
        if (CurrentThreadState().irql > PASSIVE_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "PsCreateSystemThread above PASSIVE_LEVEL",
                     CurrentThreadState().irql);
        }
        auto* thread = new SimThread;
        thread->Header.Type = ThreadObjectType;
        thread->Header.Size = 0xEE;
        thread->Header.SignalState = 0;
        thread->routine = StartRoutine;
        thread->context = StartContext;
        thread->driver = CurrentThreadState().currentDriver;
        thread->threadId = NewThreadId();
        thread->system = true;
        HANDLE handle;
        {
            std::lock_guard<std::mutex> lock(g_objectLock);
            // One reference for the running thread, one for the handle.
            g_objects[thread] = ObjectRecord{ObjectKind::Thread, 2, [thread] { DestroyThread(thread); }};
            handle = HANDLE((kernelHandle ? kKernelHandleBit : 0) | ((++g_nextHandle) << 2));
            g_handles[handle] = thread;
            ++g_running;
            ++g_runningByDriver[thread->driver];
        }
        if (ClientId != nullptr)
        {
            ClientId->UniqueProcess = HANDLE(kSystemProcessId);
            ClientId->UniqueThread = thread->threadId;
        }
        *ThreadHandle = handle;
        thread->host = std::thread(ThreadEntry, thread);
        return STATUS_SUCCESS;
    }

    NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
    {
        auto& state = CurrentThreadState();
        if (state.thread == nullptr || !state.thread->system)
        {
            BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "PsTerminateSystemThread outside a system thread",
                     0x1003);
        }
        if (state.irql != PASSIVE_LEVEL || !state.heldLocks.empty())
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "PsTerminateSystemThread with IRQL raised or a spin lock held",
                     state.irql);
        }
        throw ThreadTermination{ExitStatus};
    }

    PKTHREAD KeGetCurrentThread(void)
    {
        auto& state = CurrentThreadState();
        if (state.thread == nullptr)
        {
            // A host thread that the simulation did not create (a test's thread): give it a thread object
            // that lives as long as the host thread.
            static thread_local std::unique_ptr<SimThread> adopted;
            adopted.reset(new SimThread);
            adopted->Header.Type = ThreadObjectType;
            adopted->Header.Size = 0xEE;
            if (state.threadId == nullptr)
            {
                state.threadId = NewThreadId();
            }
            adopted->threadId = state.threadId;
            state.thread = adopted.get();
        }
        return state.thread;
    }

    PETHREAD PsGetCurrentThread(void)
    {
        return reinterpret_cast<PETHREAD>(KeGetCurrentThread());
    }

    HANDLE PsGetCurrentProcessId(void)
    {
        auto& state = CurrentThreadState();
        return state.processId != nullptr ? state.processId : HANDLE(kTestProcessId);
    }

    HANDLE PsGetCurrentThreadId(void)
    {
        auto& state = CurrentThreadState();
        if (state.threadId == nullptr)
        {
            state.threadId = NewThreadId();
        }
        return state.threadId;
    }

    KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
    {
        if (Priority < LOW_PRIORITY || Priority > HIGH_PRIORITY)
        {
            BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "KeSetPriorityThread outside 0..31", 0x1004,
                     ULONG_PTR(Priority));
        }
        if (CurrentThreadState().irql > DISPATCH_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "KeSetPriorityThread above DISPATCH_LEVEL",
                     CurrentThreadState().irql);
        }
        SimThread* thread = ThreadFromKThread(Thread);
        const KPRIORITY previous = thread->priority;
        thread->priority = Priority;
        return previous;
    }

    KPRIORITY KeQueryPriorityThread(PKTHREAD Thread)
    {
        return ThreadFromKThread(Thread)->priority;
    }

} // extern "C"
