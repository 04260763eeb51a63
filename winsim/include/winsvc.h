// winsim: the service control manager's open and close calls, answered from the services installed in
// the simulated PC. Service handles are not file handles: they are closed with CloseServiceHandle.
#pragma once

#include <windef.h>

typedef struct SC_HANDLE__* SC_HANDLE;

#define SC_MANAGER_CONNECT 0x0001u
#define SERVICE_QUERY_STATUS 0x0004u

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess);
SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess);
BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject);
