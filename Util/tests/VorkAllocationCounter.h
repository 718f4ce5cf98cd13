#pragma once

// The test binary replaces the global allocation functions so that tests can count the heap
// allocations of the calling thread or of threads they marked, and make the next one fail.

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

// Allocations made by marked threads (see markThread) since construction, counted from any thread.
class MarkedThreadsAllocationCounter
{
public:
    MarkedThreadsAllocationCounter();
    std::size_t count() const;

private:
    std::size_t fStart;
};

// Marks the calling thread, so that its allocations count in every MarkedThreadsAllocationCounter,
// or unmarks it. A test unmarks every thread it marked before it ends.
void markThread(bool marked);

// The calling thread's next allocation throws std::bad_alloc.
void failNextAllocation();

} // namespace VorkTesting
