#pragma once

// Test hooks of the kernel IOKit layer.

#include <IOKit/IOService.h>
#include <IOKit/IOUserClient.h>
#include <IOKit/usb/IOUSBHostInterface.h>

#include <IOKit/platform/Registry.h>
#include <KernelIOKitTesting/KernelExtensionLoading.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace KernelIOKitTesting {

// The registry entry user space sees for a kernel entry.
std::shared_ptr<IOKitPlatform::RegistryEntry> registryEntry(const IORegistryEntry* entry);

// What a service gave power management: PMinit, its power parent, the driver and states it
// registered.
struct PowerRecord
{
    bool fPMInitialised = false;
    IOService* fPowerParent = nullptr;
    IOService* fPowerDriver = nullptr;
    std::vector<IOPMPowerState> fStates;
};
PowerRecord powerRecord(const IOService* service);

// The demands of requireMaxBusStall and requireMaxInterruptDelay; 0 when none.
UInt32 maxBusStall(const IOService* service);
UInt32 maxInterruptDelay(const IOService* service);

// Kernel nubs for the device on a port of the simulated bus: the device with its interfaces below
// it, all published. Null when no device is there. Terminating the device removes them.
IOUSBHostDevice* publishUSBDevice(uint8_t port);
// The interface nub of that number below a device, not retained; null when there is none.
IOUSBHostInterface* interfaceNub(IOUSBHostDevice* device, uint8_t interfaceNumber);

// A copy of configuration bytes as the platform hands them out, so the walks stop where the bytes
// end; freed with freeConfiguration.
const StandardUSB::ConfigurationDescriptor* copyConfiguration(const uint8_t* bytes, size_t length);
void freeConfiguration(const StandardUSB::ConfigurationDescriptor* configuration);

// What the end of a client's connection does: clientClose, then a client its provider's termination
// left attached is detached. The caller's reference is its own.
void closeConnection(IOUserClient* client);

// The next `count` creations of work loops, buffers or user clients fail.
void failNextCreations(uint32_t count);

enum class Call
{
    IO,             // a pipe's io, interrupt or isochronous
    DeviceRequest,  // on a device (or any of its interfaces)
    GetFrameNumber, // on a device or its interfaces: frame 0 at time 0
    MessageSend,    // mach_msg_send_from_kernel_with_options, on no object
};
// The next `count` calls of `call` on `object` (a pipe or a device; null: any) fail at once with
// `status`.
void failNextCalls(const void* object, Call call, uint32_t count, IOReturn status);
// Forgets every failure still armed.
void clearFailures();

// Each frame-number read of a device or interface nub then calls `afterRead` with the frame and time
// it read, on the reading thread: on the manual clock a test steps the clock there, so a driver
// polling for the next frame sees time pass as it would on a bus. An empty function removes the
// hook.
void setFrameReadHook(std::function<void(uint64_t frame, uint64_t time)> afterRead);

// setPowerState(ordinal) on the power driver of one service, on the layer's power thread. The
// system's sleep and wake (DriverKitTesting::sleepSystem, wakeSystem) reach every kernel service.
void setPowerState(IOService* service, unsigned long ordinal);

// How often a driver asked the device for a reset.
int resetCount(const IOUSBHostDevice* device);

} // namespace KernelIOKitTesting
