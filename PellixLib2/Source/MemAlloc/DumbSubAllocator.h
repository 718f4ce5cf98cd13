#pragma once

// A bump allocator over pool blocks: each allocation is carved from the end of the used part of a
// block, and a block goes back to the pool once its last allocation is freed. Its headers carry the
// large-allocation magic, so that a buddy sub-allocator that meets one hands it back here.

#include "MemAlloc/SnarlSubAllocator.h"

#include <cstddef>
#include <cstdint>

struct SnarlGlobalBlock;
class SnarlGlobalPool;

class DumbSubAllocator : public SnarlSubAllocator
{
public:
    struct Entry
    {
        SnarlGlobalBlock* block;
        uint32_t used;
        uint32_t live;
    };
    // As many entries as one pooled block holds.
    static const uint32_t kMaxEntries;

    // Takes one pooled block for its table; throws std::bad_alloc when the pool cannot give one.
    explicit DumbSubAllocator(SnarlGlobalPool& pool);
    // Returns the blocks without live allocations, then the table; blocks still in use stay.
    ~DumbSubAllocator();

    // Null when the table is full, the pool cannot give a block, or the size with its header does
    // not fit 32 bits.
    void* Allocate(size_t size);
    void Deallocate(void* p);
    void* Reallocate(void* p, size_t) { return p; }
    void ConsumeStack();
    void ReclaimAllocation(SnarlAllocation* header);
    // The next `step` bytes of the entry's block, or null when they do not fit.
    void* GetAllocatedMemory(Entry& entry, uint32_t step);

    bool AllowDestruction() const { return fCount == 0; }
    int32_t EntryCount() const { return fCount; }

private:
    Entry* entries() const;
    void releaseEntry(int32_t index);

    SnarlGlobalPool& fPool;
    SnarlGlobalBlock* fTable;
    int32_t fCount = 0;
};
