// winsim: the Windows base types shared by the kernel headers (ntdef.h) and the user-mode headers
// (windows.h). Sizes follow Windows' LLP64 model on every build: LONG and ULONG are 32 bits whatever
// Linux's long is, pointers and ULONG_PTR are pointer-sized. WCHAR is 16 bits (char16_t).
#pragma once

#include <cstddef>
#include <cstdint>

typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;

typedef char CHAR;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef CHAR* LPSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* LPCSTR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef unsigned char BYTE;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;

typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef uint16_t WORD;
typedef WORD* PWORD;

typedef int32_t INT;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef uint32_t DWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef int32_t BOOL;
typedef BOOL* PBOOL;

typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef uint64_t DWORD64;
typedef int32_t LONG32;
typedef uint32_t ULONG32;

typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef SIZE_T* PSIZE_T;
typedef LONG_PTR SSIZE_T;
typedef ULONG_PTR DWORD_PTR;
typedef ULONG_PTR KAFFINITY;

typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;

typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;

typedef union _LARGE_INTEGER {
    struct
    {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct
    {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

typedef struct _GUID
{
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef GUID* PGUID;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define TEXT(quote) u##quote
#define L_TEXT(quote) u##quote

#define UNREFERENCED_PARAMETER(p) ((void)(p))

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))

#define NT_SUCCESS(status) (((NTSTATUS)(status)) >= 0)

static_assert(sizeof(LONG) == 4 && sizeof(ULONG) == 4, "LLP64: LONG is 32 bits");
static_assert(sizeof(ULONG_PTR) == sizeof(void*), "ULONG_PTR is pointer-sized");
static_assert(sizeof(WCHAR) == 2, "WCHAR is 16 bits");
static_assert(sizeof(GUID) == 16, "GUID layout");
