#pragma once

// Failures tests ask for: the next creations, and the next calls of a kind on an object (or on any
// object), fail at once.

#include <IOKit/IOKernelTypes.h>

#include <cstdint>

namespace KernelIOKitPlatform {

enum class FailingCall
{
    IO,
    DeviceRequest,
    GetFrameNumber,
    MessageSend,
};

// True (and counted down) when the next creation is to fail.
bool creationFails();
void failNextCreations(uint32_t count);

// The status the call is to fail with, or 0 when it goes ahead.
IOReturn injectedFailure(const void* object, FailingCall call);
void failNextCalls(const void* object, FailingCall call, uint32_t count, IOReturn status);
void clearFailures();

} // namespace KernelIOKitPlatform
