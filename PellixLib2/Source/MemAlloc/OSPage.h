#pragma once

// The host's page size and two probes on the task's virtual memory for the block allocator.

#include <cstddef>
#include <cstdint>

// Set by the library's first static initialiser.
extern uint64_t kOSPageSize;
// All bits above the page offset.
extern uint64_t kOSPageMask;

bool IsOnPageBoundary(void* p);
// Whether the n bytes before p can be read: the address p - n lies inside a readable mapping.
// Called on deallocation paths, so it allocates nothing.
bool CanAccessPrecedingBytes(void* p, std::size_t n);
