#include "MemAlloc/SnarlSubAllocatorStats.h"

#include <algorithm>

SnarlSubAllocatorStats::~SnarlSubAllocatorStats()
{
    smallestSize = SmallestSize();
}

void SnarlSubAllocatorStats::Allocate(size_t size)
{
    ++allocations;
    smallestSize = std::min<uint64_t>(smallestSize, size);
    largestSize = std::max<uint64_t>(largestSize, size);
    totalBytes += size;
}
