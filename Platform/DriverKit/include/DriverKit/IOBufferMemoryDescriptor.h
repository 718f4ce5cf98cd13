#pragma once

#include <DriverKit/IOMemoryDescriptor.h>

// A zero-filled memfd of `capacity` bytes (rounded up to pages), mapped shared once into the driver.
// Its length starts at the capacity and can be set up to it.
class IOBufferMemoryDescriptor : public IOMemoryDescriptor
{
public:
    static kern_return_t Create(uint64_t options, uint64_t capacity, uint64_t alignment,
                                IOBufferMemoryDescriptor** memory);

    kern_return_t SetLength(uint64_t length);
    kern_return_t GetAddressRange(IOAddressSegment* range);

private:
    uint64_t fCapacity = 0;
};
