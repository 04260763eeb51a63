// winsim: the WDM kernel interface (wdm.h) on the Linux host. Declares the subset of the I/O manager,
// dispatcher, executive, memory manager and run-time library that the product's kernel code calls, with
// the platform's names, signatures, structure field names and macro definitions. The routines are
// implemented by the checking kernel simulation (winsim_kernel); the inline stack-location helpers
// report every access to the simulation so that it can catch an IRP touched after it was passed down.
#pragma once

#include <cstring>

#include "ntdef.h"
#include "ntstatus.h"
#include "bugcodes.h"

#define _WDMDDK_

extern "C"
{

// ---- IRQL ------------------------------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define CLOCK_LEVEL 13
#define IPI_LEVEL 14
#define POWER_LEVEL 14
#define PROFILE_LEVEL 15
#define HIGH_LEVEL 15

    KIRQL KeGetCurrentIrql(void);
    VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
    VOID KeLowerIrql(KIRQL NewIrql);
    KIRQL KeRaiseIrqlToDpcLevel(void);

    // ---- Processor modes, wait reasons -----------------------------------------------------------------
    typedef enum _MODE
    {
        KernelMode,
        UserMode,
        MaximumMode
    } MODE;

    typedef enum _KWAIT_REASON
    {
        Executive,
        FreePage,
        PageIn,
        PoolAllocation,
        DelayExecution,
        Suspended,
        UserRequest,
        WrExecutive
    } KWAIT_REASON;

    // ---- Dispatcher objects ----------------------------------------------------------------------------
    typedef struct _DISPATCHER_HEADER
    {
        UCHAR Type;
        UCHAR Absolute;
        UCHAR Size;
        UCHAR Inserted;
        LONG SignalState;
        LIST_ENTRY WaitListHead;
    } DISPATCHER_HEADER, *PDISPATCHER_HEADER;

    typedef struct _KEVENT
    {
        DISPATCHER_HEADER Header;
    } KEVENT, *PKEVENT, *PRKEVENT;

    typedef struct _KSEMAPHORE
    {
        DISPATCHER_HEADER Header;
        LONG Limit;
    } KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

    typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
    typedef struct _ETHREAD* PETHREAD;
    typedef struct _KPROCESS *PKPROCESS, *PRKPROCESS;
    typedef struct _EPROCESS* PEPROCESS;
    typedef struct _OBJECT_TYPE* POBJECT_TYPE;

    VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
    LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
    VOID KeClearEvent(PRKEVENT Event);
    LONG KeResetEvent(PRKEVENT Event);
    LONG KeReadStateEvent(PRKEVENT Event);
    VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
    LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
    LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);
    NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                   BOOLEAN Alertable, PLARGE_INTEGER Timeout);
    NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);
    VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
    ULONGLONG KeQueryInterruptTime(void);

    // ---- Spin locks ------------------------------------------------------------------------------------
    typedef ULONG_PTR KSPIN_LOCK;
    typedef KSPIN_LOCK* PKSPIN_LOCK;

    VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
    KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
    VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
    VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
    VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) *(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock)

    // ---- Interlocked operations ------------------------------------------------------------------------
    inline LONG InterlockedIncrement(LONG volatile* Addend)
    {
        return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
    }
    inline LONG InterlockedDecrement(LONG volatile* Addend)
    {
        return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
    }
    inline LONG InterlockedExchange(LONG volatile* Target, LONG Value)
    {
        return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
    }
    inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value)
    {
        return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
    }
    inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand)
    {
        __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST);
        return Comparand;
    }
    inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* Addend, LONG64 Value)
    {
        return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
    }
    inline LONG64 InterlockedExchange64(LONG64 volatile* Target, LONG64 Value)
    {
        return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
    }
    inline LONG64 InterlockedCompareExchange64(LONG64 volatile* Destination, LONG64 Exchange,
                                               LONG64 Comparand)
    {
        __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST);
        return Comparand;
    }
    inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value)
    {
        return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
    }
    inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                                   PVOID Comparand)
    {
        __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST);
        return Comparand;
    }

    // ---- Bug checks ------------------------------------------------------------------------------------
    DECLSPEC_NORETURN VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                                        ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                                        ULONG_PTR BugCheckParameter4);
    DECLSPEC_NORETURN VOID KeBugCheck(ULONG BugCheckCode);

