// Pool accounting, misuse detection, failure injection and placement; MDL building and mapping.
#include "winsim/kernel/winsim_kernel.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using winsim::BugCheckError;
using winsim::BugCheckTrap;
using winsim::PoolTag;

namespace
{

constexpr ULONG kTag = PoolTag("USUe");

class PoolTest : public ::testing::Test
{
protected:
    winsim::ScopedKernel kernel;
};

TEST_F(PoolTest, TagAccountingCountsBlocksAndBytes)
{
    static_assert(PoolTag("USUe") == 0x65555355, "tag bytes in memory order");
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
    PVOID b = ExAllocatePool2(POOL_FLAG_NON_PAGED, 28, kTag);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(0, static_cast<UCHAR*>(b)[27]) << "ExAllocatePool2 zeroes";
    EXPECT_NE(0, static_cast<UCHAR*>(a)[99]) << "ExAllocatePoolWithTag does not";
    auto stats = winsim::PoolStats(kTag);
    EXPECT_EQ(2u, stats.outstandingBlocks);
    EXPECT_EQ(128u, stats.outstandingBytes);
    ExFreePoolWithTag(a, kTag);
    ExFreePool(b);
    stats = winsim::PoolStats(kTag);
    EXPECT_EQ(0u, stats.outstandingBlocks);
    EXPECT_EQ(0u, stats.outstandingBytes);
    EXPECT_EQ(2u, stats.frees);
}

TEST_F(PoolTest, FreeMisuseIsCaught)
{
    BugCheckTrap trap;
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    EXPECT_THROW(ExFreePoolWithTag(block, PoolTag("Othr")), BugCheckError) << "wrong tag";
    ExFreePoolWithTag(block, kTag);
    EXPECT_THROW(ExFreePoolWithTag(block, kTag), BugCheckError) << "double free";
    int local = 0;
    EXPECT_THROW(ExFreePool(&local), BugCheckError) << "not a pool block";
    PVOID paged = ExAllocatePoolWithTag(PagedPool, 16, kTag);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_THROW(ExAllocatePoolWithTag(PagedPool, 16, kTag), BugCheckError) << "paged pool at DISPATCH_LEVEL";
    EXPECT_THROW(ExFreePoolWithTag(paged, kTag), BugCheckError);
    KeLowerIrql(old);
    EXPECT_EQ(5u, trap.Count(BAD_POOL_CALLER));
    const auto records = trap.Recorded();
    EXPECT_EQ(0x0Au, records[0].parameters[0]);
    EXPECT_EQ(0x07u, records[1].parameters[0]);
}

// Large blocks are kept for reuse after their free; a reused one is still a fresh block: counted again,
// filled with the pattern and not with what its last owner left, and freeing it twice is still caught.
TEST_F(PoolTest, AReusedLargeBlockIsAFreshBlock)
{
    BugCheckTrap trap;
    constexpr SIZE_T kLarge = 1024 * 1024;
    winsim::SetNextAllocationOffset(0);
    auto* first = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kLarge, kTag));
    ASSERT_NE(nullptr, first);
    memset(first, 0x11, kLarge);
    ExFreePoolWithTag(first, kTag);
    winsim::SetNextAllocationOffset(0);
    auto* second = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, kLarge, kTag));
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(0xA5, second[0]);
    EXPECT_EQ(0xA5, second[kLarge - 1]);
    EXPECT_EQ(1u, winsim::PoolStats(kTag).outstandingBlocks);
    ExFreePoolWithTag(second, kTag);
    EXPECT_THROW(ExFreePoolWithTag(second, kTag), BugCheckError) << "double free";
    EXPECT_EQ(0u, winsim::PoolOutstandingBlocks());
}

TEST_F(PoolTest, FailureInjectionEveryNthAndAtN)
{
    winsim::SetPoolFailureTag(kTag);
    winsim::FailEveryNthAllocation(3);
    std::vector<bool> got;
    for (int i = 0; i < 6; ++i)
    {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
        got.push_back(p != nullptr);
        if (p)
        {
            ExFreePoolWithTag(p, kTag);
        }
        PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("Othr"));
        EXPECT_NE(nullptr, other) << "other tags are not counted";
        ExFreePoolWithTag(other, PoolTag("Othr"));
    }
    EXPECT_EQ((std::vector<bool>{true, true, false, true, true, false}), got);
    winsim::FailEveryNthAllocation(0);

    // The fail-at-N loop: only the N-th counted allocation from now fails, once.
    winsim::FailAllocationAt(2);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(nullptr, second);
    EXPECT_NE(nullptr, third);
    EXPECT_EQ(3u, winsim::InjectedPoolFailures());
    ExFreePoolWithTag(first, kTag);
    ExFreePoolWithTag(third, kTag);
}

