// winsim: the NT base definitions of kernel-mode code (ntdef.h) on the Linux host: calling-convention and
// annotation macros (empty here), counted strings, list entries and the small scalar types of the kernel.
// Layouts are the platform's for the fields the product uses; nothing here has behaviour.
#pragma once

#include "basetsd.h"

#ifndef IN
#define IN
#define OUT
#define OPTIONAL
#endif
#define NTAPI
#define NTSYSAPI
#define NTSYSCALLAPI
#define NTKERNELAPI
#define NTHALAPI
#define FASTCALL
#define DECLSPEC_IMPORT
#define DECLSPEC_NORETURN [[noreturn]]
#define FORCEINLINE inline
#define POINTER_ALIGNMENT
#define CONST const
#define ANYSIZE_ARRAY 1

// Source annotations compile to nothing, as they do for any compiler other than the one that checks them.
#define _In_
#define _In_opt_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _In_reads_bytes_(x)
#define _In_reads_bytes_opt_(x)
#define _Out_writes_bytes_(x)
#define _Out_writes_bytes_opt_(x)
#define _Out_writes_bytes_to_(x, y)
#define _Out_writes_bytes_to_opt_(x, y)
#define _Outptr_
#define _Outptr_result_maybenull_
#define _Use_decl_annotations_
#define _Function_class_(x)
#define _Dispatch_type_(x)
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_requires_min_(x)
#define _IRQL_requires_same_
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(a, b)
#define _IRQL_restores_global_(a, b)
#define _Requires_lock_held_(x)
#define _Requires_lock_not_held_(x)
#define _Acquires_lock_(x)
#define _Releases_lock_(x)
#define _When_(a, b)
#define _At_(a, b)
#define _Must_inspect_result_
#define _Check_return_
#define _Success_(x)
#define _Post_satisfies_(x)
#define _Analysis_assume_(x)
#define _Kernel_requires_resource_held_(x)
#define _Guarded_by_(x)
#define _Interlocked_
#define _Pre_notnull_
#define _Post_invalid_
#define _Frees_ptr_(x)
#define _Frees_ptr_opt_
#define _Ret_maybenull_
#define _Post_writable_byte_size_(x)
#define _Field_size_(x)
#define _Field_size_bytes_(x)

typedef char CCHAR;
typedef int16_t CSHORT;
typedef ULONG CLONG;
typedef CCHAR* PCCHAR;
typedef const UCHAR* PCUCHAR;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef ULONG ACCESS_MASK;
typedef ACCESS_MASK* PACCESS_MASK;
typedef ULONG LOGICAL;
typedef ULONG* PLOGICAL;
typedef ULONGLONG* PULONGLONG;
typedef LONGLONG* PLONGLONG;
typedef const char* PCSZ;
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _UNICODE_STRING
{
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING
{
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING, ANSI_STRING, *PANSI_STRING;

typedef struct _LIST_ENTRY
{
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY
{
    struct _SINGLE_LIST_ENTRY* Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

typedef struct _OBJECT_ATTRIBUTES
{
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define OBJ_INHERIT 0x00000002L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s)                                                            \
    do                                                                                                       \
    {                                                                                                        \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                             \
        (p)->RootDirectory = r;                                                                              \
        (p)->Attributes = a;                                                                                 \
        (p)->ObjectName = n;                                                                                 \
        (p)->SecurityDescriptor = s;                                                                         \
        (p)->SecurityQualityOfService = NULL;                                                                \
    } while (0)

typedef struct _CLIENT_ID
{
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef enum _EVENT_TYPE
{
    NotificationEvent,
    SynchronizationEvent
} EVENT_TYPE;

typedef enum _WAIT_TYPE
{
    WaitAll,
    WaitAny
} WAIT_TYPE;

#define RTL_CONSTANT_STRING(s)                                                                               \
    {                                                                                                        \
        sizeof(s) - sizeof((s)[0]), sizeof(s), const_cast<PWSTR>(s)                                          \
    }
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))

#ifndef NULL
#define NULL nullptr
#endif
#ifndef MAXULONG
#define MAXULONG 0xFFFFFFFFUL
#define MAXLONG 0x7FFFFFFFL
#define MAXUSHORT 0xFFFF
#define MAXUCHAR 0xFF
#endif
