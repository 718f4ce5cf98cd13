#pragma once

// Setting a USB device's configuration through the user-space device interface goes to the USB
// host, as on macOS: it sends the request and takes down the interface nubs of the old
// configuration and publishes those of the new one. Until a host has registered, the request alone
// is sent.

#include <IOKit/IOReturn.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace SimUSB {
class HostDevice;
} // namespace SimUSB

namespace IOKitPlatform {

using USBConfigurationSetter =
    std::function<IOReturn(const std::shared_ptr<SimUSB::HostDevice>& device, uint8_t value)>;

void setUSBConfigurationSetter(USBConfigurationSetter setter);

} // namespace IOKitPlatform
