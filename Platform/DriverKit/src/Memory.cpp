#include "Creation.h"
#include "MemoryBacking.h"

#include <DriverKit/IOBufferMemoryDescriptor.h>

#include <sys/mman.h>
#include <unistd.h>

namespace DriverKitPlatform {

MemoryBacking::~MemoryBacking()
{
    if (owned) {
        munmap(bytes, size);
        ::close(fd);
    }
}

} // namespace DriverKitPlatform

using DriverKitPlatform::MemoryBacking;

IOMemoryDescriptor* IOMemoryDescriptor::wrap(void* bytes, uint64_t length, uint64_t direction)
{
    auto* descriptor = new IOMemoryDescriptor;
    descriptor->fBacking = std::make_shared<MemoryBacking>(-1, static_cast<uint8_t*>(bytes), length, false);
    descriptor->fLength = length;
    descriptor->fDirection = direction;
    return descriptor;
}

uint8_t* IOMemoryDescriptor::platformBytes() const
{
    return fBacking ? fBacking->bytes + fOffset : nullptr;
}

int IOMemoryDescriptor::platformFd() const
{
    return fBacking ? fBacking->fd : -1;
}

kern_return_t IOMemoryDescriptor::GetLength(uint64_t* returnLength)
{
    if (returnLength == nullptr) {
        return kIOReturnBadArgument;
    }
    *returnLength = fLength;
    return kIOReturnSuccess;
}

kern_return_t IOMemoryDescriptor::CreateMapping(uint64_t, uint64_t, uint64_t offset, uint64_t length,
                                                uint64_t, IOMemoryMap** map)
{
    if (map == nullptr || offset > fLength || (length != 0 && length > fLength - offset)) {
        return kIOReturnBadArgument;
    }
    auto* created = new IOMemoryMap;
    created->fBacking = fBacking;
    created->fAddress = uint64_t(uintptr_t(platformBytes() + offset));
    created->fLength = length == 0 ? fLength - offset : length;
    created->fOffset = offset;
    *map = created;
    return kIOReturnSuccess;
}

kern_return_t IOMemoryDescriptor::CreateSubMemoryDescriptor(uint64_t options, uint64_t offset,
                                                            uint64_t length, IOMemoryDescriptor* ofDescriptor,
                                                            IOMemoryDescriptor** memory)
{
    if (ofDescriptor == nullptr || memory == nullptr || offset > ofDescriptor->fLength ||
        length > ofDescriptor->fLength - offset) {
        return kIOReturnBadArgument;
    }
    auto* sub = new IOMemoryDescriptor;
    sub->fBacking = ofDescriptor->fBacking;
    sub->fOffset = ofDescriptor->fOffset + offset;
    sub->fLength = length;
    sub->fDirection = options != 0 ? options : ofDescriptor->fDirection;
    *memory = sub;
    return kIOReturnSuccess;
}

uint64_t IOMemoryMap::GetAddress()
{
    return fAddress;
}

uint64_t IOMemoryMap::GetLength()
{
    return fLength;
}

uint64_t IOMemoryMap::GetOffset()
{
    return fOffset;
}

kern_return_t IOBufferMemoryDescriptor::Create(uint64_t options, uint64_t capacity, uint64_t,
                                               IOBufferMemoryDescriptor** memory)
{
    if (memory == nullptr || capacity == 0) {
        return kIOReturnBadArgument;
    }
    if (DriverKitPlatform::creationFails()) {
        return kIOReturnNoMemory;
    }
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    const uint64_t size = (capacity + page - 1) / page * page;
    const int fd = memfd_create("IOBufferMemoryDescriptor", MFD_CLOEXEC);
    if (fd < 0) {
        return kIOReturnNoMemory;
    }
    void* bytes = MAP_FAILED;
    if (ftruncate(fd, off_t(size)) == 0) {
        bytes = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    if (bytes == MAP_FAILED) {
        ::close(fd);
        return kIOReturnNoMemory;
    }
    auto* created = new IOBufferMemoryDescriptor;
    created->fBacking = std::make_shared<MemoryBacking>(fd, static_cast<uint8_t*>(bytes), size, true);
    created->fCapacity = capacity;
    created->fLength = capacity;
    created->fDirection = options;
    *memory = created;
    return kIOReturnSuccess;
}

kern_return_t IOBufferMemoryDescriptor::SetLength(uint64_t length)
{
    if (length > fCapacity) {
        return kIOReturnNoSpace;
    }
    fLength = length;
    return kIOReturnSuccess;
}

kern_return_t IOBufferMemoryDescriptor::GetAddressRange(IOAddressSegment* range)
{
    if (range == nullptr) {
        return kIOReturnBadArgument;
    }
    range->address = uint64_t(uintptr_t(platformBytes()));
    range->length = fLength;
    return kIOReturnSuccess;
}
