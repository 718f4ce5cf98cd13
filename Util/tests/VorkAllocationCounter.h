#pragma once

// The test binary replaces the global allocation functions so that tests can count the calling
// thread's heap allocations and make the next one fail.

#include <cstddef>

namespace VorkTesting {

// Allocations made by the calling thread since construction.
class AllocationCounter
{
public:
    AllocationCounter();
    std::size_t count() const;

private:
    std::size_t fStart;
};

// The calling thread's next allocation throws std::bad_alloc.
void failNextAllocation();

} // namespace VorkTesting
