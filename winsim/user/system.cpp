// winsim/user: the loader, the processes of the simulated PC, its files, its system version and its
// service control manager. LoadLibraryW finds PSAPI.DLL, Kernel32.DLL, Shell32.dll and SetupAPI.dll unless
// a test made one absent, and counts loads (FreeLibrary of a module not loaded is a violation, a module left
// loaded at the end a leak). GetProcAddress hands out the simulated routines; a test can make any one
// missing. Kernel32 exports the ANSI Tool Help routines too, and calling one is a violation: the product
// reads the wide layout. EnumProcesses fills at most the buffer and reports the bytes it wrote, as Windows
// does.
#include "winsim/user/user_internal.h"

#include <psapi.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <cstring>

using namespace winsim::user;

namespace
{
struct Export
{
    const char* module;
    const char* name;
    void* routine;
};

const SimProcess* FindProcess(DWORD id)
{
    for (const SimProcess& process : D().processes)
    {
        if (process.id == id)
        {
            return &process;
        }
    }
    return nullptr;
}

std::vector<WString> ModulesOf(const SimProcess& process)
{
    if (!process.modules.empty())
    {
        return process.modules;
    }
    WString path = process.imagePath;
    if (path.rfind(u"\\??\\", 0) == 0)
    {
        path = path.substr(4);
    }
    return {path};
}

HMODULE ModuleHandle(size_t index)
{
    return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000 + index * 0x10000));
}

void CopyText(const WString& text, WCHAR* buffer, size_t chars)
{
    size_t count = std::min(text.size(), chars - 1);
    std::copy(text.begin(), text.begin() + count, buffer);
    buffer[count] = 0;
}

HRESULT CALLBACK SimDllGetVersion(DLLVERSIONINFO* info)
{
    if (info->cbSize != sizeof(DLLVERSIONINFO))
    {
        return E_FAIL;
    }
    auto lock = Lock();
    info->dwMajorVersion = D().shellMajor;
    info->dwMinorVersion = D().shellMinor;
    info->dwBuildNumber = 0;
    info->dwPlatformID = 2;
    return S_OK;
}

