// winsim: memory descriptor lists. Host memory is always resident, so an MDL only records the buffer
// and its state flags; mapping returns the buffer's own address. Checks: mapping an MDL whose pages were
// neither locked nor built for non-paged pool, a mapping failure requested with BugCheckOnFailure,
// building an MDL for pool on a buffer that is not a non-paged pool block is not checked (the caller
// decides). A test knob makes MmMapLockedPagesSpecifyCache fail as it does when system PTEs run out.
#include "winsim/kernel/kernel_state.h"

#include <atomic>

namespace winsim
{
namespace
{

std::atomic<bool> g_failMapping{false};
constexpr ULONG kMdlTag = PoolTag("Mdl ");

detail::ResetHook g_reset(50, [] { g_failMapping = false; });

} // namespace

void FailMdlMapping(bool fail)
{
    g_failMapping = fail;
}

} // namespace winsim

using winsim::detail::BugCheck;

extern "C"
{

    // The MDL comes from pool like any other allocation, so it is counted and can be made to fail.
    PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                       PIRP Irp)
    {
        UNREFERENCED_PARAMETER(ChargeQuota);
        if (Length == 0)
        {
            return nullptr;
        }
        auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), winsim::kMdlTag));
        if (mdl == nullptr)
        {
            return nullptr;
        }
        RtlZeroMemory(mdl, sizeof(MDL));
        mdl->Size = CSHORT(sizeof(MDL));
        mdl->StartVa = PAGE_ALIGN(VirtualAddress);
        mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
        mdl->ByteCount = Length;
        if (Irp != nullptr)
        {
            if (!SecondaryBuffer || Irp->MdlAddress == nullptr)
            {
                Irp->MdlAddress = mdl;
            }
            else
            {
                PMDL last = Irp->MdlAddress;
                while (last->Next != nullptr)
                {
                    last = last->Next;
                }
                last->Next = mdl;
            }
        }
        return mdl;
    }

    VOID IoFreeMdl(PMDL Mdl)
    {
        ExFreePoolWithTag(Mdl, winsim::kMdlTag);
    }

    VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
    {
        MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
        MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    }

    VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
    {
        UNREFERENCED_PARAMETER(AccessMode);
        if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "MmProbeAndLockPages above DISPATCH_LEVEL", KeGetCurrentIrql());
        }
        MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
        if (Operation != IoReadAccess)
        {
            MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
        }
    }

    VOID MmUnlockPages(PMDL MemoryDescriptorList)
    {
        if ((MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) == 0)
        {
            BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "MmUnlockPages on an MDL that is not locked", 0x1010,
                     ULONG_PTR(MemoryDescriptorList));
        }
        MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    }

    PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                       MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                       ULONG BugCheckOnFailure, ULONG Priority)
    {
        UNREFERENCED_PARAMETER(CacheType);
        UNREFERENCED_PARAMETER(RequestedAddress);
        UNREFERENCED_PARAMETER(Priority);
        if (AccessMode != KernelMode)
        {
            BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "MDL mapped to user mode", 0x1011,
                     ULONG_PTR(MemoryDescriptorList));
        }
        if ((MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)) == 0)
        {
            BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "mapping an MDL whose pages are not locked", 0x1012,
                     ULONG_PTR(MemoryDescriptorList));
        }
        if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        {
            BugCheck(IRQL_NOT_LESS_OR_EQUAL, "MmMapLockedPagesSpecifyCache above DISPATCH_LEVEL",
                     KeGetCurrentIrql());
        }
        if (winsim::g_failMapping)
        {
            if (BugCheckOnFailure)
            {
                BugCheck(0x3F /* NO_MORE_SYSTEM_PTES */, "MDL mapping failed with BugCheckOnFailure set", 0,
                         ULONG_PTR(MemoryDescriptorList));
            }
            return nullptr;
        }
        if (MemoryDescriptorList->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)
        {
            return MemoryDescriptorList->MappedSystemVa;
        }
        MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
        MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
        return MemoryDescriptorList->MappedSystemVa;
    }

    VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
    {
        if ((MemoryDescriptorList->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) == 0 ||
            BaseAddress != MemoryDescriptorList->MappedSystemVa)
        {
            BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, "unmapping an address the MDL did not map", 0x1013,
                     ULONG_PTR(MemoryDescriptorList));
        }
        MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
    }

} // extern "C"
