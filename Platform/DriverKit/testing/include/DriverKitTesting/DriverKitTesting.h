#pragma once

// Test hooks of the DriverKit layer. No deliverable links this.

#include <DriverKit/IOService.h>
#include <DriverKit/platform/USBCall.h>
#include <USBDriverKit/USBTypes.h>

#include <cstddef>
#include <cstdint>

namespace DriverKitTesting {

// The next `count` creations of OSData, OSString, OSDictionary, OSArray, buffer descriptors, actions
// and queues fail.
void failNextCreations(uint32_t count);

using USBCall = DriverKitPlatform::USBCall;

// The next `count` calls of `call` on a pipe, interface or device fail at once with `status`; with
// `object` null, on whichever object makes them.
void failNextCalls(const OSObject* object, USBCall call, uint32_t count, IOReturn status);

// From now on `observer` is told of every frame-number read, on the reading thread, with the frame
// and host time read; null stops it. For measurements of the readers.
using FrameReadObserver = void (*)(void* context, uint64_t frame, uint64_t time);
void observeFrameReads(FrameReadObserver observer, void* context);

// The system sleeps: the user-space power messages, then SetPowerState(0) on every started service.
void sleepSystem();
// The system wakes: SetPowerState(2) on every started service, then the user-space message.
void wakeSystem();

uint64_t requiredMaxBusStall(IOService* service);
uint32_t powerState(IOService* service);

// A copy of `bytes` as the platform hands out descriptors, so the walks know where it ends. Freed
// with IOUSBHostFreeDescriptor.
const IOUSBConfigurationDescriptor* copyConfiguration(const uint8_t* bytes, size_t length);

// Loads a driver bundle as the system does when its extension is activated: the bundle's library
// (Contents/MacOS/<CFBundleExecutable>) when it has one, else the driver classes already in the
// process, and the IOKitPersonalities of Contents/Info.plist. Loading the same bundle again does
// nothing. False when the property list cannot be read or the library cannot be loaded.
bool loadDriverBundle(const char* bundlePath);

} // namespace DriverKitTesting
