#pragma once

// Memory a driver shares with the device or with a user client: a memfd mapped once into the
// driver, a range of another descriptor, or a user client's caller's bytes for the length of a call.

#include <DriverKit/OSObject.h>

#include <memory>

namespace DriverKitPlatform {
struct MemoryBacking;
}

class IOMemoryMap;

class IOMemoryDescriptor : public OSObject
{
public:
    kern_return_t GetLength(uint64_t* returnLength);
    // A mapping of [offset, offset + length) (length 0: to the end) into the driver. Ranges outside the
    // descriptor are refused.
    kern_return_t CreateMapping(uint64_t options, uint64_t address, uint64_t offset, uint64_t length,
                                uint64_t alignment, IOMemoryMap** map);
    static kern_return_t CreateSubMemoryDescriptor(uint64_t memoryDescriptorCreateOptions, uint64_t offset,
                                                   uint64_t length, IOMemoryDescriptor* ofDescriptor,
                                                   IOMemoryDescriptor** memory);

    // Platform.
    static IOMemoryDescriptor* wrap(void* bytes, uint64_t length, uint64_t direction);
    uint8_t* platformBytes() const;
    uint64_t platformLength() const { return fLength; }
    // The memfd and this descriptor's offset in it (-1 for wrapped bytes).
    int platformFd() const;
    uint64_t platformOffset() const { return fOffset; }

protected:
    std::shared_ptr<DriverKitPlatform::MemoryBacking> fBacking;
    uint64_t fOffset = 0;
    uint64_t fLength = 0;
    uint64_t fDirection = 0;
};

class IOMemoryMap : public OSObject
{
public:
    uint64_t GetAddress();
    uint64_t GetLength();
    uint64_t GetOffset();

private:
    friend class IOMemoryDescriptor;
    std::shared_ptr<DriverKitPlatform::MemoryBacking> fBacking;
    uint64_t fAddress = 0;
    uint64_t fLength = 0;
    uint64_t fOffset = 0;
};
