#pragma once

// The controller's accesses to host memory stand for DMA: the host reads and writes the same rings
// at the same time, with no lock, as it does with a real controller. ThreadSanitizer is told to
// ignore them; the one access that orders a packet for its readers is an atomic store.

#include <cstddef>
#include <cstdint>

namespace SimUSB {

// Copies from host memory.
void dmaRead(void* to, const void* from, size_t length);
// Copies into host memory.
void dmaWrite(void* to, const void* from, size_t length);
// Writes an IN packet into host memory: everything past its first 8 bytes first, then the first 8
// (all of it if shorter) as one store with release order, so that a reader that loads the start of
// the packet with acquire sees the whole packet. Bytes of the slot past the packet keep what they
// held. `room` is how many bytes of host memory follow `to`.
void storePacket(uint8_t* to, const uint8_t* packet, size_t length, size_t room);

} // namespace SimUSB
