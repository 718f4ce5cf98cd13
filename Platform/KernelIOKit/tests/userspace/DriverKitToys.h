#pragma once

// A driver extension's toy driver for the matching tests, built apart from the kernel's headers:
// it starts on interface 0 of the device with the given ids, recording "start DriverKitToy" and
// each power change ("power DriverKitToy <state>") as toy events.

#include <cstdint>

namespace KernelIOKitTestSupport {

// Registers the toy's personality with that probe score.
void registerDriverKitToy(uint16_t vendor, uint16_t product, uint32_t score);

} // namespace KernelIOKitTestSupport
