#pragma once

// The 16-byte header at the start of every buddy-heap block. While the block is free, its first 12
// bytes link it into its class's circular list (two 48-bit addresses); while it is allocated they
// belong to the owner. The class, flags and split depth stay in the last three bytes either way.

#include <cstdint>

class BuddyHeap;

class BuddyBlock
{
public:
    static constexpr uint8_t kInUse = 0x01;
    static constexpr uint8_t kArenaRoot = 0x02;

    // A fresh, self-linked header, not in use, split depth 0.
    BuddyBlock(unsigned char sizeClass, bool arenaRoot);

    uint8_t SizeClass() const { return fSizeClass; }
    uint8_t SplitDepth() const { return fSplitDepth; }
    bool InUse() const { return (fFlags & kInUse) != 0; }
    bool IsArenaRoot() const { return (fFlags & kArenaRoot) != 0; }
    void SetInUse(bool inUse) { fFlags = inUse ? (fFlags | kInUse) : (fFlags & ~kInUse); }

    BuddyBlock* Previous() const { return unpack(fPrevious); }
    BuddyBlock* Next() const { return unpack(fNext); }
    void SetPrevious(BuddyBlock* block) { pack(fPrevious, block); }
    void SetNext(BuddyBlock* block) { pack(fNext, block); }
    void LinkToSelf();

    // Makes this block its own left part, one class down, and answers the right part, two classes
    // down, laid out right after it.
    BuddyBlock* Split();

protected:
    friend class BuddyHeap;

    // The upper 32 bits (bits 16-47) of the address, then its lower 16 bits.
    static void pack(uint8_t (&field)[6], BuddyBlock* block);
    static BuddyBlock* unpack(const uint8_t (&field)[6]);

    uint8_t fPrevious[6];
    uint8_t fNext[6];
    uint8_t fReserved = 0;
    uint8_t fSizeClass;
    uint8_t fFlags;
    uint8_t fSplitDepth = 0;
};

static_assert(sizeof(BuddyBlock) == 16);

// A free block and the operations that return blocks to their heap, merging buddies on the way.
class FreeBuddyBlock : public BuddyBlock
{
public:
    using BuddyBlock::BuddyBlock;

    // Releases an allocated block whose in-use bit the caller has cleared.
    void Free(BuddyHeap& heap);
    // Merges with a free buddy as far as possible, then lists the result, or gives a whole arena
    // back to the pool.
    void ReturnToHeap(BuddyHeap& heap);
    void Merge(BuddyHeap& heap, FreeBuddyBlock* buddy);
    void AddArenaToFreeList(BuddyHeap& heap);
    // Split, keeping one part and listing the other.
    FreeBuddyBlock* SplitAndReturnLeftBuddy(BuddyHeap& heap);
    FreeBuddyBlock* SplitAndReturnRightBuddy(BuddyHeap& heap);
};

// The start of a pool block used as an arena: two zero words, then the root block's header.
struct BuddyArena
{
    explicit BuddyArena(unsigned char sizeClass) : root(sizeClass, true) {}

    uint64_t reserved[2] = {0, 0};
    FreeBuddyBlock root;
};