// Kernel32's image-name routine (Windows Vista on): the Win32 form of the path (flags 0), on a handle with
// at least the limited query right, which a process of higher rights still grants.
BOOL WINAPI SimQueryFullProcessImageNameW(HANDLE hProcess, DWORD dwFlags, LPWSTR lpExeName, PDWORD lpdwSize)
{
    auto object = ObjectAs<ProcessObject>(hProcess);
    if (object == nullptr)
    {
        Violation("QueryFullProcessImageNameW on %p, which is not a process handle", hProcess);
    }
    if (dwFlags != 0)
    {
        Violation("QueryFullProcessImageNameW with flags %#x: only the Win32 path form is simulated",
                  dwFlags);
    }
    if ((object->access & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) == 0)
    {
        Violation("QueryFullProcessImageNameW on a handle opened without a query right");
    }
    auto lock = Lock();
    const SimProcess* process = FindProcess(object->id);
    if (process == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    WString path = ModulesOf(*process).front();
    if (*lpdwSize <= path.size())
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    CopyText(path, lpExeName, *lpdwSize);
    *lpdwSize = static_cast<DWORD>(path.size());
    return TRUE;
}

BOOL WINAPI AnsiToolHelp(HANDLE, void*)
{
    Violation("an ANSI Tool Help routine was called; the entries are read in their wide layout");
}

std::shared_ptr<Snapshot> SnapshotOf(HANDLE handle)
{
    auto snapshot = ObjectAs<Snapshot>(handle);
    if (snapshot == nullptr)
    {
        Violation("a Tool Help routine on %p, which is not a snapshot", handle);
    }
    return snapshot;
}

const Export kExports[] = {
    {"PSAPI.DLL", "EnumProcesses", reinterpret_cast<void*>(&EnumProcesses)},
    {"PSAPI.DLL", "EnumProcessModules", reinterpret_cast<void*>(&EnumProcessModules)},
    {"PSAPI.DLL", "GetModuleFileNameExA", reinterpret_cast<void*>(&GetModuleFileNameExA)},
    {"PSAPI.DLL", "GetModuleFileNameExW", reinterpret_cast<void*>(&GetModuleFileNameExW)},
    {"KERNEL32.DLL", "QueryFullProcessImageNameW", reinterpret_cast<void*>(&SimQueryFullProcessImageNameW)},
    {"KERNEL32.DLL", "CreateToolhelp32Snapshot", reinterpret_cast<void*>(&CreateToolhelp32Snapshot)},
    {"KERNEL32.DLL", "Process32FirstW", reinterpret_cast<void*>(&Process32FirstW)},
    {"KERNEL32.DLL", "Process32NextW", reinterpret_cast<void*>(&Process32NextW)},
    {"KERNEL32.DLL", "Module32FirstW", reinterpret_cast<void*>(&Module32FirstW)},
    {"KERNEL32.DLL", "Module32NextW", reinterpret_cast<void*>(&Module32NextW)},
    {"KERNEL32.DLL", "Process32First", reinterpret_cast<void*>(&AnsiToolHelp)},
    {"KERNEL32.DLL", "Process32Next", reinterpret_cast<void*>(&AnsiToolHelp)},
    {"KERNEL32.DLL", "Module32First", reinterpret_cast<void*>(&AnsiToolHelp)},
    {"KERNEL32.DLL", "Module32Next", reinterpret_cast<void*>(&AnsiToolHelp)},
    {"SHELL32.DLL", "DllGetVersion", reinterpret_cast<void*>(&SimDllGetVersion)},
};

const char* const kModules[] = {"PSAPI.DLL", "KERNEL32.DLL", "SHELL32.DLL", "SETUPAPI.DLL"};

std::string ModuleNameOf(HMODULE module)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(module);
    for (size_t at = 0; at < sizeof(kModules) / sizeof(kModules[0]); ++at)
    {
        if (value == 0x70000000u + at * 0x01000000u)
        {
            return kModules[at];
        }
    }
    return std::string();
}
} // namespace

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName)
{
    std::string name = NarrowUpper(FileNameOf(lpLibFileName));
    auto lock = Lock();
    for (size_t at = 0; at < sizeof(kModules) / sizeof(kModules[0]); ++at)
    {
        if (name == kModules[at] && D().absentModules.count(name) == 0)
        {
            ++I().moduleRefs[name];
            return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x70000000u + at * 0x01000000u));
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    std::string module = ModuleNameOf(hModule);
    auto lock = Lock();
    if (module.empty() || I().moduleRefs[module] == 0)
    {
        Violation("GetProcAddress(%s) on module %p, which is not loaded", lpProcName,
                  static_cast<void*>(hModule));
    }
    if (D().absentRoutines.count(lpProcName) == 0)
    {
        for (const Export& entry : kExports)
        {
            if (module == entry.module && std::strcmp(entry.name, lpProcName) == 0)
            {
                return reinterpret_cast<FARPROC>(entry.routine);
            }
        }
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    std::string module = ModuleNameOf(hLibModule);
    auto lock = Lock();
    if (module.empty() || I().moduleRefs[module] == 0)
    {
        Violation("FreeLibrary of module %p, which is not loaded", static_cast<void*>(hLibModule));
    }
    --I().moduleRefs[module];
    return TRUE;
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    if (hModule != nullptr)
    {
        Violation("GetModuleFileNameW is simulated for the program's own module only");
    }
    auto lock = Lock();
    const WString& path = D().modulePath;
    if (nSize == 0)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    CopyText(path, lpFilename, nSize);
    if (path.size() >= nSize)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName)
{
    auto lock = Lock();
    auto found = D().files.find(Upper(lpFileName));
    if (found == D().files.end())
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    return found->second;
}

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation)
{
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW))
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto lock = Lock();
    lpVersionInformation->dwMajorVersion = D().osMajor;
    lpVersionInformation->dwMinorVersion = D().osMinor;
    lpVersionInformation->dwBuildNumber = 7601;
    lpVersionInformation->dwPlatformId = D().osPlatform;
    lpVersionInformation->szCSDVersion[0] = 0;
    return TRUE;
}

