#include "VorkAllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

thread_local std::size_t tAllocations = 0;
thread_local bool tFailNext = false;
thread_local bool tMarked = false;
std::atomic<std::size_t> gMarkedAllocations{0};
thread_local bool tCountingMallocs = false;
thread_local std::size_t tMallocs = 0;

void countMalloc()
{
    if (tCountingMallocs) {
        ++tMallocs;
    }
}

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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*, std::size_t),
                                                         void (*onFree)(const volatile void*));

namespace {

const int sHooksInstalled = __sanitizer_install_malloc_and_free_hooks(
    [](const volatile void*, std::size_t) { countMalloc(); }, [](const volatile void*) {});

} // namespace

#else

extern "C" {

void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* memory, std::size_t size);

void* malloc(std::size_t size)
{
    countMalloc();
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size)
{
    countMalloc();
    return __libc_calloc(count, size);
}

void* realloc(void* memory, std::size_t size)
{
    countMalloc();
    return __libc_realloc(memory, size);
}
}

#endif

namespace VorkTesting {

MallocCounter::MallocCounter() : fStart(tMallocs), fWasCounting(tCountingMallocs)
{
    tCountingMallocs = true;
}

MallocCounter::~MallocCounter()
{
    tCountingMallocs = fWasCounting;
}

std::size_t MallocCounter::count() const
{
    return tMallocs - fStart;
}

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

// The library's nothrow forms (std::stable_sort's buffer) come here too, so that every block freed by
// the deletes below was taken by malloc.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size, alignof(std::max_align_t));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    try {
        return allocate(size, static_cast<std::size_t>(alignment));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
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
