// The global allocation operators of every program that links the library, on the system heap.
// They need no initialisation, so they serve before and after every static initialiser. The sized
// and aligned forms stay libstdc++'s: they forward to these or use the same malloc heap.

#include "SnarlDisabled.h"

#include <cstdlib>
#include <new>

// g++ asks for the sized deletes beside the unsized ones; libstdc++'s forward to these.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wsized-deallocation"
#endif

namespace {

// Shared by the exported functions and the operators, so that an operator costs nothing beyond its
// call into malloc.
inline void* allocate(std::size_t size) noexcept
{
    return std::malloc(size);
}

// free does nothing for a null pointer itself.
inline void deallocate(void* ptr) noexcept
{
    std::free(ptr);
}

void* allocateOrThrow(std::size_t size)
{
    void* const ptr = allocate(size);
    if (!ptr) {
        throw std::bad_alloc();
    }
    return ptr;
}

} // namespace

void* SnarlDisabledAllocate(unsigned long size)
{
    return allocate(size);
}

void SnarlDisabledDeallocate(void* ptr)
{
    deallocate(ptr);
}

void* operator new(std::size_t size)
{
    return allocateOrThrow(size);
}

void* operator new[](std::size_t size)
{
    return allocateOrThrow(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void operator delete(void* ptr) noexcept
{
    deallocate(ptr);
}

void operator delete[](void* ptr) noexcept
{
    deallocate(ptr);
}

void operator delete(void* ptr, const std::nothrow_t&) noexcept
{
    deallocate(ptr);
}

void operator delete[](void* ptr, const std::nothrow_t&) noexcept
{
    deallocate(ptr);
}
