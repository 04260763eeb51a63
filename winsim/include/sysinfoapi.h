// winsim: the system version as GetVersionExW reports it (the simulated PC's version is a knob).
#pragma once

#include <windef.h>

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

// Its own tag: the kernel headers declare the same layout as RTL_OSVERSIONINFOW, and the simulation
// compiles both into one program.
typedef struct tagOSVERSIONINFOW
{
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW;

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation);
