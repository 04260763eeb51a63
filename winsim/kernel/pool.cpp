// winsim: the executive's pool. Every block is tracked with its tag, size, pool type and the driver whose
// code allocated it, so that tests can count outstanding blocks and bytes per tag and UnloadDriver can
// report leaks. Blocks are filled with a pattern (Windows does not zero pool) and placed at varying
// offsets within a page, so code that assumes an alignment meets both cases; a knob fixes the offset of
// the next block. Failure injection fails every Nth allocation or only the Nth from now, counting only the
// allocations of one tag, of one size, or both, when those are set. Checks: freeing a block twice, freeing
// a pointer that is not a pool block, a tag that does not match, allocating or freeing above
// DISPATCH_LEVEL, paged pool at DISPATCH_LEVEL, and a zero-byte request. Like Driver Verifier's special
// pool, the blocks of one tag can be placed at the end of a page followed by an inaccessible one, so that
// reading or writing past a block's end faults at once.
#include "winsim/kernel/kernel_state.h"

#include <sys/mman.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define WINSIM_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define WINSIM_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define WINSIM_POISON(address, size) ((void)(address), (void)(size))
#define WINSIM_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace winsim
{
namespace
{

struct Block
{
    void* raw;
    size_t rawSize;
    size_t size;
    ULONG tag;
    bool paged;
    PDRIVER_OBJECT driver;
    bool special; // mapped on its own, its last page inaccessible
};

struct PoolState
{
    std::mutex lock;
    std::map<void*, Block> blocks;
    std::set<void*> freed; // recently freed addresses, to tell a double free from a foreign pointer
    std::map<ULONG, PoolTagStats> stats;
    size_t attempts = 0;
    size_t counted = 0;
    ULONG failureTag = 0;
    SIZE_T failureSize = 0;
    ULONG failEvery = 0;
    size_t failAt = 0; // absolute counted index that fails, 0: none
    size_t injected = 0;
    ULONG specialTag = 0;
    bool nextOffsetSet = false;
    ULONG nextOffset = 0;
    uint32_t placement = 0x2545F491;
    // Large freed allocations kept (poisoned) for the next block of the same size: a fuzzer that builds
    // and removes a stack thousands of times a minute would otherwise pay fresh pages for every buffer.
    // They are not blocks: they survive a reset and count nowhere. A plain array, so that the leak checker
    // finds them from a root.
    struct Spare
    {
        void* raw;
        size_t rawSize;
    };
    Spare spare[48] = {}; // room for both buffers of every unit of a 16-unit stick, and more
};

constexpr size_t kSpareFrom = 256 * 1024;

PoolState& Pool()
{
    static PoolState state;
    return state;
}

// Gives a block's memory back: a special one is unmapped, guard page and all.
void ReleaseRaw(const Block& block)
{
    WINSIM_UNPOISON(block.raw, block.rawSize);
    if (block.special)
    {
        munmap(block.raw, block.rawSize);
        return;
    }
    std::free(block.raw);
}

// Frees every block still outstanding: a reset ends the "system", leaks were for the test to check.
void ResetPool()
{
    auto& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.lock);
    for (auto& entry : pool.blocks)
    {
        ReleaseRaw(entry.second);
    }
    pool.blocks.clear();
    pool.freed.clear();
    pool.stats.clear();
    pool.attempts = pool.counted = pool.injected = 0;
    pool.failureTag = pool.failEvery = 0;
    pool.failureSize = 0;
    pool.failAt = 0;
    pool.specialTag = 0;
    pool.nextOffsetSet = false;
    pool.placement = 0x2545F491;
}

detail::ResetHook g_reset(95, ResetPool);

// Offset of the next block within its page: a multiple of 16, page-aligned about one time in eight.
ULONG NextOffset(PoolState& pool)
{
    if (pool.nextOffsetSet)
    {
        pool.nextOffsetSet = false;
        return pool.nextOffset;
    }
    pool.placement ^= pool.placement << 13;
    pool.placement ^= pool.placement >> 17;
    pool.placement ^= pool.placement << 5;
    if ((pool.placement & 7) == 0)
    {
        return 0;
    }
    return ((pool.placement >> 3) & 0xFF) * 16;
}

PVOID Allocate(bool paged, SIZE_T size, ULONG tag, bool zero, bool executable)
{
    auto& thread = detail::CurrentThreadState();
    if (thread.irql > DISPATCH_LEVEL)
    {
        detail::BugCheck(BAD_POOL_CALLER, "pool allocated above DISPATCH_LEVEL", 0x08, thread.irql, tag);
    }
    if (paged && thread.irql > APC_LEVEL)
    {
        detail::BugCheck(BAD_POOL_CALLER, "paged pool allocated at DISPATCH_LEVEL", 0x09, thread.irql, tag);
    }
    if (size == 0)
    {
        detail::BugCheck(BAD_POOL_CALLER, "zero-byte pool allocation", 0x00, 0, tag);
    }
    auto& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.lock);
    ++pool.attempts;
    if ((pool.failureTag == 0 || pool.failureTag == tag) &&
        (pool.failureSize == 0 || pool.failureSize == size))
    {
        const size_t index = ++pool.counted;
        if ((pool.failEvery != 0 && index % pool.failEvery == 0) ||
            (pool.failAt != 0 && index == pool.failAt))
        {
            ++pool.injected;
            return nullptr;
        }
    }
    const bool special = pool.specialTag != 0 && pool.specialTag == tag;
    // A special block ends at its page's end, or up to 15 bytes before it, keeping 16-byte alignment.
    const ULONG offset =
        special ? ULONG((PAGE_SIZE - size % PAGE_SIZE) % PAGE_SIZE) & ~ULONG(15) : NextOffset(pool);
    const size_t rawSize = (offset + size + PAGE_SIZE + PAGE_SIZE - 1) & ~size_t(PAGE_SIZE - 1);
    void* raw = nullptr;
    if (special)
    {
        raw = mmap(nullptr, rawSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED)
        {
            return nullptr;
        }
        mprotect(static_cast<unsigned char*>(raw) + rawSize - PAGE_SIZE, PAGE_SIZE, PROT_NONE);
    }
    for (auto& spare : pool.spare)
    {
        if (!special && spare.raw != nullptr && spare.rawSize == rawSize)
        {
            raw = spare.raw;
            spare.raw = nullptr;
            break;
        }
    }
    if (raw == nullptr)
    {
        raw = std::aligned_alloc(PAGE_SIZE, rawSize);
    }
    if (raw == nullptr)
    {
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(raw) + offset;
    WINSIM_POISON(raw, rawSize);
    WINSIM_UNPOISON(block, size);
    std::memset(block, zero ? 0 : 0xA5, size);
    pool.blocks[block] = Block{raw, rawSize, size, tag, paged, thread.currentDriver, special};
    pool.freed.erase(block);
    auto& stats = pool.stats[tag];
    ++stats.outstandingBlocks;
    stats.outstandingBytes += size;
    ++stats.allocations;
    stats.executableAllocations += executable ? 1 : 0;
    return block;
}

void Free(PVOID pointer, ULONG tag, bool checkTag)
{
    auto& thread = detail::CurrentThreadState();
    if (thread.irql > DISPATCH_LEVEL)
    {
        detail::BugCheck(BAD_POOL_CALLER, "pool freed above DISPATCH_LEVEL", 0x0B, ULONG_PTR(pointer),
                         thread.irql);
    }
    auto& pool = Pool();
    std::unique_lock<std::mutex> lock(pool.lock);
    auto it = pool.blocks.find(pointer);
    if (it == pool.blocks.end())
    {
        const bool twice = pool.freed.count(pointer) != 0;
        lock.unlock();
        if (twice)
        {
            detail::BugCheck(BAD_POOL_CALLER, "pool block freed twice", 0x07, 0, ULONG_PTR(pointer));
        }
        detail::BugCheck(BAD_POOL_CALLER, "freeing a pointer that is not a pool block", 0x46,
                         ULONG_PTR(pointer));
    }
    if (it->second.paged && thread.irql > APC_LEVEL)
    {
        lock.unlock();
        detail::BugCheck(BAD_POOL_CALLER, "paged pool freed at DISPATCH_LEVEL", 0x0C, ULONG_PTR(pointer),
                         thread.irql);
    }
    if (checkTag && it->second.tag != tag)
    {
        const ULONG actual = it->second.tag;
        lock.unlock();
        detail::BugCheck(BAD_POOL_CALLER, "ExFreePoolWithTag with a tag other than the block's", 0x0A,
                         ULONG_PTR(pointer), actual, tag);
    }
    auto& stats = pool.stats[it->second.tag];
    --stats.outstandingBlocks;
    stats.outstandingBytes -= it->second.size;
    ++stats.frees;
    // Poison the whole block so a use after free shows up under the address sanitizer.
    std::memset(pointer, 0xDD, it->second.size);
    PoolState::Spare* keep = nullptr;
    for (auto& spare : pool.spare)
    {
        if (spare.raw == nullptr && it->second.rawSize >= kSpareFrom && !it->second.special)
        {
            keep = &spare;
            break;
        }
    }
    if (keep != nullptr)
    {
        WINSIM_POISON(it->second.raw, it->second.rawSize);
        *keep = PoolState::Spare{it->second.raw, it->second.rawSize};
    }
    else
    {
        ReleaseRaw(it->second);
    }
    pool.blocks.erase(it);
    pool.freed.insert(pointer);
}

} // namespace

