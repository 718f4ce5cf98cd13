#pragma once

// Logging, sleeping and memory for kernel code.

#include <IOKit/IOKernelTypes.h>

inline namespace kernel {

// To the Platform/Darwin log sink, under the subsystem "kernel".
void IOLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Waits on the Platform clock, so the manual clock moves it.
void IOSleep(unsigned int milliseconds);

void* IOMalloc(size_t size);
void* IOMallocZero(size_t size);
void IOFree(void* address, size_t size);

} // namespace kernel
