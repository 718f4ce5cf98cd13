#pragma once

// The objects behind the USB device library's plug-in and device interfaces. Each starts with its
// function table, so that the interface pointer handed out is the object's address.

#include <IOKit/usb/IOUSBLib.h>
#include <SimUSB/HostDevice.h>

#include <atomic>
#include <memory>

namespace IOKit {

// Answers IOCreatePlugInInterfaceForService on a device nub: the plug-in, with one reference.
IOCFPlugInInterface** createUSBDevicePlugIn(std::shared_ptr<SimUSB::HostDevice> device);

} // namespace IOKit