PoolTagStats PoolStats(ULONG tag)
{
    auto& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.lock);
    auto it = pool.stats.find(tag);
    return it == pool.stats.end() ? PoolTagStats{} : it->second;
}

size_t PoolOutstandingBlocks()
{
    auto& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.lock);
    return pool.blocks.size();
}

size_t PoolBlocksOwnedBy(PDRIVER_OBJECT driver)
{
    return detail::PoolBlocksOfDriver(driver);
}

size_t PoolAllocationAttempts()
{
    auto& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.lock);
    return pool.attempts;
}

void SetPoolFailureTag(ULONG tag)
{
    auto& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.lock);
    pool.failureTag = tag;
}

void SetPoolFailureSize(SIZE_T bytes)
{
    auto& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.lock);
    pool.failureSize = bytes;
}

void FailEveryNthAllocation(ULONG n)
{
    auto& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.lock);
    pool.failEvery = n;
    pool.counted = 0;
}

void FailAllocationAt(ULONG n)
{
    auto& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.lock);
    pool.failAt = n == 0 ? 0 : pool.counted + n;
}

size_t InjectedPoolFailures()
{
    auto& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.lock);
    return pool.injected;
}

void SetSpecialPoolTag(ULONG tag)
{
    auto& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.lock);
    pool.specialTag = tag;
}

