#pragma once

// Figures of the calling thread's sub-allocator, for diagnostics. The first call on a thread makes
// its sub-allocator, and the first call at all the process-wide allocator.

#include <cstdint>

namespace SnarlDebugging {

uint64_t TotalBytesInOperatorNewPools();
uint64_t BytesInUseInOperatorNewPools();
uint64_t FreeBytesInOperatorNewPools();
// Not kept: always 0.
uint64_t LogicalBytesInOperatorNewPools();
uint64_t BlocksInOperatorNewPools();

} // namespace SnarlDebugging

void AllocationUnitTest();

// Prints "file:line -- message" on standard output and returns.
void SnarlShowMessageAndBreak(const char* message, const char* file, int line);
