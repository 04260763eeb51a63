// winsim: the version record a system library's DllGetVersion fills (the simulated Shell32.dll's version
// is a knob of the simulated PC).
#pragma once

#include <windef.h>
#include <winerror.h>

typedef struct _DllVersionInfo
{
    DWORD cbSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformID;
} DLLVERSIONINFO;

typedef HRESULT(CALLBACK* DLLGETVERSIONPROC)(DLLVERSIONINFO*);
