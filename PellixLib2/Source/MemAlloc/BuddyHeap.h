#pragma once

// A Fibonacci buddy heap: arenas taken from the global pool are split into blocks of the size
// classes on demand, and freed buddies merge back until a whole arena goes back to the pool. Used
// by one thread only.

#include "MemAlloc/BuddyBlock.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class SnarlGlobalPool;

class BuddyHeap
{
public:
    // Arenas of classes between the ceiling class of minArenaSize and the floor class of
    // maxArenaSize - 16; grows to initialBytes at once, or as far as the pool allows.
    BuddyHeap(SnarlGlobalPool& pool, size_t initialBytes, size_t minArenaSize, size_t maxArenaSize);
    // Holds nothing to release: the owner gives every block back first.
    ~BuddyHeap() = default;
    BuddyHeap(const BuddyHeap&) = delete;
    BuddyHeap& operator=(const BuddyHeap&) = delete;

    // The header of a free block of at least size + 16 bytes, marked in use; null when no class is
    // large enough or no arena can be had. The size is a multiple of 4.
    BuddyBlock* Allocate(size_t size);
    // The payload size of the block whose payload starts at userPointer.
    static size_t Size(void* userPointer);
    // Takes every free block out, marked in use, smallest classes first.
    std::vector<BuddyBlock*> EmptyHeap();

    BuddyBlock* GetFreeBlock(uint8_t cls);
    bool Grow(uint8_t minClass);
    BuddyBlock* DemandFreeBlock(uint8_t cls);
    BuddyBlock* FindAndSplitFreeBlock(uint8_t cls);
    void DeallocateArena(BuddyArena* arena);
    void CheckMaxFreeIndex(uint8_t cls);
    void RecomputeMaxFreeIndex();

    uint8_t SmallestArenaClass() const { return fSmallestArenaClass; }
    uint8_t LargestArenaClass() const { return fLargestArenaClass; }
    uint64_t TotalBytes() const { return fTotalBytes; }
    uint64_t BytesInUse() const { return fBytesInUse; }

private:
    friend class FreeBuddyBlock;

    // Takes the head of a class list, or null.
    FreeBuddyBlock* takeHead(uint8_t cls);
    void unlink(FreeBuddyBlock* block);
    // Inserts before the head: as the new head, or at the back of the ring.
    void pushFront(FreeBuddyBlock* block);
    void moveToBack(FreeBuddyBlock* block);
    void insertBeforeHead(FreeBuddyBlock* block);
    void refreshMaxFreeIndexIfStale();

    SnarlGlobalPool& fPool;
    uint8_t fSmallestArenaClass;
    uint8_t fLargestArenaClass;
    // One above the highest class whose list is known not to be empty.
    uint8_t fMaxFreeIndex = 0;
    // A list became empty, so fMaxFreeIndex may be too high.
    bool fFreeIndexStale = false;
    uint64_t fTotalBytes = 0;
    uint64_t fBytesInUse = 0;
    FreeBuddyBlock* fFreeLists[254] = {};
};
