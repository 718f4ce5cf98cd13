#pragma once

#include <cstddef>
#include <cstdint>

namespace DriverKitPlatform {

// The bytes behind descriptors: a memfd mapped once into the driver, or a caller's bytes that the
// descriptor only borrows.
struct MemoryBacking
{
    MemoryBacking(int fd, uint8_t* bytes, size_t size, bool owned)
        : fd(fd), bytes(bytes), size(size), owned(owned)
    {}
    ~MemoryBacking();
    MemoryBacking(const MemoryBacking&) = delete;
    MemoryBacking& operator=(const MemoryBacking&) = delete;

    int fd;
    uint8_t* bytes;
    size_t size;
    bool owned;
};

} // namespace DriverKitPlatform