#define ASSERT(exp) ((void)0)
#define NT_ASSERT(exp) ((void)0)
#define PAGED_CODE() ((void)0)

    // ---- Pool ------------------------------------------------------------------------------------------
    typedef enum _POOL_TYPE
    {
        NonPagedPool = 0,
        NonPagedPoolExecute = 0,
        PagedPool = 1,
        NonPagedPoolMustSucceed = 2,
        DontUseThisType = 3,
        NonPagedPoolCacheAligned = 4,
        PagedPoolCacheAligned = 5,
        NonPagedPoolCacheAlignedMustS = 6,
        NonPagedPoolNx = 512,
        NonPagedPoolNxCacheAligned = 516
    } POOL_TYPE;

    typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_REQUIRED_START 0x0000000000000001ULL
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL

    PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
    PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
    VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
    VOID ExFreePool(PVOID P);
#define ExAllocatePool(type, size) ExAllocatePoolWithTag(type, size, 0x656E6F4E /* 'None' */)

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12L
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(PAGE_SIZE - 1)))
#define BYTE_OFFSET(Va) ((ULONG)((LONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define ROUND_TO_PAGES(Size) (((ULONG_PTR)(Size) + PAGE_SIZE - 1) & ~(PAGE_SIZE - 1))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size)                                                             \
    ((ULONG)((((ULONG_PTR)(Size)) >> PAGE_SHIFT) +                                                           \
             ((BYTE_OFFSET(Va) + ((Size) & (PAGE_SIZE - 1)) + PAGE_SIZE - 1) >> PAGE_SHIFT)))

// ---- Run-time library ------------------------------------------------------------------------------
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
    SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);
    VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
    LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
    BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                  BOOLEAN CaseInSensitive);
    WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
    VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);

    typedef struct _OSVERSIONINFOW
    {
        ULONG dwOSVersionInfoSize;
        ULONG dwMajorVersion;
        ULONG dwMinorVersion;
        ULONG dwBuildNumber;
        ULONG dwPlatformId;
        WCHAR szCSDVersion[128];
    } RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;
    NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);
    BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version);
    BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                         PUNICODE_STRING CSDVersion);
    PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

#define NTDDI_WIN2K 0x05000000
#define NTDDI_WINXP 0x05010000
#define NTDDI_WS03 0x05020000
#define NTDDI_VISTA 0x06000000
#define NTDDI_WIN7 0x06010000
#define NTDDI_WIN8 0x06020000
#define NTDDI_WIN10 0x0A000000

    // ---- Memory descriptor lists -----------------------------------------------------------------------
    typedef struct _MDL
    {
        struct _MDL* Next;
        CSHORT Size;
        CSHORT MdlFlags;
        struct _EPROCESS* Process;
        PVOID MappedSystemVa;
        PVOID StartVa;
        ULONG ByteCount;
        ULONG ByteOffset;
    } MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080

    typedef enum _MEMORY_CACHING_TYPE
    {
        MmNonCached = 0,
        MmCached = 1,
        MmWriteCombined = 2,
        MmHardwareCoherentCached,
        MmNonCachedUnordered,
        MmUSWCCached,
        MmMaximumCacheType
    } MEMORY_CACHING_TYPE;

    typedef enum _MM_PAGE_PRIORITY
    {
        LowPagePriority,
        NormalPagePriority = 16,
        HighPagePriority = 32
    } MM_PAGE_PRIORITY;

