// winsim: modules. LoadLibraryW knows the system libraries the simulated PC offers (each can be made
// absent, or lack a routine), GetProcAddress hands out the simulation's own routines, and
// GetModuleFileNameW answers the program's path with the platform's truncation rule.
#pragma once

#include <windef.h>

typedef INT_PTR(WINAPI* FARPROC)();

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
// A module the process loaded; null (ERROR_MOD_NOT_FOUND) for any other.
HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
