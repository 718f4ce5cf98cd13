#pragma once

// The basic types of kernel IOKit code.

#include <IOKit/IOReturn.h>
#include <mach/mach_types.h>

#include <cstddef>
#include <cstdint>

inline namespace kernel {

// Host time in nanoseconds, the unit of mach_absolute_time here.
typedef uint64_t AbsoluteTime;
typedef size_t IOByteCount;
typedef uint32_t IOOptionBits;
typedef uint64_t IOVirtualAddress;

} // namespace kernel