#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000

    typedef enum _LOCK_OPERATION
    {
        IoReadAccess,
        IoWriteAccess,
        IoModifyAccess
    } LOCK_OPERATION;

    struct _IRP;
    PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                       struct _IRP* Irp);
    VOID IoFreeMdl(PMDL Mdl);
    VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
    VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
    VOID MmUnlockPages(PMDL MemoryDescriptorList);
    PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                       MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                       ULONG BugCheckOnFailure, ULONG Priority);
    VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);

#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetSystemAddressForMdlSafe(_Mdl, _Priority)                                                        \
    (((_Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))                            \
         ? ((_Mdl)->MappedSystemVa)                                                                          \
         : (MmMapLockedPagesSpecifyCache((_Mdl), KernelMode, MmCached, NULL, FALSE, (_Priority))))

    // ---- Objects, handles, threads ---------------------------------------------------------------------
    typedef struct _OBJECT_HANDLE_INFORMATION
    {
        ULONG HandleAttributes;
        ACCESS_MASK GrantedAccess;
    } OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define THREAD_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)

    extern POBJECT_TYPE* PsThreadType;
    extern POBJECT_TYPE* ExEventObjectType;
    extern POBJECT_TYPE* IoFileObjectType;

    NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                       KPROCESSOR_MODE AccessMode, PVOID* Object,
                                       POBJECT_HANDLE_INFORMATION HandleInformation);
    LONG_PTR ObfReferenceObject(PVOID Object);
    LONG_PTR ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
    NTSTATUS ZwClose(HANDLE Handle);

    typedef VOID KSTART_ROUTINE(PVOID StartContext);
    typedef KSTART_ROUTINE* PKSTART_ROUTINE;

    NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                  PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext);
    DECLSPEC_NORETURN NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
    PKTHREAD KeGetCurrentThread(void);
    PETHREAD PsGetCurrentThread(void);
    HANDLE PsGetCurrentProcessId(void);
    HANDLE PsGetCurrentThreadId(void);
    KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
    KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);
#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

// ---- I/O manager: codes ----------------------------------------------------------------------------
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SCSI IRP_MJ_INTERNAL_DEVICE_CONTROL
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_PNP_POWER IRP_MJ_PNP
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_READ_CONFIG 0x0F
#define IRP_MN_WRITE_CONFIG 0x10
#define IRP_MN_EJECT 0x11
#define IRP_MN_SET_LOCK 0x12
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_QUERY_BUS_INFORMATION 0x15
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17
#define IRP_MN_DEVICE_ENUMERATED 0x19

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define IRP_MN_SCSI_CLASS 0x01

#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

#define IO_NO_INCREMENT 0
#define IO_DISK_INCREMENT 1
#define IO_SERIAL_INCREMENT 2

#define IRP_NOCACHE 0x00000001
#define IRP_PAGING_IO 0x00000002
#define IRP_MOUNT_COMPLETION 0x00000002
#define IRP_SYNCHRONOUS_API 0x00000004
#define IRP_ASSOCIATED_IRP 0x00000008
#define IRP_BUFFERED_IO 0x00000010
#define IRP_DEALLOCATE_BUFFER 0x00000020
#define IRP_INPUT_OPERATION 0x00000040
#define IRP_SYNCHRONOUS_PAGING_IO 0x00000040
#define IRP_CREATE_OPERATION 0x00000080
#define IRP_READ_OPERATION 0x00000100
#define IRP_WRITE_OPERATION 0x00000200
#define IRP_CLOSE_OPERATION 0x00000400

    // Device types, characteristics and flags.
    typedef ULONG DEVICE_TYPE;
#define FILE_DEVICE_CD_ROM 0x00000002
#define FILE_DEVICE_CONTROLLER 0x00000004
#define FILE_DEVICE_DISK 0x00000007
#define FILE_DEVICE_DISK_FILE_SYSTEM 0x00000008
#define FILE_DEVICE_FILE_SYSTEM 0x00000009
#define FILE_DEVICE_NULL 0x00000015
#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_MASS_STORAGE 0x0000002d

