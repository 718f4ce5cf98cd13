#pragma once

// The test binary replaces the global allocation functions so that tests can count the heap
// allocations of the calling thread or of threads they marked, and make the next one fail. It also
// counts the calling thread's malloc family: under a sanitizer through its allocator's hook,
// otherwise through the binary's own malloc, calloc and realloc, which hand on to the C library's.

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

// The calling thread's malloc family calls while the counter lives: operator new's among them.
class MallocCounter
{
public:
    MallocCounter();
    ~MallocCounter();
    MallocCounter(const MallocCounter&) = delete;
    MallocCounter& operator=(const MallocCounter&) = delete;
    std::size_t count() const;

private:
    std::size_t fStart;
    bool fWasCounting;
};

// The calling thread's next allocation throws std::bad_alloc.
void failNextAllocation();

} // namespace VorkTesting
