#pragma once

// The controller's accesses to host memory stand for DMA: the host reads and writes the same rings
// at the same time, with no lock, as it does with a real controller. ThreadSanitizer is told to
// ignore them; the one access that orders a packet for its readers is an atomic store.

#include <SimUSB/PacketStore.h>

#include <cstddef>
#include <cstdint>

namespace SimUSB {

// Copies from host memory.
void dmaRead(void* to, const void* from, size_t length);
// Copies into host memory.
void dmaWrite(void* to, const void* from, size_t length);
} // namespace SimUSB
