#pragma once

// Basic types of the DriverKit interfaces.

#include <IOKit/IOReturn.h>
#include <mach/kern_return.h>

#include <cstddef>
#include <cstdint>

typedef uint32_t IOOptionBits;

struct IOAddressSegment
{
    uint64_t address;
    uint64_t length;
};

// Directions of a memory descriptor, as seen from the device.
enum
{
    kIOMemoryDirectionIn = 0x00000001,
    kIOMemoryDirectionOut = 0x00000002,
    kIOMemoryDirectionInOut = kIOMemoryDirectionIn | kIOMemoryDirectionOut,
};
