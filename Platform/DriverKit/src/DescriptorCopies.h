#pragma once

// Descriptor copies handed to drivers, with their sizes remembered so that walks never read past
// what the device gave.

#include <cstddef>
#include <cstdint>

namespace DriverKitPlatform {

// A copy of `length` bytes, freed with IOUSBHostFreeDescriptor.
void* copyDescriptor(const uint8_t* bytes, size_t length);
// The size of a copy made here, or 0 for any other address.
size_t descriptorCopySize(const void* copy);

} // namespace DriverKitPlatform
