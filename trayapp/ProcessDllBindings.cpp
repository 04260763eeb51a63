// The run-time bindings of PSAPI.DLL and of Kernel32's image-name and Tool Help routines.
#include "trayapp/ProcessDllBindings.h"

namespace Kavelor
{
CPSAPI_psapiDllInterface::CPSAPI_psapiDllInterface() : CDllInterface(TEXT("PSAPI.DLL")) {}

bool CPSAPI_psapiDllInterface::ResolveRoutines()
{
    m_pEnumProcesses = Routine<PFN_EnumProcesses>("EnumProcesses");
    m_pEnumProcessModules = Routine<PFN_EnumProcessModules>("EnumProcessModules");
    m_pGetModuleFileNameExA = Routine<PFN_GetModuleFileNameExA>("GetModuleFileNameExA");
    m_pGetModuleFileNameExW = Routine<PFN_GetModuleFileNameExW>("GetModuleFileNameExW");
    return m_pEnumProcesses != nullptr && m_pEnumProcessModules != nullptr &&
           m_pGetModuleFileNameExA != nullptr && m_pGetModuleFileNameExW != nullptr;
}

void CPSAPI_psapiDllInterface::ClearRoutines()
{
    m_pEnumProcesses = nullptr;
    m_pEnumProcessModules = nullptr;
    m_pGetModuleFileNameExA = nullptr;
    m_pGetModuleFileNameExW = nullptr;
}

CPSAPI_kernel32DllInterface::CPSAPI_kernel32DllInterface() : CDllInterface(TEXT("Kernel32.DLL")) {}

bool CPSAPI_kernel32DllInterface::ResolveRoutines()
{
    // Kernel32 exports it only by its wide name.
    m_pQueryFullProcessImageName = Routine<PFN_QueryFullProcessImageNameW>("QueryFullProcessImageNameW");
    return true;
}

void CPSAPI_kernel32DllInterface::ClearRoutines()
{
    m_pQueryFullProcessImageName = nullptr;
}

bool CPSAPIDllInterface::Load()
{
    if (!CPSAPI_psapiDllInterface::Load())
    {
        return false;
    }
    return CPSAPI_kernel32DllInterface::Load();
}

CToolHelpDllInterface::CToolHelpDllInterface() : CDllInterface(TEXT("Kernel32.DLL")) {}

bool CToolHelpDllInterface::ResolveRoutines()
{
    m_pCreateToolhelp32Snapshot = Routine<PFN_CreateToolhelp32Snapshot>("CreateToolhelp32Snapshot");
    m_pModule32First = Routine<PFN_Module32FirstW>("Module32FirstW");
    m_pModule32Next = Routine<PFN_Module32NextW>("Module32NextW");
    m_pProcess32First = Routine<PFN_Process32FirstW>("Process32FirstW");
    m_pProcess32Next = Routine<PFN_Process32NextW>("Process32NextW");
    return m_pCreateToolhelp32Snapshot != nullptr && m_pModule32First != nullptr &&
           m_pModule32Next != nullptr && m_pProcess32First != nullptr && m_pProcess32Next != nullptr;
}

void CToolHelpDllInterface::ClearRoutines()
{
    m_pCreateToolhelp32Snapshot = nullptr;
    m_pModule32First = nullptr;
    m_pModule32Next = nullptr;
    m_pProcess32First = nullptr;
    m_pProcess32Next = nullptr;
}
} // namespace Kavelor