HANDLE WINAPI OpenProcess(DWORD dwDesiredAccess, BOOL, DWORD dwProcessId)
{
    {
        auto lock = Lock();
        const SimProcess* process = FindProcess(dwProcessId);
        if (process == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        DWORD granted = process->elevated ? PROCESS_QUERY_LIMITED_INFORMATION : ~0u;
        if (!process->openable || (dwDesiredAccess & ~granted) != 0)
        {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    }
    auto object = std::make_shared<ProcessObject>();
    object->id = dwProcessId;
    object->access = dwDesiredAccess;
    return OpenObject(object);
}

BOOL WINAPI EnumProcesses(DWORD* lpidProcess, DWORD cb, LPDWORD lpcbNeeded)
{
    std::function<void()> after;
    {
        auto lock = Lock();
        size_t fit = std::min(static_cast<size_t>(cb / sizeof(DWORD)), D().processes.size());
        for (size_t at = 0; at < fit; ++at)
        {
            lpidProcess[at] = D().processes[at].id;
        }
        *lpcbNeeded = static_cast<DWORD>(fit * sizeof(DWORD));
        after = D().afterProcessList;
    }
    if (after)
    {
        after();
    }
    return TRUE;
}

BOOL WINAPI EnumProcessModules(HANDLE hProcess, HMODULE* lphModule, DWORD cb, LPDWORD lpcbNeeded)
{
    auto object = ObjectAs<ProcessObject>(hProcess);
    if (object == nullptr)
    {
        Violation("EnumProcessModules on %p, which is not a process handle", hProcess);
    }
    if ((object->access & (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)) !=
        (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ))
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto lock = Lock();
    const SimProcess* process = FindProcess(object->id);
    if (process == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE); // the process has ended since it was opened
        return FALSE;
    }
    size_t count = ModulesOf(*process).size();
    for (size_t at = 0; at < std::min(count, static_cast<size_t>(cb / sizeof(HMODULE))); ++at)
    {
        lphModule[at] = ModuleHandle(at);
    }
    *lpcbNeeded = static_cast<DWORD>(count * sizeof(HMODULE));
    return TRUE;
}

DWORD WINAPI GetModuleFileNameExW(HANDLE hProcess, HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    auto object = ObjectAs<ProcessObject>(hProcess);
    if (object == nullptr)
    {
        Violation("GetModuleFileNameExW on %p, which is not a process handle", hProcess);
    }
    auto lock = Lock();
    const SimProcess* process = FindProcess(object->id);
    if (process == nullptr || nSize == 0)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    std::vector<WString> modules = ModulesOf(*process);
    for (size_t at = 0; at < modules.size(); ++at)
    {
        if (ModuleHandle(at) == hModule)
        {
            const WString& path = at == 0 ? process->imagePath : modules[at];
            CopyText(path, lpFilename, nSize);
            return static_cast<DWORD>(std::min(path.size(), static_cast<size_t>(nSize - 1)));
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

DWORD WINAPI GetModuleFileNameExA(HANDLE, HMODULE, LPSTR, DWORD)
{
    Violation("GetModuleFileNameExA: the product reads paths as wide text");
}

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD dwFlags, DWORD th32ProcessID)
{
    auto snapshot = std::make_shared<Snapshot>();
    std::function<void()> after;
    {
        auto lock = Lock();
        if (dwFlags == TH32CS_SNAPPROCESS)
        {
            snapshot->processes = D().processes;
            after = D().afterProcessList;
        }
        else if (dwFlags == TH32CS_SNAPMODULE)
        {
            DWORD id = th32ProcessID == 0 ? D().currentProcessId : th32ProcessID;
            const SimProcess* process = FindProcess(id);
            if (process == nullptr || !process->openable || process->elevated)
            {
                SetLastError(process == nullptr ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
            snapshot->processId = id;
            snapshot->modules = ModulesOf(*process);
        }
        else
        {
            Violation("CreateToolhelp32Snapshot with flags %#x is not simulated", dwFlags);
        }
    }
    if (after)
    {
        after();
    }
    return OpenObject(snapshot);
}

namespace
{
BOOL NextProcess(HANDLE hSnapshot, LPPROCESSENTRY32W lppe, bool first)
{
    auto snapshot = SnapshotOf(hSnapshot);
    if (lppe->dwSize != sizeof(PROCESSENTRY32W))
    {
        Violation("Process32%sW with dwSize %u; the wide entry has %zu bytes", first ? "First" : "Next",
                  lppe->dwSize, sizeof(PROCESSENTRY32W));
    }
    auto lock = Lock();
    snapshot->next = first ? 0 : snapshot->next;
    if (snapshot->next >= snapshot->processes.size())
    {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const SimProcess& process = snapshot->processes[snapshot->next++];
    lppe->th32ProcessID = process.id;
    CopyText(FileNameOf(process.imagePath), lppe->szExeFile, MAX_PATH);
    return TRUE;
}

BOOL NextModule(HANDLE hSnapshot, LPMODULEENTRY32W lpme, bool first)
{
    auto snapshot = SnapshotOf(hSnapshot);
    if (lpme->dwSize != sizeof(MODULEENTRY32W))
    {
        Violation("Module32%sW with dwSize %u; the wide entry has %zu bytes", first ? "First" : "Next",
                  lpme->dwSize, sizeof(MODULEENTRY32W));
    }
    auto lock = Lock();
    snapshot->next = first ? 0 : snapshot->next;
    if (snapshot->next >= snapshot->modules.size())
    {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    size_t at = snapshot->next++;
    const WString& path = snapshot->modules[at];
    lpme->th32ProcessID = snapshot->processId;
    lpme->hModule = ModuleHandle(at);
    CopyText(FileNameOf(path), lpme->szModule, MAX_MODULE_NAME32 + 1);
    CopyText(path, lpme->szExePath, MAX_PATH);
    return TRUE;
}
} // namespace

BOOL WINAPI Process32FirstW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe)
{
    return NextProcess(hSnapshot, lppe, true);
}

BOOL WINAPI Process32NextW(HANDLE hSnapshot, LPPROCESSENTRY32W lppe)
{
    return NextProcess(hSnapshot, lppe, false);
}

BOOL WINAPI Module32FirstW(HANDLE hSnapshot, LPMODULEENTRY32W lpme)
{
    return NextModule(hSnapshot, lpme, true);
}

BOOL WINAPI Module32NextW(HANDLE hSnapshot, LPMODULEENTRY32W lpme)
{
    return NextModule(hSnapshot, lpme, false);
}

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR, DWORD)
{
    if (lpMachineName != nullptr)
    {
        Violation("OpenSCManagerW of a remote machine is not simulated");
    }
    {
        auto lock = Lock();
        if (!D().scmAvailable)
        {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    }
    winsim::machine::Machine& machine = winsim::machine::Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    winsim::machine::Machine::OpenObject entry;
    entry.kind = winsim::machine::Machine::OpenObject::Kind::ServiceHandle;
    entry.payload = std::make_shared<ServiceObject>(ServiceObject{true, WString()});
    return reinterpret_cast<SC_HANDLE>(machine.OpenHandle(std::move(entry)));
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD)
{
    winsim::machine::Machine& machine = winsim::machine::Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    auto* manager = machine.LookupHandle(reinterpret_cast<HANDLE>(hSCManager));
    if (manager == nullptr || manager->kind != winsim::machine::Machine::OpenObject::Kind::ServiceHandle ||
        !static_cast<ServiceObject*>(manager->payload.get())->manager)
    {
        Violation("OpenServiceW on %p, which is not a service control manager handle",
                  static_cast<void*>(hSCManager));
    }
    if (machine.FindService(lpServiceName) == nullptr)
    {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    winsim::machine::Machine::OpenObject entry;
    entry.kind = winsim::machine::Machine::OpenObject::Kind::ServiceHandle;
    entry.payload = std::make_shared<ServiceObject>(ServiceObject{false, lpServiceName});
    return reinterpret_cast<SC_HANDLE>(machine.OpenHandle(std::move(entry)));
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject)
{
    winsim::machine::Machine& machine = winsim::machine::Current();
    std::lock_guard<std::recursive_mutex> lock(machine.Lock());
    auto* entry = machine.LookupHandle(reinterpret_cast<HANDLE>(hSCObject));
    if (entry == nullptr || entry->kind != winsim::machine::Machine::OpenObject::Kind::ServiceHandle)
    {
        Violation("CloseServiceHandle of %p, which is not an open service handle",
                  static_cast<void*>(hSCObject));
    }
    machine.CloseOpenHandle(reinterpret_cast<HANDLE>(hSCObject));
    return TRUE;
}
