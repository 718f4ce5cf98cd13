#pragma once

// What every sub-allocator shares: the link that chains it into orphan lists, the queue through
// which other threads hand back its allocations, and the header in front of each allocation.

#include <libkern/OSAtomic.h>

#include <cstdint>

class SnarlSubAllocator;

// The 16 bytes before every pointer a sub-allocator hands out. While the allocation waits in its
// owner's remote-free queue, the owner word holds the queue link. The bump allocator places headers
// on 4-byte steps, so the header asks for no more alignment than that.
struct __attribute__((packed, aligned(4))) SnarlAllocation
{
    static constexpr uint32_t kBuddyMagic = 0xFACEF00D;
    static constexpr uint32_t kLargeMagic = 0xFEEDFACE;

    void* UserPointer() { return this + 1; }
    static SnarlAllocation* FromUserPointer(void* p) { return static_cast<SnarlAllocation*>(p) - 1; }

    SnarlSubAllocator* owner;
    uint32_t magic;
    // A buddy allocation's block class, flags and split depth live here.
    uint8_t blockTail[4];
};

static_assert(sizeof(SnarlAllocation) == 16);

class SnarlSubAllocator
{
public:
    // Orphan lists link through this first word.
    SnarlSubAllocator* orphanLink = nullptr;

    // The header of an allocation that a sub-allocator handed out, or null for any other pointer:
    // one whose preceding bytes cannot be read, or whose magic word is neither of ours.
    static SnarlAllocation* Recognise(void* p);

protected:
    SnarlSubAllocator() = default;
    ~SnarlSubAllocator() = default;
    SnarlSubAllocator(const SnarlSubAllocator&) = delete;
    SnarlSubAllocator& operator=(const SnarlSubAllocator&) = delete;

    // Marks the header as ours.
    void Stamp(SnarlAllocation* header, uint32_t magic)
    {
        header->owner = this;
        header->magic = magic;
    }
    // The header of p when it is this sub-allocator's own allocation. Anything else is dealt with
    // here and answers null: null itself, system heap pointers (to free), and other sub-allocators'
    // allocations (queued to their owners).
    SnarlAllocation* TakeBack(void* p);
    SnarlAllocation* DequeueRemoteFree();

private:
    alignas(16) OSQueueHead fRemoteFrees = OS_ATOMIC_QUEUE_INIT;
};
