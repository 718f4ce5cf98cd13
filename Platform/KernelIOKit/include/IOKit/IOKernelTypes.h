#pragma once

// The basic types of kernel IOKit code (user space has IOKit/IOTypes.h).

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

typedef uint8_t UInt8;
typedef uint16_t UInt16;
typedef uint32_t UInt32;
typedef uint64_t UInt64;
typedef int32_t SInt32;

// The task making the current call.
task_t current_task();

} // namespace kernel