#define FILE_REMOVABLE_MEDIA 0x00000001
#define FILE_READ_ONLY_DEVICE 0x00000002
#define FILE_FLOPPY_DISKETTE 0x00000004
#define FILE_WRITE_ONCE_MEDIA 0x00000008
#define FILE_REMOTE_DEVICE 0x00000010
#define FILE_DEVICE_IS_MOUNTED 0x00000020
#define FILE_VIRTUAL_VOLUME 0x00000040
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080
#define FILE_DEVICE_SECURE_OPEN 0x00000100

#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_HAS_NAME 0x00000040
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_SYSTEM_BOOT_PARTITION 0x00000100
#define DO_LONG_TERM_REQUESTS 0x00000200
#define DO_NEVER_LAST_DEVICE 0x00000400
#define DO_SHUTDOWN_REGISTERED 0x00000800
#define DO_BUS_ENUMERATED_DEVICE 0x00001000
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access)                                                       \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) (((ULONG)(ctrlCode & 0xffff0000)) >> 16)
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)(ctrlCode & 3))
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_SPECIAL_ACCESS (FILE_ANY_ACCESS)
#define FILE_READ_ACCESS (0x0001)
#define FILE_WRITE_ACCESS (0x0002)
#endif

    // ---- I/O manager: structures -----------------------------------------------------------------------
    typedef struct _IO_STATUS_BLOCK
    {
        union {
            NTSTATUS Status;
            PVOID Pointer;
        };
        ULONG_PTR Information;
    } IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

    struct _DEVICE_OBJECT;
    struct _DRIVER_OBJECT;
    struct _FILE_OBJECT;
    struct _SCSI_REQUEST_BLOCK;

    typedef NTSTATUS DRIVER_INITIALIZE(struct _DRIVER_OBJECT* DriverObject, PUNICODE_STRING RegistryPath);
    typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
    typedef NTSTATUS DRIVER_ADD_DEVICE(struct _DRIVER_OBJECT* DriverObject,
                                       struct _DEVICE_OBJECT* PhysicalDeviceObject);
    typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
    typedef VOID DRIVER_UNLOAD(struct _DRIVER_OBJECT* DriverObject);
    typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
    typedef NTSTATUS DRIVER_DISPATCH(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
    typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
    typedef DRIVER_DISPATCH DRIVER_DISPATCH_PAGED;
    typedef VOID DRIVER_STARTIO(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
    typedef DRIVER_STARTIO* PDRIVER_STARTIO;
    typedef NTSTATUS IO_COMPLETION_ROUTINE(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp,
                                           PVOID Context);
    typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
    typedef VOID DRIVER_CANCEL(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
    typedef DRIVER_CANCEL* PDRIVER_CANCEL;

    typedef struct _DRIVER_EXTENSION
    {
        struct _DRIVER_OBJECT* DriverObject;
        PDRIVER_ADD_DEVICE AddDevice;
        ULONG Count;
        UNICODE_STRING ServiceKeyName;
    } DRIVER_EXTENSION, *PDRIVER_EXTENSION;

    typedef struct _DRIVER_OBJECT
    {
        CSHORT Type;
        CSHORT Size;
        struct _DEVICE_OBJECT* DeviceObject;
        ULONG Flags;
        PVOID DriverStart;
        ULONG DriverSize;
        PVOID DriverSection;
        PDRIVER_EXTENSION DriverExtension;
        UNICODE_STRING DriverName;
        PUNICODE_STRING HardwareDatabase;
        PVOID FastIoDispatch;
        PDRIVER_INITIALIZE DriverInit;
        PDRIVER_STARTIO DriverStartIo;
        PDRIVER_UNLOAD DriverUnload;
        PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
    } DRIVER_OBJECT, *PDRIVER_OBJECT;

    typedef struct _DEVICE_OBJECT
    {
        CSHORT Type;
        USHORT Size;
        LONG ReferenceCount;
        struct _DRIVER_OBJECT* DriverObject;
        struct _DEVICE_OBJECT* NextDevice;
        struct _DEVICE_OBJECT* AttachedDevice;
        struct _IRP* CurrentIrp;
        PVOID Timer;
        ULONG Flags;
        ULONG Characteristics;
        PVOID Vpb;
        PVOID DeviceExtension;
        DEVICE_TYPE DeviceType;
        CCHAR StackSize;
        ULONG AlignmentRequirement;
        ULONG ActiveThreadCount;
        PVOID SecurityDescriptor;
        USHORT SectorSize;
        USHORT Spare1;
        PVOID DeviceObjectExtension;
        PVOID Reserved;
    } DEVICE_OBJECT, *PDEVICE_OBJECT;

    typedef struct _FILE_OBJECT
    {
        CSHORT Type;
        CSHORT Size;
        PDEVICE_OBJECT DeviceObject;
        PVOID FsContext;
        PVOID FsContext2;
    } FILE_OBJECT, *PFILE_OBJECT;

    typedef enum _DEVICE_RELATION_TYPE
    {
        BusRelations,
        EjectionRelations,
        PowerRelations,
        RemovalRelations,
        TargetDeviceRelation,
        SingleBusRelations,
        TransportRelations
    } DEVICE_RELATION_TYPE, *PDEVICE_RELATION_TYPE;

    typedef struct _DEVICE_RELATIONS
    {
        ULONG Count;
        PDEVICE_OBJECT Objects[1];
    } DEVICE_RELATIONS, *PDEVICE_RELATIONS;

    typedef enum _DEVICE_USAGE_NOTIFICATION_TYPE
    {
        DeviceUsageTypeUndefined,
        DeviceUsageTypePaging,
        DeviceUsageTypeHibernation,
        DeviceUsageTypeDumpFile,
        DeviceUsageTypeBoot,
        DeviceUsageTypePostDisplay
    } DEVICE_USAGE_NOTIFICATION_TYPE;

    typedef enum _BUS_QUERY_ID_TYPE
    {
        BusQueryDeviceID,
        BusQueryHardwareIDs,
        BusQueryCompatibleIDs,
        BusQueryInstanceID,
        BusQueryDeviceSerialNumber,
        BusQueryContainerID
    } BUS_QUERY_ID_TYPE, *PBUS_QUERY_ID_TYPE;

    typedef enum _SYSTEM_POWER_STATE
    {
        PowerSystemUnspecified = 0,
        PowerSystemWorking,
        PowerSystemSleeping1,
        PowerSystemSleeping2,
        PowerSystemSleeping3,
        PowerSystemHibernate,
        PowerSystemShutdown,
        PowerSystemMaximum
    } SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;

    typedef enum _DEVICE_POWER_STATE
    {
        PowerDeviceUnspecified = 0,
        PowerDeviceD0,
        PowerDeviceD1,
        PowerDeviceD2,
        PowerDeviceD3,
        PowerDeviceMaximum
    } DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

    typedef union _POWER_STATE {
        SYSTEM_POWER_STATE SystemState;
        DEVICE_POWER_STATE DeviceState;
    } POWER_STATE, *PPOWER_STATE;

    typedef enum _POWER_STATE_TYPE
    {
        SystemPowerState = 0,
        DevicePowerState
    } POWER_STATE_TYPE, *PPOWER_STATE_TYPE;

    typedef enum _POWER_ACTION
    {
        PowerActionNone = 0,
        PowerActionReserved,
        PowerActionSleep,
        PowerActionHibernate,
        PowerActionShutdown,
        PowerActionShutdownReset,
        PowerActionShutdownOff,
        PowerActionWarmEject
    } POWER_ACTION, *PPOWER_ACTION;

    typedef struct _DEVICE_CAPABILITIES
    {
        USHORT Size;
        USHORT Version;
        ULONG DeviceD1 : 1;
        ULONG DeviceD2 : 1;
        ULONG LockSupported : 1;
        ULONG EjectSupported : 1;
        ULONG Removable : 1;
        ULONG DockDevice : 1;
        ULONG UniqueID : 1;
        ULONG SilentInstall : 1;
        ULONG RawDeviceOK : 1;
        ULONG SurpriseRemovalOK : 1;
        ULONG WakeFromD0 : 1;
        ULONG WakeFromD1 : 1;
        ULONG WakeFromD2 : 1;
        ULONG WakeFromD3 : 1;
        ULONG HardwareDisabled : 1;
        ULONG NonDynamic : 1;
        ULONG WarmEjectSupported : 1;
        ULONG NoDisplayInUI : 1;
        ULONG Reserved1 : 1;
        ULONG Reserved : 13;
        ULONG Address;
        ULONG UINumber;
        DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
        SYSTEM_POWER_STATE SystemWake;
        DEVICE_POWER_STATE DeviceWake;
        ULONG D1Latency;
        ULONG D2Latency;
        ULONG D3Latency;
    } DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

    typedef struct _IO_STACK_LOCATION
    {
        UCHAR MajorFunction;
        UCHAR MinorFunction;
        UCHAR Flags;
        UCHAR Control;
        union {
            struct
            {
                PVOID SecurityContext;
                ULONG Options;
                USHORT FileAttributes;
                USHORT ShareAccess;
                ULONG EaLength;
            } Create;
            struct
            {
                ULONG Length;
                ULONG Key;
                LARGE_INTEGER ByteOffset;
            } Read;
            struct
            {
                ULONG Length;
                ULONG Key;
                LARGE_INTEGER ByteOffset;
            } Write;
            struct
            {
                ULONG OutputBufferLength;
                ULONG InputBufferLength;
                ULONG IoControlCode;
                PVOID Type3InputBuffer;
            } DeviceIoControl;
            struct
            {
                DEVICE_RELATION_TYPE Type;
            } QueryDeviceRelations;
            struct
            {
                PDEVICE_CAPABILITIES Capabilities;
            } DeviceCapabilities;
            struct
            {
                BUS_QUERY_ID_TYPE IdType;
            } QueryId;
            struct
            {
                BOOLEAN InPath;
                BOOLEAN Reserved[3];
                DEVICE_USAGE_NOTIFICATION_TYPE Type;
            } UsageNotification;
            struct
            {
                SYSTEM_POWER_STATE PowerState;
            } WaitWake;
            struct
            {
                ULONG SystemContext;
                POWER_STATE_TYPE Type;
                POWER_STATE State;
                POWER_ACTION ShutdownType;
            } Power;
            struct
            {
                PVOID AllocatedResources;
                PVOID AllocatedResourcesTranslated;
            } StartDevice;
            struct
            {
                struct _SCSI_REQUEST_BLOCK* Srb;
            } Scsi;
            struct
            {
                PVOID Argument1;
                PVOID Argument2;
                PVOID Argument3;
                PVOID Argument4;
            } Others;
        } Parameters;
        PDEVICE_OBJECT DeviceObject;
        PFILE_OBJECT FileObject;
        PIO_COMPLETION_ROUTINE CompletionRoutine;
        PVOID Context;
    } IO_STACK_LOCATION, *PIO_STACK_LOCATION;

    typedef struct _IRP
    {
        CSHORT Type;
        USHORT Size;
        PMDL MdlAddress;
        ULONG Flags;
        union {
            struct _IRP* MasterIrp;
            LONG IrpCount;
            PVOID SystemBuffer;
        } AssociatedIrp;
        LIST_ENTRY ThreadListEntry;
        IO_STATUS_BLOCK IoStatus;
        KPROCESSOR_MODE RequestorMode;
        BOOLEAN PendingReturned;
        CCHAR StackCount;
        CCHAR CurrentLocation;
        BOOLEAN Cancel;
        KIRQL CancelIrql;
        CCHAR ApcEnvironment;
        UCHAR AllocationFlags;
        PIO_STATUS_BLOCK UserIosb;
        PKEVENT UserEvent;
        PDRIVER_CANCEL CancelRoutine;
        PVOID UserBuffer;
        union {
            struct
            {
                PVOID DriverContext[4];
                PETHREAD Thread;
                PCHAR AuxiliaryBuffer;
                LIST_ENTRY ListEntry;
                struct _IO_STACK_LOCATION* CurrentStackLocation;
                PFILE_OBJECT OriginalFileObject;
            } Overlay;
        } Tail;
    } IRP, *PIRP;

#define IoSizeOfIrp(StackSize) ((USHORT)(sizeof(IRP) + ((StackSize) * (sizeof(IO_STACK_LOCATION)))))

    // ---- I/O manager: routines -------------------------------------------------------------------------
    NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                            PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics,
                            BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject);
    VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
    PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
    VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice);
    PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject);
    PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
    PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject);

    typedef enum _DEVICE_REGISTRY_PROPERTY
    {
        DevicePropertyDeviceDescription = 0x0,
        DevicePropertyHardwareID = 0x1,
        DevicePropertyCompatibleIDs = 0x2,
        DevicePropertyBootConfiguration = 0x3,
        DevicePropertyBootConfigurationTranslated = 0x4,
        DevicePropertyClassName = 0x5,
        DevicePropertyClassGuid = 0x6,
        DevicePropertyDriverKeyName = 0x7,
        DevicePropertyManufacturer = 0x8,
        DevicePropertyFriendlyName = 0x9,
        DevicePropertyLocationInformation = 0xa,
        DevicePropertyPhysicalDeviceObjectName = 0xb,
        DevicePropertyBusTypeGuid = 0xc,
        DevicePropertyLegacyBusType = 0xd,
        DevicePropertyBusNumber = 0xe,
        DevicePropertyEnumeratorName = 0xf,
        DevicePropertyAddress = 0x10,
        DevicePropertyUINumber = 0x11,
        DevicePropertyInstallState = 0x12,
        DevicePropertyRemovalPolicy = 0x13,
        DevicePropertyResourceRequirements = 0x14,
        DevicePropertyAllocatedResources = 0x15,
        DevicePropertyContainerID = 0x16
    } DEVICE_REGISTRY_PROPERTY;

    NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                 ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength);

    // ---- The registry: a device's hardware key ("Device Parameters") and its values ----------------------
