#pragma once

// How the controller writes an IN packet into host memory, which the rings' readers rely on:
// everything past the packet's first 8 bytes first, then the first 8 (all of it if shorter) as one
// store with release order, so that a reader that loads the start of the packet with acquire sees the
// whole packet. Where those 8 bytes would cross a cache line or the end of the buffer, byte 0 alone is
// that last store. Bytes of the slot past the packet keep what they held. `room` is how many bytes of
// host memory follow `to`.

#include <cstddef>
#include <cstdint>

namespace SimUSB {

void storePacket(uint8_t* to, const uint8_t* packet, size_t length, size_t room);

} // namespace SimUSB
