#include "MemAlloc/SnarlDebugging.h"

#include "MemAlloc/SnarlAllocator.h"

#include <cstdio>

namespace SnarlDebugging {

namespace {

const BuddyHeap& callingThreadHeap()
{
    return SnarlAllocator::Instance().GetSubAllocator()->Heap();
}

} // namespace

uint64_t TotalBytesInOperatorNewPools()
{
    return callingThreadHeap().TotalBytes();
}

uint64_t BytesInUseInOperatorNewPools()
{
    return callingThreadHeap().BytesInUse();
}

uint64_t FreeBytesInOperatorNewPools()
{
    return TotalBytesInOperatorNewPools() - BytesInUseInOperatorNewPools();
}

uint64_t LogicalBytesInOperatorNewPools()
{
    return 0;
}

uint64_t BlocksInOperatorNewPools()
{
    return 0;
}

} // namespace SnarlDebugging

void AllocationUnitTest() {}

void SnarlShowMessageAndBreak(const char* message, const char* file, int line)
{
    std::printf("%s:%d -- %s\n", file, line, message);
}