#define REG_NONE 0
#define REG_SZ 1
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_QWORD 11
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ (READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY)
#define KEY_WRITE (READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY)
#define KEY_ALL_ACCESS 0xF003F
#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define REG_OPTION_NON_VOLATILE 0
#define REG_OPTION_VOLATILE 1
#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

    typedef enum _KEY_VALUE_INFORMATION_CLASS
    {
        KeyValueBasicInformation = 0,
        KeyValueFullInformation = 1,
        KeyValuePartialInformation = 2
    } KEY_VALUE_INFORMATION_CLASS;

    typedef struct _KEY_VALUE_PARTIAL_INFORMATION
    {
        ULONG TitleIndex;
        ULONG Type;
        ULONG DataLength;
        UCHAR Data[1];
    } KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

    NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                     ACCESS_MASK DesiredAccess, PHANDLE DeviceRegKey);
    NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                         ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
    NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                           PVOID Data, ULONG DataSize);
    NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                             ULONG Length, PULONG ResultLength);

    PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
    VOID IoFreeIrp(PIRP Irp);
    VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus);
    VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize);
    PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                       ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                       BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                       PIO_STATUS_BLOCK IoStatusBlock);
    PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                      ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                      PIO_STATUS_BLOCK IoStatusBlock);
    NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCallDriver(a, b) IofCallDriver(a, b)
