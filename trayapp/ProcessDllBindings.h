// The system libraries the process manager binds at run time: the process-status library (PSAPI.DLL) with
// Kernel32's optional image-name routine, and Kernel32's Tool Help snapshot routines in their wide form
// (their entries are read in the wide layout). Each binding is a process-wide singleton.
#pragma once

#include "trayapp/ClassInterface.h"
#include "trayapp/DllInterface.h"

#include <tlhelp32.h>

namespace Kavelor
{
typedef BOOL(WINAPI* PFN_EnumProcesses)(DWORD* pProcessIds, DWORD cb, DWORD* pBytesReturned);
typedef BOOL(WINAPI* PFN_EnumProcessModules)(HANDLE hProcess, HMODULE* lphModule, DWORD cb,
                                             LPDWORD lpcbNeeded);
typedef DWORD(WINAPI* PFN_GetModuleFileNameExA)(HANDLE hProcess, HMODULE hModule, LPSTR lpFilename,
                                                DWORD nSize);
typedef DWORD(WINAPI* PFN_GetModuleFileNameExW)(HANDLE hProcess, HMODULE hModule, LPWSTR lpFilename,
                                                DWORD nSize);
typedef BOOL(WINAPI* PFN_QueryFullProcessImageNameW)(HANDLE hProcess, DWORD dwFlags, LPWSTR lpExeName,
                                                     PDWORD lpdwSize);
typedef HANDLE(WINAPI* PFN_CreateToolhelp32Snapshot)(DWORD dwFlags, DWORD th32ProcessID);
typedef BOOL(WINAPI* PFN_Module32FirstW)(HANDLE hSnapshot, LPMODULEENTRY32W lpme);
typedef BOOL(WINAPI* PFN_Module32NextW)(HANDLE hSnapshot, LPMODULEENTRY32W lpme);
typedef BOOL(WINAPI* PFN_Process32FirstW)(HANDLE hSnapshot, LPPROCESSENTRY32W lppe);
typedef BOOL(WINAPI* PFN_Process32NextW)(HANDLE hSnapshot, LPPROCESSENTRY32W lppe);

class CPSAPI_psapiDllInterface : public CDllInterface
{
public:
    CPSAPI_psapiDllInterface();

    PFN_EnumProcesses m_pEnumProcesses = nullptr;
    PFN_EnumProcessModules m_pEnumProcessModules = nullptr;
    PFN_GetModuleFileNameExA m_pGetModuleFileNameExA = nullptr;
    PFN_GetModuleFileNameExW m_pGetModuleFileNameExW = nullptr;

protected:
    bool ResolveRoutines() override;
    void ClearRoutines() override;
};

// The routine is optional (Windows Vista on): the binding succeeds without it. Only it reads the path of a
// process that runs with higher rights than the caller.
class CPSAPI_kernel32DllInterface : public CDllInterface
{
public:
    CPSAPI_kernel32DllInterface();

    PFN_QueryFullProcessImageNameW m_pQueryFullProcessImageName = nullptr;

protected:
    bool ResolveRoutines() override;
    void ClearRoutines() override;
};

class CPSAPIDllInterface : public CPSAPI_psapiDllInterface,
                           public CPSAPI_kernel32DllInterface,
                           public CSingleton<CPSAPIDllInterface>
{
public:
    // The PSAPI part first; without it the binding fails.
    bool Load();
    bool IsLoaded() const { return CPSAPI_psapiDllInterface::IsLoaded(); }
};

class CToolHelpDllInterface : public CDllInterface, public CSingleton<CToolHelpDllInterface>
{
public:
    CToolHelpDllInterface();

    PFN_CreateToolhelp32Snapshot m_pCreateToolhelp32Snapshot = nullptr;
    PFN_Module32FirstW m_pModule32First = nullptr;
    PFN_Module32NextW m_pModule32Next = nullptr;
    PFN_Process32FirstW m_pProcess32First = nullptr;
    PFN_Process32NextW m_pProcess32Next = nullptr;

protected:
    bool ResolveRoutines() override;
    void ClearRoutines() override;
};
} // namespace Kavelor
