// Kavfiltr.sys loaded as Windows loads a filter of two device nodes: its service loaded into this driver
// process (ZwLoadDriver, since Wine's Plug and Play manager reads no filter lists), found by its driver
// object's name, and handed each physical device through its own AddDevice. Its imports of pool, IRPs and
// system threads are wrapped in its import table, in memory only, so that what it leaves behind after its
// devices are removed can be counted; the file on disk is the shipped one, byte for byte.
#include "tests/wine/datapath/stick.h"

#include <ntimage.h>

__declspec(dllimport) extern POBJECT_TYPE IoDriverObjectType;
NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING name, ULONG attributes, PACCESS_STATE access,
                                       ACCESS_MASK desired, POBJECT_TYPE type, KPROCESSOR_MODE mode,
                                       PVOID parse, PVOID* object);

#define FILTER_SERVICE_KEY L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Kavfiltr"

struct FilterCounts FilterCounts;
static PDRIVER_UNLOAD FilterUnloadRoutine;

static PVOID NTAPI CountedAllocate(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    PVOID block = ExAllocatePoolWithTag(type, bytes, tag);
    if (block != NULL)
    {
        LONG now = InterlockedIncrement(&FilterCounts.pool);
        LONG peak = FilterCounts.poolPeak;
        while (now > peak && InterlockedCompareExchange(&FilterCounts.poolPeak, now, peak) != peak)
        {
            peak = FilterCounts.poolPeak;
        }
    }
    return block;
}

static VOID NTAPI CountedFree(PVOID block, ULONG tag)
{
    InterlockedDecrement(&FilterCounts.pool);
    ExFreePoolWithTag(block, tag);
}

static PIRP NTAPI CountedAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota)
{
    PIRP irp = IoAllocateIrp(stackSize, chargeQuota);
    if (irp != NULL)
    {
        InterlockedIncrement(&FilterCounts.irps);
    }
    return irp;
}

static VOID NTAPI CountedFreeIrp(PIRP irp)
{
    InterlockedDecrement(&FilterCounts.irps);
    IoFreeIrp(irp);
}

static NTSTATUS NTAPI CountedCreateThread(PHANDLE thread, ULONG access, POBJECT_ATTRIBUTES attributes,
                                          HANDLE process, PCLIENT_ID client, PKSTART_ROUTINE routine,
                                          PVOID context)
{
    NTSTATUS status = PsCreateSystemThread(thread, access, attributes, process, client, routine, context);
    if (NT_SUCCESS(status))
    {
        InterlockedIncrement(&FilterCounts.threads);
    }
    return status;
}

static NTSTATUS NTAPI CountedTerminateThread(NTSTATUS exitStatus)
{
    InterlockedDecrement(&FilterCounts.threads);
    return PsTerminateSystemThread(exitStatus);
}

static VOID NTAPI CountedUnload(PDRIVER_OBJECT driver)
{
    InterlockedExchange(&FilterCounts.unloaded, 1);
    FilterUnloadRoutine(driver);
}

struct Wrapper
{
    const char* name;
    PVOID routine;
};

static const struct Wrapper Wrappers[] = {
    {"ExAllocatePoolWithTag", (PVOID)CountedAllocate},
    {"ExFreePoolWithTag", (PVOID)CountedFree},
    {"IoAllocateIrp", (PVOID)CountedAllocateIrp},
    {"IoFreeIrp", (PVOID)CountedFreeIrp},
    {"PsCreateSystemThread", (PVOID)CountedCreateThread},
    {"PsTerminateSystemThread", (PVOID)CountedTerminateThread},
};

static BOOLEAN SameName(const char* a, const char* b)
{
    while (*a != 0 && *a == *b)
    {
        ++a;
        ++b;
    }
    return *a == *b;
}

// Points the image's import slots of the counted routines at their wrappers; the count of slots changed
// is returned so that a build that imports them differently shows up as a failure to count, not as zero.
static ULONG WrapImports(PUCHAR base)
{
    PIMAGE_DOS_HEADER dos = (PIMAGE_DOS_HEADER)base;
    PIMAGE_NT_HEADERS64 nt = (PIMAGE_NT_HEADERS64)(base + dos->e_lfanew);
    IMAGE_DATA_DIRECTORY directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ULONG wrapped = 0;
    for (PIMAGE_IMPORT_DESCRIPTOR import = (PIMAGE_IMPORT_DESCRIPTOR)(base + directory.VirtualAddress);
         import->Name != 0; ++import)
    {
        PIMAGE_THUNK_DATA64 names = (PIMAGE_THUNK_DATA64)(base + import->OriginalFirstThunk);
        PIMAGE_THUNK_DATA64 slots = (PIMAGE_THUNK_DATA64)(base + import->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots)
        {
            if (names->u1.Ordinal & IMAGE_ORDINAL_FLAG64)
            {
                continue;
            }
            PIMAGE_IMPORT_BY_NAME byName = (PIMAGE_IMPORT_BY_NAME)(base + names->u1.AddressOfData);
            for (ULONG index = 0; index < sizeof(Wrappers) / sizeof(Wrappers[0]); ++index)
            {
                if (SameName((const char*)byName->Name, Wrappers[index].name))
                {
                    slots->u1.Function = (ULONGLONG)Wrappers[index].routine;
                    ++wrapped;
                }
            }
        }
    }
    return wrapped;
}

NTSTATUS FilterLoad(PDRIVER_OBJECT* filter)
{
    UNICODE_STRING service;
    RtlInitUnicodeString(&service, FILTER_SERVICE_KEY);
    NTSTATUS status = ZwLoadDriver(&service);
    if (!NT_SUCCESS(status))
    {
        DbgPrint("stick: ZwLoadDriver(Kavfiltr) failed with %#x\n", status);
        return status;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Driver\\Kavfiltr");
    status = ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, NULL, 0, IoDriverObjectType, KernelMode,
                                     NULL, (PVOID*)filter);
    if (!NT_SUCCESS(status))
    {
        DbgPrint("stick: ObReferenceObjectByName(\\Driver\\Kavfiltr) failed with %#x\n", status);
        return status;
    }
    if ((*filter)->DriverStart == NULL || (*filter)->DriverExtension->AddDevice == NULL)
    {
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    ULONG wrapped = WrapImports((*filter)->DriverStart);
    if (wrapped != sizeof(Wrappers) / sizeof(Wrappers[0]))
    {
        DbgPrint("stick: %u of Kavfiltr's counted imports found\n", wrapped);
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    FilterUnloadRoutine = (*filter)->DriverUnload;
    (*filter)->DriverUnload = CountedUnload;
    return STATUS_SUCCESS;
}

NTSTATUS FilterAddDevice(PDRIVER_OBJECT filter, PDEVICE_OBJECT physicalDevice)
{
    return filter->DriverExtension->AddDevice(filter, physicalDevice);
}

NTSTATUS FilterUnload(PDRIVER_OBJECT filter)
{
    ObDereferenceObject(filter);
    UNICODE_STRING service;
    RtlInitUnicodeString(&service, FILTER_SERVICE_KEY);
    return ZwUnloadDriver(&service);
}
