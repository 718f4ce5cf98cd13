#pragma once

// A thread's own allocator: requests up to 41328 bytes come from its buddy heap, larger ones
// straight from the global pool. Only the owner thread allocates and frees here without a lock;
// other threads hand its allocations back through its remote-free queue, which the owner drains on
// every call.

#include "MemAlloc/BuddyHeap.h"
#include "MemAlloc/SnarlSubAllocator.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

class SnarlAllocator;

class BuddySystemSubAllocator : public SnarlSubAllocator
{
public:
    // The largest payload of the largest buddy class.
    static constexpr size_t kLargeThreshold = 41328;

    explicit BuddySystemSubAllocator(SnarlAllocator& allocator);
    // Drains the remote frees.
    ~BuddySystemSubAllocator();

    // Sub-allocators live on the system heap, outside every pool.
    static void* operator new(size_t size) { return std::malloc(size); }
    static void operator delete(void* p) { std::free(p); }

    // Null when neither the heap nor the pool can serve the request, and for sizes above
    // PTRDIFF_MAX.
    void* Allocate(size_t size);
    // Pointers no sub-allocator handed out go to free; another sub-allocator's go back to it.
    void Deallocate(void* p);
    // The same pointer while its block holds the size; otherwise a copy, leaving the old allocation
    // untouched when the copy cannot be made. Pointers of the system heap go to realloc.
    void* Reallocate(void* p, size_t size);

    // Takes back every allocation freed on other threads.
    void ConsumeStack();
    // Frees one of its own allocations: into the heap, or a large block back to the system.
    void ReclaimAllocation(SnarlAllocation* header);

    static size_t GetBlockSize(SnarlAllocation* header);
    static BuddyBlock* AllocationToBuddyBlock(SnarlAllocation* header);
    static size_t RequestedToActualSize(size_t size);

    // Empty: no arena held and no large allocation outstanding.
    bool AllowDestruction() const;
    // Every free heap block, headed as an own allocation.
    std::vector<void*> EmptyHeap();

    SnarlAllocator& Allocator() const { return fAllocator; }
    const BuddyHeap& Heap() const { return fHeap; }
    int64_t LargeAllocations() const { return fLargeAllocations; }

private:
    SnarlAllocator& fAllocator;
    BuddyHeap fHeap;
    int64_t fLargeAllocations = 0;
};
