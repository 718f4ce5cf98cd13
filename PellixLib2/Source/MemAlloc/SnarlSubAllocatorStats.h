#pragma once

// Counters of one sub-allocator's traffic, kept by its owner thread.

#include <cstddef>
#include <cstdint>

class SnarlSubAllocatorStats
{
public:
    explicit SnarlSubAllocatorStats(void* owner) : owner(owner) {}
    // Reads 0 as the smallest size when nothing was allocated.
    ~SnarlSubAllocatorStats();

    void Allocate(size_t size);
    void Deallocate() { ++deallocations; }
    // 0 while nothing was allocated.
    uint64_t SmallestSize() const { return allocations == 0 ? 0 : smallestSize; }

    void* owner;
    uint64_t allocations = 0;
    uint64_t deallocations = 0;
    uint64_t smallestSize = UINT64_MAX;
    uint64_t largestSize = 0;
    uint64_t totalBytes = 0;
};
