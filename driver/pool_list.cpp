// Containers in non-paged pool: a list of copied items and a page-aligned buffer. Both are touched at
// DISPATCH_LEVEL (under the owners' spin locks), so nothing here may come from paged pool or wait.
#include "driver/kavfiltr.h"

namespace
{
// An item's copy follows its links; this keeps the copy aligned for any field a record may hold.
struct alignas(16) PoolListItemHead
{
    PoolListLinks links;
};

PoolListLinks* HeadLinks(PoolList* list)
{
    return reinterpret_cast<PoolListLinks*>(list);
}

PVOID CopyOf(PoolListLinks* item)
{
    return reinterpret_cast<PUCHAR>(item) + sizeof(PoolListItemHead);
}

PoolListLinks* ItemOf(PVOID copy)
{
    return reinterpret_cast<PoolListLinks*>(static_cast<PUCHAR>(copy) - sizeof(PoolListItemHead));
}

void Unlink(PoolListLinks* item)
{
    item->previous->next = item->next;
    item->next->previous = item->previous;
}
} // namespace

static_assert(offsetof(PoolList, first) == 0 && offsetof(PoolList, last) == sizeof(PVOID),
              "the head's first two fields double as the circular list's links");

// Creates an empty list; the caller keeps the only reference and destroys it with PoolListDestroy.
NTSTATUS PoolListCreate(const PoolListTemplate* listTemplate, PoolList** list)
{
    if (list == nullptr || listTemplate == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    auto* created = static_cast<PoolList*>(
        ExAllocatePoolWithTag(KavfiltrNonPagedPool, sizeof(PoolList), KAVFILTR_POOL_TAG));
    if (created == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    created->first = HeadLinks(created);
    created->last = HeadLinks(created);
    created->releaseItem = listTemplate->releaseItem;
    created->maxItemSize = listTemplate->maxItemSize;
    created->cursor = nullptr;
    *list = created;
    return STATUS_SUCCESS;
}

// Appends a byte copy at the end. The copy's address is the item's identity for its owner, so it is
// handed back; it stays valid until the item is removed or the list destroyed.
NTSTATUS PoolListAppend(PoolList* list, const void* bytes, ULONG length, PVOID* copy)
{
    if (list == nullptr || length > list->maxItemSize)
    {
        return STATUS_INVALID_PARAMETER;
    }
    auto* item = static_cast<PoolListLinks*>(
        ExAllocatePoolWithTag(KavfiltrNonPagedPool, sizeof(PoolListItemHead) + length, KAVFILTR_POOL_TAG));
    if (item == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(CopyOf(item), bytes, length);
    PoolListLinks* head = HeadLinks(list);
    item->next = head;
    item->previous = head->previous;
    head->previous->next = item;
    head->previous = item;
    if (copy != nullptr)
    {
        *copy = CopyOf(item);
    }
    return STATUS_SUCCESS;
}

// Frees every item, first to last, after its owner's release routine has let go of what the item holds.
void PoolListDestroy(PoolList* list)
{
    if (list == nullptr)
    {
        return;
    }
    PoolListLinks* head = HeadLinks(list);
    while (head->next != head)
    {
        PoolListLinks* item = head->next;
        Unlink(item);
        if (list->releaseItem != nullptr)
        {
            list->releaseItem(CopyOf(item), list->maxItemSize);
        }
        ExFreePoolWithTag(item, KAVFILTR_POOL_TAG);
    }
    ExFreePoolWithTag(list, KAVFILTR_POOL_TAG);
}

// Starts the list's one walk; the owner's lock (or the transport's one-at-a-time rule) keeps it alone.
PVOID PoolListFirst(PoolList* list)
{
    PoolListLinks* head = HeadLinks(list);
    list->cursor = head->next == head ? nullptr : head->next;
    return list->cursor == nullptr ? nullptr : CopyOf(list->cursor);
}

PVOID PoolListNext(PoolList* list)
{
    if (list->cursor == nullptr)
    {
        return nullptr;
    }
    list->cursor = list->cursor->next == HeadLinks(list) ? nullptr : list->cursor->next;
    return list->cursor == nullptr ? nullptr : CopyOf(list->cursor);
}

// Unlinks and frees the item whose copy is at that address. Only addresses found in the list are
// touched, so a stale address (an item already gone) changes nothing.
BOOLEAN PoolListRemove(PoolList* list, PVOID copy)
{
    for (PVOID candidate = PoolListFirst(list); candidate != nullptr; candidate = PoolListNext(list))
    {
        if (candidate == copy)
        {
            list->cursor = nullptr;
            PoolListLinks* item = ItemOf(copy);
            Unlink(item);
            ExFreePoolWithTag(item, KAVFILTR_POOL_TAG);
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN PoolListIsEmpty(const PoolList* list)
{
    return list->first == reinterpret_cast<const PoolListLinks*>(list);
}

// A buffer whose data starts on a page boundary: the device's DMA and the cache copies work on whole pages.
NTSTATUS AlignedBufferInitialize(AlignedBuffer* buffer, ULONG capacity)
{
    if (buffer == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    AlignedBufferRelease(buffer);
    auto* allocation = static_cast<PUCHAR>(ExAllocatePoolWithTag(
        KavfiltrNonPagedPool, static_cast<SIZE_T>(capacity) + PAGE_SIZE, KAVFILTR_POOL_TAG));
    if (allocation == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG_PTR address = reinterpret_cast<ULONG_PTR>(allocation);
    ULONG_PTR aligned = (address + PAGE_SIZE - 1) & ~static_cast<ULONG_PTR>(PAGE_SIZE - 1);
    buffer->allocation = allocation;
    buffer->data = allocation + (aligned - address);
    buffer->capacity = capacity;
    buffer->length = 0;
    return STATUS_SUCCESS;
}

void AlignedBufferRelease(AlignedBuffer* buffer)
{
    if (buffer == nullptr)
    {
        return;
    }
    if (buffer->allocation != nullptr)
    {
        ExFreePoolWithTag(buffer->allocation, KAVFILTR_POOL_TAG);
    }
    RtlZeroMemory(buffer, sizeof(*buffer));
}