#define IoCompleteRequest(a, b) IofCompleteRequest(a, b)
    VOID IoMarkIrpPending(PIRP Irp);
    BOOLEAN IoCancelIrp(PIRP Irp);
    VOID IoAcquireCancelSpinLock(PKIRQL Irql);
    VOID IoReleaseCancelSpinLock(KIRQL Irql);

    inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine)
    {
        return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
    }

    // The simulation's hook behind the stack-location helpers: it checks that the calling driver still owns
    // the IRP (not passed down without a completion routine, not completed, not freed).
    VOID WinsimIrpTouch(PIRP Irp);
    // The same for the next location, which must exist: writing below the first location corrupts the IRP.
    VOID WinsimIrpTouchNext(PIRP Irp);

    inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
    {
        WinsimIrpTouch(Irp);
        return Irp->Tail.Overlay.CurrentStackLocation;
    }

    inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp)
    {
        WinsimIrpTouch(Irp);
        return Irp->Tail.Overlay.CurrentStackLocation - 1;
    }

    inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp)
    {
        WinsimIrpTouch(Irp);
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
    }

    inline VOID IoSetNextIrpStackLocation(PIRP Irp)
    {
        WinsimIrpTouch(Irp);
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
    }

    inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
    {
        PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
        PIO_STACK_LOCATION nextIrpSp = IoGetNextIrpStackLocation(Irp);
        memcpy(nextIrpSp, irpSp, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
        nextIrpSp->Control = 0;
    }

    inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                       BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
    {
        PIO_STACK_LOCATION irpSp = IoGetNextIrpStackLocation(Irp);
        irpSp->CompletionRoutine = CompletionRoutine;
        irpSp->Context = Context;
        irpSp->Control = 0;
        if (InvokeOnSuccess)
        {
            irpSp->Control = SL_INVOKE_ON_SUCCESS;
        }
        if (InvokeOnError)
        {
            irpSp->Control |= SL_INVOKE_ON_ERROR;
        }
        if (InvokeOnCancel)
        {
            irpSp->Control |= SL_INVOKE_ON_CANCEL;
        }
    }

    // ---- Remove locks ----------------------------------------------------------------------------------
    typedef struct _IO_REMOVE_LOCK_COMMON_BLOCK
    {
        BOOLEAN Removed;
        BOOLEAN Reserved[3];
        LONG IoCount;
        KEVENT RemoveEvent;
    } IO_REMOVE_LOCK_COMMON_BLOCK;

    typedef struct _IO_REMOVE_LOCK_DBG_BLOCK
    {
        LONG Signature;
        LONG HighWatermark;
        LONGLONG MaxLockedTicks;
        LONG AllocateTag;
        LIST_ENTRY LockList;
        KSPIN_LOCK Spin;
        LONG LowMemoryCount;
        ULONG Reserved1[4];
        PVOID Reserved2;
        PVOID Blocks;
    } IO_REMOVE_LOCK_DBG_BLOCK;

    typedef struct _IO_REMOVE_LOCK
    {
        IO_REMOVE_LOCK_COMMON_BLOCK Common;
        IO_REMOVE_LOCK_DBG_BLOCK Dbg;
    } IO_REMOVE_LOCK, *PIO_REMOVE_LOCK;

    VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                  ULONG HighWatermark, ULONG RemlockSize);
    NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                   ULONG RemlockSize);
    VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize);
    VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize);

#define IoInitializeRemoveLock(Lock, AllocateTag, MaxLockedMinutes, HighWatermark)                           \
    IoInitializeRemoveLockEx(Lock, AllocateTag, MaxLockedMinutes, HighWatermark, sizeof(IO_REMOVE_LOCK))
#define IoAcquireRemoveLock(RemoveLock, Tag)                                                                 \
    IoAcquireRemoveLockEx(RemoveLock, Tag, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK))
#define IoReleaseRemoveLock(RemoveLock, Tag) IoReleaseRemoveLockEx(RemoveLock, Tag, sizeof(IO_REMOVE_LOCK))
#define IoReleaseRemoveLockAndWait(RemoveLock, Tag)                                                          \
    IoReleaseRemoveLockAndWaitEx(RemoveLock, Tag, sizeof(IO_REMOVE_LOCK))

    // ---- Power manager ---------------------------------------------------------------------------------
    VOID PoStartNextPowerIrp(PIRP Irp);
    NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State);

} // extern "C"
