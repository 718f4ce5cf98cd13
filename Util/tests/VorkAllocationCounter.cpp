#include "VorkAllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

thread_local std::size_t tAllocations = 0;
thread_local bool tFailNext = false;
thread_local bool tMarked = false;
std::atomic<std::size_t> gMarkedAllocations{0};

void* allocate(std::size_t size, std::size_t alignment)
{
    ++tAllocations;
    if (tMarked) {
        gMarkedAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (tFailNext) {
        tFailNext = false;
        throw std::bad_alloc();
    }
    size = size == 0 ? 1 : size;
    void* memory = alignment <= alignof(std::max_align_t)
                       ? std::malloc(size)
                       : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (!memory) {
        throw std::bad_alloc();
    }
    return memory;
}

} // namespace

namespace VorkTesting {

AllocationCounter::AllocationCounter() : fStart(tAllocations) {}

std::size_t AllocationCounter::count() const
{
    return tAllocations - fStart;
}

MarkedThreadsAllocationCounter::MarkedThreadsAllocationCounter() : fStart(gMarkedAllocations.load()) {}

std::size_t MarkedThreadsAllocationCounter::count() const
{
    return gMarkedAllocations.load() - fStart;
}

void markThread(bool marked)
{
    tMarked = marked;
}

void failNextAllocation()
{
    tFailNext = true;
}

} // namespace VorkTesting

void* operator new(std::size_t size)
{
    return allocate(size, alignof(std::max_align_t));
}

void* operator new(std::size_t size, std::align_val_t alignment)
{
    return allocate(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::align_val_t) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, std::size_t, std::align_val_t) noexcept
{
    std::free(memory);
}