void SetNextAllocationOffset(ULONG offsetInPage)
{
    auto& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.lock);
    pool.nextOffsetSet = true;
    pool.nextOffset = (offsetInPage % PAGE_SIZE) & ~ULONG(15);
}

namespace detail
{

size_t PoolBlocksOfDriver(PDRIVER_OBJECT driver)
{
    auto& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.lock);
    size_t count = 0;
    for (auto& entry : pool.blocks)
    {
        count += entry.second.driver == driver ? 1 : 0;
    }
    return count;
}

} // namespace detail
} // namespace winsim

extern "C"
{

    PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
    {
        const bool paged = (PoolType & 1) != 0 && PoolType != NonPagedPoolNx;
        // Non-paged pool is executable unless the Nx variant is asked for.
        const bool executable = !paged && (PoolType & NonPagedPoolNx) == 0;
        return winsim::Allocate(paged, NumberOfBytes, Tag, false, executable);
    }

    PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag)
    {
        const bool paged = (Flags & POOL_FLAG_PAGED) != 0;
        if (((Flags & (POOL_FLAG_PAGED | POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE)) == 0) ||
            Tag == 0)
        {
            winsim::detail::BugCheck(BAD_POOL_CALLER, "ExAllocatePool2 without a pool type or with tag 0",
                                     0x9B, Flags, Tag);
        }
        return winsim::Allocate(paged, NumberOfBytes, Tag, (Flags & POOL_FLAG_UNINITIALIZED) == 0,
                                (Flags & POOL_FLAG_NON_PAGED_EXECUTE) != 0);
    }

    VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
    {
        winsim::Free(P, Tag, true);
    }

    VOID ExFreePool(PVOID P)
    {
        winsim::Free(P, 0, false);
    }

} // extern "C"
