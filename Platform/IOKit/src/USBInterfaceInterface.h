#pragma once

// The objects behind the USB device library's interface plug-in and interface interface.

#include <IOKit/usb/IOUSBLib.h>
#include <SimUSB/HostDevice.h>

#include <memory>

namespace IOKitPlatform {
class RegistryEntry;
} // namespace IOKitPlatform

namespace IOKit {

// Answers IOCreatePlugInInterfaceForService on an interface nub: the plug-in, with one reference,
// or null when the nub names no interface of the device.
IOCFPlugInInterface** createUSBInterfacePlugIn(std::shared_ptr<SimUSB::HostDevice> device,
                                               const IOKitPlatform::RegistryEntry& nub);

} // namespace IOKit
