// winsim: the registry calls of advapi32 that read and write a device's hardware key, reached through
// SetupDiOpenDevRegKey (the only keys the simulated PC has). The rights: a key opened for reading takes no
// value; a user without administrator rights opens a device's key for reading only.
#pragma once

#include <basetsd.h>
#include <windef.h>
#include <winnt.h>

#ifdef __cplusplus
extern "C"
{
#endif

    typedef struct HKEY__* HKEY;
    typedef HKEY* PHKEY;
    typedef ACCESS_MASK REGSAM;

#define READ_CONTROL 0x00020000L
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ (READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY)
#define KEY_WRITE (READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY)
#define KEY_ALL_ACCESS 0xF003F

    LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                              PHKEY phkResult);
    LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                 LPBYTE lpData, LPDWORD lpcbData);
    LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                               const BYTE* lpData, DWORD cbData);
    LONG WINAPI RegCloseKey(HKEY hKey);

#ifdef __cplusplus
}
#endif
