#include "Failures.h"
#include "MemoryAccess.h"

#include <IOKit/IOSubMemoryDescriptor.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

OSDefineMetaClassAndAbstractStructors(IOMemoryDescriptor, OSObject)
    OSDefineMetaClassAndStructors(IOMemoryMap, OSObject)
        OSDefineMetaClassAndStructors(IOBufferMemoryDescriptor, IOMemoryDescriptor)
            OSDefineMetaClassAndStructors(IOSubMemoryDescriptor, IOMemoryDescriptor)

                inline namespace kernel
{

    // A memfd mapped once for the kernel; user-space and kernel mappings map the same file.
    struct IOBufferMemoryDescriptorBacking
    {
        int fFd = -1;
        uint8_t* fBytes = nullptr;
        size_t fLength = 0;
    };

} // namespace kernel

namespace {

size_t pageRounded(size_t length)
{
    const auto page = size_t(sysconf(_SC_PAGESIZE));
    return (length + page - 1) / page * page;
}

// The memfd and offset behind a descriptor, following sub-ranges to their buffer.
bool fileOf(const IOMemoryDescriptor* descriptor, int* fd, IOByteCount* offset)
{
    if (const auto* sub = OSDynamicCast(const IOSubMemoryDescriptor, descriptor)) {
        IOByteCount parentOffset = 0;
        if (!fileOf(sub->getParent(), fd, &parentOffset)) {
            return false;
        }
        *offset = parentOffset + sub->getOffset();
        return true;
    }
    IOByteCount length = 0;
    *offset = 0;
    return IOMemoryDescriptorAccess::sharedFile(descriptor, fd, &length);
}

} // namespace

IOByteCount IOMemoryDescriptor::readBytes(IOByteCount offset, void* bytes, IOByteCount length) const
{
    const auto* base = static_cast<const uint8_t*>(getKernelAddress());
    if (!base || !bytes || offset >= getLength()) {
        return 0;
    }
    const IOByteCount count = std::min(length, getLength() - offset);
    std::memcpy(bytes, base + offset, count);
    return count;
}

IOByteCount IOMemoryDescriptor::writeBytes(IOByteCount offset, const void* bytes, IOByteCount length)
{
    auto* base = static_cast<uint8_t*>(getKernelAddress());
    if (!base || !bytes || offset >= getLength()) {
        return 0;
    }
    const IOByteCount count = std::min(length, getLength() - offset);
    std::memcpy(base + offset, bytes, count);
    return count;
}

IOReturn IOMemoryDescriptor::prepare(IOOptionBits)
{
    return kIOReturnSuccess;
}

IOReturn IOMemoryDescriptor::complete(IOOptionBits)
{
    return kIOReturnSuccess;
}

IOMemoryMap* IOMemoryDescriptor::map(IOOptionBits)
{
    int fd = -1;
    IOByteCount offset = 0;
    if (!fileOf(this, &fd, &offset)) {
        return nullptr;
    }
    // mmap takes page-aligned offsets; the mapping starts at the page holding the range.
    const auto page = size_t(sysconf(_SC_PAGESIZE));
    const size_t lead = offset % page;
    void* address =
        mmap(nullptr, lead + getLength(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(offset - lead));
    if (address == MAP_FAILED) {
        return nullptr;
    }
    auto* mapping = new IOMemoryMap;
    mapping->fAddress = static_cast<uint8_t*>(address) + lead;
    mapping->fLength = getLength();
    return mapping;
}

void IOMemoryMap::free()
{
    if (fAddress) {
        const auto page = size_t(sysconf(_SC_PAGESIZE));
        const auto start = reinterpret_cast<uintptr_t>(fAddress) / page * page;
        munmap(reinterpret_cast<void*>(start), reinterpret_cast<uintptr_t>(fAddress) - start + fLength);
        fAddress = nullptr;
    }
    OSObject::free();
}

IOBufferMemoryDescriptor* IOBufferMemoryDescriptor::inTaskWithOptions(task_t, IOOptionBits,
                                                                      vm_size_t capacity, vm_offset_t)
{
    if (capacity == 0 || KernelIOKitPlatform::creationFails()) {
        return nullptr;
    }
    const size_t mapped = pageRounded(capacity);
    const int fd = memfd_create("IOBufferMemoryDescriptor", MFD_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    // Kernel buffers are wired: their pages are there from the start, not faulted in one by one
    // at first touch.
    void* bytes = MAP_FAILED;
    if (ftruncate(fd, off_t(mapped)) == 0) {
        bytes = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, 0);
    }
    if (bytes == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    auto* descriptor = new IOBufferMemoryDescriptor;
    descriptor->fBacking = new IOBufferMemoryDescriptorBacking{fd, static_cast<uint8_t*>(bytes), capacity};
    return descriptor;
}

IOBufferMemoryDescriptor* IOBufferMemoryDescriptor::inTaskWithPhysicalMask(task_t inTask,
                                                                           IOOptionBits options,
                                                                           vm_size_t capacity, uint64_t)
{
    return inTaskWithOptions(inTask, options, capacity);
}

IOBufferMemoryDescriptor* IOBufferMemoryDescriptor::withCapacity(vm_size_t capacity, IOOptionBits direction)
{
    return inTaskWithOptions(current_task(), direction, capacity);
}

void* IOBufferMemoryDescriptor::getBytesNoCopy() const
{
    return fBacking ? fBacking->fBytes : nullptr;
}

IOByteCount IOBufferMemoryDescriptor::getLength() const
{
    return fBacking ? fBacking->fLength : 0;
}

void IOBufferMemoryDescriptor::free()
{
    if (fBacking) {
        munmap(fBacking->fBytes, pageRounded(fBacking->fLength));
        close(fBacking->fFd);
        delete fBacking;
        fBacking = nullptr;
    }
    IOMemoryDescriptor::free();
}

IOSubMemoryDescriptor* IOSubMemoryDescriptor::withSubRange(IOMemoryDescriptor* parent, IOByteCount offset,
                                                           IOByteCount length, IOOptionBits)
{
    if (!parent || offset > parent->getLength() || length > parent->getLength() - offset) {
        return nullptr;
    }
    auto* descriptor = new IOSubMemoryDescriptor;
    parent->retain();
    descriptor->fParent = parent;
    descriptor->fOffset = offset;
    descriptor->fLength = length;
    return descriptor;
}

void* IOSubMemoryDescriptor::getKernelAddress() const
{
    auto* base = static_cast<uint8_t*>(fParent->getKernelAddress());
    return base ? base + fOffset : nullptr;
}

void IOSubMemoryDescriptor::free()
{
    OSSafeReleaseNULL(fParent);
    IOMemoryDescriptor::free();
}

bool IOMemoryDescriptorAccess::sharedFile(const IOMemoryDescriptor* descriptor, int* fd, IOByteCount* length)
{
    const auto* buffer = OSDynamicCast(const IOBufferMemoryDescriptor, descriptor);
    if (!buffer || !buffer->fBacking) {
        return false;
    }
    *fd = buffer->fBacking->fFd;
    *length = buffer->fBacking->fLength;
    return true;
}
