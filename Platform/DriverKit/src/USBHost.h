#pragma once

// The USB nubs of the devices on the process's simulated bus.

#include <USBDriverKit/IOUSBHostDevice.h>

#include <cstdint>

namespace DriverKitPlatform {

// Publishes one interface nub per interface of configuration `value`, attached under `device`.
// Matching runs at once, or later when a driver's queue asks (it may be the one that would start).
void publishInterfaces(IOUSBHostDevice* device, uint8_t value, bool match, bool later);

// Maps a bus outcome to the code USBDriverKit reports.
IOReturn usbStatus(uint32_t busStatus);

} // namespace DriverKitPlatform
