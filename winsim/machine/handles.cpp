// winsim/machine: the installed machine, the last-error slot and handle accounting. Handles are numbered
// from a counter that never repeats, so a handle used or closed after it was closed is always caught:
// closing it again, or closing a value that was never a handle, is a violation, as the handle verifier
// of Windows reports it. A machine whose scope ends with open handles has leaked them.
#include "winsim/machine/machine.h"

#include <atomic>

namespace winsim::machine
{
namespace
{
std::atomic<Machine*> g_current{nullptr};
thread_local DWORD t_lastError = ERROR_SUCCESS;
} // namespace

Machine& Current()
{
    Machine* machine = g_current.load();
    if (machine == nullptr)
    {
        Violation("a platform call was made with no simulated machine installed");
    }
    return *machine;
}

ScopedMachine::ScopedMachine(Machine& machine) : previous_(g_current.exchange(&machine)), machine_(machine) {}

ScopedMachine::~ScopedMachine()
{
    g_current.store(previous_);
    if (machine_.OpenHandleCount() != 0)
    {
        Violation("%zu handle(s) still open when the machine was taken down", machine_.OpenHandleCount());
    }
    if (!machine_.localBlocks.empty() || !machine_.sids.empty())
    {
        Violation("%zu local block(s) and %zu SID(s) not freed when the machine was taken down",
                  machine_.localBlocks.size(), machine_.sids.size());
    }
}

HANDLE Machine::OpenHandle(OpenObject object)
{
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(value, std::move(object));
    ++handlesOpened_;
    return reinterpret_cast<HANDLE>(value);
}

Machine::OpenObject* Machine::LookupHandle(HANDLE handle)
{
    auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
    return found == handles_.end() ? nullptr : &found->second;
}

void Machine::CloseOpenHandle(HANDLE handle)
{
    if (handles_.erase(reinterpret_cast<uintptr_t>(handle)) == 0)
    {
        Violation("handle %p closed but not open (closed twice, or never opened)", handle);
    }
}
} // namespace winsim::machine

using winsim::machine::Current;
using winsim::machine::Machine;

DWORD WINAPI GetLastError()
{
    return winsim::machine::t_lastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    winsim::machine::t_lastError = dwErrCode;
}

// Closes a file handle. A device information set is not a file handle: closing one here is misuse.
BOOL WINAPI CloseHandle(HANDLE hObject)
{
    Machine& machine = Current();
    // The object itself may outlive its handle (a thread still running); it is released after the lock.
    std::shared_ptr<void> payload;
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    if (hObject == INVALID_HANDLE_VALUE || hObject == nullptr)
    {
        winsim::machine::Violation("CloseHandle of %s", hObject == nullptr ? "NULL" : "INVALID_HANDLE_VALUE");
    }
    Machine::OpenObject* object = machine.LookupHandle(hObject);
    if (object != nullptr && object->kind == Machine::OpenObject::Kind::DeviceInfoSet)
    {
        winsim::machine::Violation(
            "CloseHandle of a device information set (use SetupDiDestroyDeviceInfoList)");
    }
    if (object != nullptr && object->kind == Machine::OpenObject::Kind::ServiceHandle)
    {
        winsim::machine::Violation("CloseHandle of a service handle (use CloseServiceHandle)");
    }
    if (object != nullptr && object->kind == Machine::OpenObject::Kind::RegistryKey)
    {
        winsim::machine::Violation("CloseHandle of a registry key (use RegCloseKey)");
    }
    if (object != nullptr)
    {
        payload = object->payload;
    }
    machine.CloseOpenHandle(hObject);
    return TRUE;
}
