#include "MemAlloc/BuddyBlock.h"

#include "MemAlloc/BuddyHeap.h"
#include "MemAlloc/SizeTable.h"

#include <cstddef>
#include <cstring>
#include <new>

BuddyBlock::BuddyBlock(unsigned char sizeClass, bool arenaRoot)
    : fSizeClass(sizeClass), fFlags(arenaRoot ? kArenaRoot : 0)
{
    LinkToSelf();
}

void BuddyBlock::LinkToSelf()
{
    SetPrevious(this);
    SetNext(this);
}

void BuddyBlock::pack(uint8_t (&field)[6], BuddyBlock* block)
{
    const uint64_t address = reinterpret_cast<uintptr_t>(block);
    const uint32_t upper = uint32_t(address >> 16);
    const uint16_t lower = uint16_t(address);
    std::memcpy(field, &upper, 4);
    std::memcpy(field + 4, &lower, 2);
}

BuddyBlock* BuddyBlock::unpack(const uint8_t (&field)[6])
{
    uint32_t upper;
    uint16_t lower;
    std::memcpy(&upper, field, 4);
    std::memcpy(&lower, field + 4, 2);
    return reinterpret_cast<BuddyBlock*>((uint64_t(upper) << 16) | lower);
}

BuddyBlock* BuddyBlock::Split()
{
    const SizeTable& table = GetGlobalSizeTable();
    const uint8_t cls = fSizeClass;
    fSizeClass = uint8_t(cls - 1);
    ++fSplitDepth;
    auto* right = reinterpret_cast<uint8_t*>(this) + table.sizes[cls - 1];
    return new (right) BuddyBlock(uint8_t(cls - 2), false);
}

void FreeBuddyBlock::Free(BuddyHeap& heap)
{
    heap.fBytesInUse -= GetGlobalSizeTable().sizes[fSizeClass];
    LinkToSelf();
    ReturnToHeap(heap);
}

void FreeBuddyBlock::ReturnToHeap(BuddyHeap& heap)
{
    const SizeTable& table = GetGlobalSizeTable();
    auto* self = reinterpret_cast<uint8_t*>(this);
    if (fSplitDepth == 0) {
        if (IsArenaRoot()) {
            heap.DeallocateArena(reinterpret_cast<BuddyArena*>(self - offsetof(BuddyArena, root)));
            return;
        }
        auto* left = reinterpret_cast<FreeBuddyBlock*>(self - table.sizes[fSizeClass + 1]);
        if (!left->InUse() && left->fSizeClass == fSizeClass + 1) {
            Merge(heap, left);
            return;
        }
    } else {
        auto* right = reinterpret_cast<FreeBuddyBlock*>(self + table.sizes[fSizeClass]);
        if (!right->InUse() && right->fSizeClass == fSizeClass - 1) {
            Merge(heap, right);
            return;
        }
    }
    heap.pushFront(this);
}

void FreeBuddyBlock::Merge(BuddyHeap& heap, FreeBuddyBlock* buddy)
{
    heap.unlink(buddy);
    FreeBuddyBlock* merged = fSplitDepth != 0 ? this : buddy;
    --merged->fSplitDepth;
    ++merged->fSizeClass;
    merged->LinkToSelf();
    merged->ReturnToHeap(heap);
}

void FreeBuddyBlock::AddArenaToFreeList(BuddyHeap& heap)
{
    heap.moveToBack(this);
}

FreeBuddyBlock* FreeBuddyBlock::SplitAndReturnLeftBuddy(BuddyHeap& heap)
{
    heap.pushFront(static_cast<FreeBuddyBlock*>(Split()));
    return this;
}

FreeBuddyBlock* FreeBuddyBlock::SplitAndReturnRightBuddy(BuddyHeap& heap)
{
    auto* right = static_cast<FreeBuddyBlock*>(Split());
    heap.pushFront(this);
    return right;
}