// With a size set only blocks of exactly that size count, of the failure tag when one is set too: the
// copy of a two-entry relations list fails while the same driver's other blocks do not, and the count of
// the fail-at-N loop skips them. The reset forgets the size.
TEST_F(PoolTest, FailureInjectionAimedAtOneSize)
{
    constexpr SIZE_T kRelations = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + 2 * sizeof(PDEVICE_OBJECT);
    constexpr ULONG kOther = PoolTag("Othr");
    winsim::SetPoolFailureTag(kTag);
    winsim::SetPoolFailureSize(kRelations);
    winsim::FailEveryNthAllocation(1);
    PVOID smaller = ExAllocatePoolWithTag(NonPagedPool, kRelations - 8, kTag);
    PVOID larger = ExAllocatePoolWithTag(PagedPool, kRelations + 8, kTag);
    PVOID otherTag = ExAllocatePoolWithTag(PagedPool, kRelations, kOther);
    EXPECT_NE(nullptr, smaller);
    EXPECT_NE(nullptr, larger);
    EXPECT_NE(nullptr, otherTag);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(PagedPool, kRelations, kTag));
    EXPECT_EQ(nullptr, ExAllocatePool2(POOL_FLAG_PAGED, kRelations, kTag));
    EXPECT_EQ(2u, winsim::InjectedPoolFailures());
    ExFreePoolWithTag(smaller, kTag);
    ExFreePoolWithTag(larger, kTag);
    ExFreePoolWithTag(otherTag, kOther);

    // Without a tag, the size alone decides; blocks of other sizes do not move the count.
    winsim::SetPoolFailureTag(0);
    winsim::FailEveryNthAllocation(0);
    winsim::FailAllocationAt(2);
    std::vector<bool> got;
    std::vector<std::pair<PVOID, ULONG>> blocks;
    for (const auto& request : {std::pair<SIZE_T, ULONG>{kRelations, kOther},
                                {64, kTag},
                                {kRelations + 16, kOther},
                                {kRelations, kTag},
                                {kRelations, kOther}})
    {
        PVOID block = ExAllocatePoolWithTag(PagedPool, request.first, request.second);
        got.push_back(block != nullptr);
        if (block != nullptr)
        {
            blocks.emplace_back(block, request.second);
        }
    }
    EXPECT_EQ((std::vector<bool>{true, true, true, false, true}), got);
    for (const auto& block : blocks)
    {
        ExFreePoolWithTag(block.first, block.second);
    }

    winsim::ResetKernel();
    winsim::SetPoolFailureTag(kTag);
    winsim::FailAllocationAt(1);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 64, kTag)) << "any size counts after the reset";
}

TEST_F(PoolTest, PlacementVariesAndCanBeForced)
{
    bool sawAligned = false, sawUnaligned = false;
    std::vector<PVOID> blocks;
    for (int i = 0; i < 64; ++i)
    {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
        EXPECT_EQ(0u, ULONG_PTR(p) % 16);
        (ULONG_PTR(p) % PAGE_SIZE == 0 ? sawAligned : sawUnaligned) = true;
        blocks.push_back(p);
    }
    EXPECT_TRUE(sawAligned && sawUnaligned);
    winsim::SetNextAllocationOffset(0);
    PVOID aligned = ExAllocatePoolWithTag(NonPagedPool, 4096 + 100, kTag);
    EXPECT_EQ(0u, ULONG_PTR(aligned) % PAGE_SIZE);
    winsim::SetNextAllocationOffset(48);
    PVOID offset = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
    EXPECT_EQ(48u, ULONG_PTR(offset) % PAGE_SIZE);
    blocks.push_back(aligned);
    blocks.push_back(offset);
    for (PVOID p : blocks)
    {
        ExFreePoolWithTag(p, kTag);
    }
}

TEST_F(PoolTest, DriverUnloadWithOutstandingPoolIsCaught)
{
    PDRIVER_OBJECT driver = winsim::LoadDriver(u"Leaky", [](PDRIVER_OBJECT object, PUNICODE_STRING) {
        object->DriverUnload = [](PDRIVER_OBJECT) {};
        return ExAllocatePoolWithTag(NonPagedPool, 64, kTag) != nullptr ? STATUS_SUCCESS : STATUS_NO_MEMORY;
    });
    ASSERT_NE(nullptr, driver);
    EXPECT_EQ(1u, winsim::PoolBlocksOwnedBy(driver));
    BugCheckTrap trap;
    try
    {
        winsim::UnloadDriver(driver);
        FAIL() << "leak not reported";
    }
    catch (const BugCheckError& error)
    {
        EXPECT_EQ(DRIVER_VERIFIER_DETECTED_VIOLATION, error.code());
        EXPECT_EQ(0x62u, error.info().parameters[0]);
    }
}

TEST_F(PoolTest, MdlDescribesItsBufferAndMappingCanFail)
{
    auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 3000, kTag));
    PMDL mdl = IoAllocateMdl(buffer + 10, 2000, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, mdl);
    EXPECT_EQ(2000u, MmGetMdlByteCount(mdl));
    EXPECT_EQ(buffer + 10, MmGetMdlVirtualAddress(mdl));
    {
        BugCheckTrap trap;
        EXPECT_THROW(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), BugCheckError)
            << "pages not locked";
    }
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    winsim::FailMdlMapping(true);
    EXPECT_EQ(nullptr,
              MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, HighPagePriority));
    winsim::FailMdlMapping(false);
    EXPECT_EQ(buffer + 10, MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);

    PMDL pool = IoAllocateMdl(buffer, 3000, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(pool);
    winsim::FailMdlMapping(true);
    EXPECT_EQ(buffer, MmGetSystemAddressForMdlSafe(pool, NormalPagePriority)) << "pool needs no mapping";
    IoFreeMdl(pool);
    ExFreePoolWithTag(buffer, kTag);
}

} // namespace
