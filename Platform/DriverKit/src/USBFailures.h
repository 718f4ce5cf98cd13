#pragma once

// Calls of USB objects that tests make fail at once with a given status.

#include <DriverKit/IOTypes.h>
#include <DriverKit/platform/USBCall.h>

namespace DriverKitPlatform {

// The status the next call `call` on `object` fails with, or kIOReturnSuccess.
IOReturn injectedFailure(const void* object, USBCall call);
void failNextCalls(const void* object, USBCall call, uint32_t count, IOReturn status);

} // namespace DriverKitPlatform
