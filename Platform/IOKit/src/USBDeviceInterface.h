#pragma once

// The objects behind the USB device library's device plug-in and device interface.

#include <IOKit/usb/IOUSBLib.h>
#include <SimUSB/HostDevice.h>

#include <memory>

namespace IOKitPlatform {
class RegistryEntry;
} // namespace IOKitPlatform

namespace IOKit {

// Answers IOCreatePlugInInterfaceForService on a device nub: the plug-in, with one reference.
IOCFPlugInInterface** createUSBDevicePlugIn(std::shared_ptr<SimUSB::HostDevice> device,
                                            std::shared_ptr<IOKitPlatform::RegistryEntry> nub);

} // namespace IOKit
