#pragma once

// Creations the tests make fail: OSData, OSString, OSDictionary, OSArray, buffer descriptors,
// actions and queues each ask here first.

#include <cstdint>

namespace DriverKitPlatform {

// True when this creation is to fail.
bool creationFails();
void failNextCreations(uint32_t count);

} // namespace DriverKitPlatform
