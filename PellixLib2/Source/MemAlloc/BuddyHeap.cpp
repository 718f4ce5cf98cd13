#include "MemAlloc/BuddyHeap.h"

#include "MemAlloc/SizeTable.h"
#include "MemAlloc/SnarlGlobalPool.h"

#include <algorithm>
#include <new>

BuddyHeap::BuddyHeap(SnarlGlobalPool& pool, size_t initialBytes, size_t minArenaSize, size_t maxArenaSize)
    : fPool(pool)
{
    const SizeTable& table = GetGlobalSizeTable();
    fLargestArenaClass = table.FloorIndex(maxArenaSize - 16);
    fSmallestArenaClass = std::min(table.CeilingIndex(minArenaSize), fLargestArenaClass);
    while (initialBytes != 0 && fTotalBytes < initialBytes && Grow(0)) {
    }
}

BuddyBlock* BuddyHeap::Allocate(size_t size)
{
    const uint8_t cls = GetGlobalSizeTable().CeilingIndex(size + 16);
    if (cls == SizeTable::kNone) {
        return nullptr;
    }
    BuddyBlock* block = DemandFreeBlock(cls);
    if (block == nullptr) {
        if (!Grow(cls)) {
            return nullptr;
        }
        block = DemandFreeBlock(cls);
        if (block == nullptr) {
            return nullptr;
        }
    }
    block->SetInUse(true);
    fBytesInUse += GetGlobalSizeTable().sizes[block->SizeClass()];
    return block;
}

size_t BuddyHeap::Size(void* userPointer)
{
    auto* header = reinterpret_cast<BuddyBlock*>(static_cast<uint8_t*>(userPointer) - 16);
    return GetGlobalSizeTable().sizes[header->SizeClass()] - 16;
}

std::vector<BuddyBlock*> BuddyHeap::EmptyHeap()
{
    std::vector<BuddyBlock*> blocks;
    blocks.reserve(100000);
    refreshMaxFreeIndexIfStale();
    for (unsigned cls = 0; cls < fMaxFreeIndex; ++cls) {
        while (FreeBuddyBlock* block = takeHead(uint8_t(cls))) {
            block->SetInUse(true);
            fBytesInUse += GetGlobalSizeTable().sizes[cls];
            blocks.push_back(block);
        }
    }
    fMaxFreeIndex = 0;
    fFreeIndexStale = false;
    return blocks;
}

BuddyBlock* BuddyHeap::GetFreeBlock(uint8_t cls)
{
    return takeHead(cls);
}

bool BuddyHeap::Grow(uint8_t minClass)
{
    const SizeTable& table = GetGlobalSizeTable();
    const int lowest = std::max(minClass, fSmallestArenaClass);
    for (int cls = fLargestArenaClass; cls >= lowest; --cls) {
        SnarlGlobalBlock* block = fPool.DemandBlock(table.sizes[cls] + 16);
        if (block == nullptr) {
            continue;
        }
        auto* arena = new (block->Payload()) BuddyArena(uint8_t(cls));
        arena->root.AddArenaToFreeList(*this);
        fTotalBytes += table.sizes[cls] - 16;
        return true;
    }
    return false;
}

BuddyBlock* BuddyHeap::DemandFreeBlock(uint8_t cls)
{
    refreshMaxFreeIndexIfStale();
    if (fMaxFreeIndex <= cls) {
        return nullptr;
    }
    if (fFreeLists[cls] != nullptr) {
        return takeHead(cls);
    }
    return FindAndSplitFreeBlock(cls);
}

BuddyBlock* BuddyHeap::FindAndSplitFreeBlock(uint8_t cls)
{
    refreshMaxFreeIndexIfStale();
    if (fMaxFreeIndex <= cls + 1) {
        return nullptr;
    }
    if (cls + 1 >= 2 && fFreeLists[cls + 1] != nullptr) {
        return takeHead(uint8_t(cls + 1))->SplitAndReturnLeftBuddy(*this);
    }
    if (fMaxFreeIndex > cls + 2 && fFreeLists[cls + 2] != nullptr) {
        return takeHead(uint8_t(cls + 2))->SplitAndReturnRightBuddy(*this);
    }
    if (cls + 1 >= 2) {
        auto* larger = static_cast<FreeBuddyBlock*>(DemandFreeBlock(uint8_t(cls + 1)));
        return larger != nullptr ? larger->SplitAndReturnLeftBuddy(*this) : nullptr;
    }
    // Class 0: the right part of a class-2 block, else a class-1 block whole.
    if (auto* larger = static_cast<FreeBuddyBlock*>(DemandFreeBlock(2))) {
        return larger->SplitAndReturnRightBuddy(*this);
    }
    return DemandFreeBlock(1);
}

void BuddyHeap::DeallocateArena(BuddyArena* arena)
{
    fTotalBytes -= GetGlobalSizeTable().sizes[arena->root.SizeClass()] - 16;
    fPool.ReturnBlock(SnarlGlobalBlock::Convert(arena));
}

void BuddyHeap::CheckMaxFreeIndex(uint8_t cls)
{
    fFreeIndexStale = false;
    fMaxFreeIndex = std::max(fMaxFreeIndex, uint8_t(cls + 1));
}

void BuddyHeap::RecomputeMaxFreeIndex()
{
    fFreeIndexStale = false;
    while (fMaxFreeIndex > 0 && fFreeLists[fMaxFreeIndex - 1] == nullptr) {
        --fMaxFreeIndex;
    }
}

FreeBuddyBlock* BuddyHeap::takeHead(uint8_t cls)
{
    FreeBuddyBlock* head = fFreeLists[cls];
    if (head == nullptr) {
        return nullptr;
    }
    unlink(head);
    return head;
}

void BuddyHeap::unlink(FreeBuddyBlock* block)
{
    FreeBuddyBlock*& head = fFreeLists[block->SizeClass()];
    if (block->Next() == block) {
        head = nullptr;
        fFreeIndexStale = true;
    } else {
        if (head == block) {
            head = static_cast<FreeBuddyBlock*>(block->Next());
        }
        block->Previous()->SetNext(block->Next());
        block->Next()->SetPrevious(block->Previous());
    }
    block->LinkToSelf();
}

void BuddyHeap::pushFront(FreeBuddyBlock* block)
{
    insertBeforeHead(block);
    fFreeLists[block->SizeClass()] = block;
}

void BuddyHeap::moveToBack(FreeBuddyBlock* block)
{
    insertBeforeHead(block);
}

void BuddyHeap::insertBeforeHead(FreeBuddyBlock* block)
{
    FreeBuddyBlock*& head = fFreeLists[block->SizeClass()];
    if (head == nullptr) {
        block->LinkToSelf();
        head = block;
        CheckMaxFreeIndex(block->SizeClass());
        return;
    }
    BuddyBlock* last = head->Previous();
    block->SetPrevious(last);
    block->SetNext(head);
    last->SetNext(block);
    head->SetPrevious(block);
}

void BuddyHeap::refreshMaxFreeIndexIfStale()
{
    if (fFreeIndexStale) {
        RecomputeMaxFreeIndex();
    }
}
