#include "MemAlloc/SnarlGlobalPoolStats.h"

#include "MemAlloc/SnarlGlobalBlock.h"

void SnarlGlobalPoolStats::DemandBlock(uint64_t size)
{
    ++(size <= SnarlGlobalBlock::kPooledSize ? pooledDemands : largeDemands);
    bytesDemanded += size;
}

void SnarlGlobalPoolStats::ReturnBlock(uint64_t size)
{
    ++(size <= SnarlGlobalBlock::kPooledSize ? pooledReturns : largeReturns);
    bytesReturned += size;
}
