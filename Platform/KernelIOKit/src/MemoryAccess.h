#pragma once

// The memfd behind a buffer descriptor, for the user-client mappings.

#include <IOKit/IOBufferMemoryDescriptor.h>

inline namespace kernel {

struct IOMemoryDescriptorAccess
{
    // The descriptor's memfd and its length; false for a descriptor that has none of its own.
    static bool sharedFile(const IOMemoryDescriptor* descriptor, int* fd, IOByteCount* length);
};

} // namespace kernel
