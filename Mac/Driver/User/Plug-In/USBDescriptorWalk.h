#pragma once

// Steps through a block of USB descriptors read from the device. Every walk stops at a descriptor
// whose length byte is below 2 or that would end past the block, so a malformed block can neither
// loop forever nor send a read outside it.

#include "KorvanDeviceIO.h"

#include <algorithm>
#include <cstdint>

namespace USBDescriptorWalk {

constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kEndpointType = 5;
constexpr uint8_t kClassSpecificInterfaceType = 0x24;

// The bytes of the block the device filled: at most the block's own size.
inline const uint8_t* End(const KorvanDeviceIO::USBDescriptors& descriptors)
{
    return descriptors.fData + std::min<std::size_t>(descriptors.fLength, sizeof(descriptors.fData));
}

// True when a whole descriptor of a usable length starts at `position`.
inline bool Fits(const uint8_t* position, const uint8_t* end)
{
    return position != nullptr && position + 2 <= end && position[0] >= 2 && position + position[0] <= end;
}

// The descriptor after the one at `position`, or null when the walk ends.
inline const uint8_t* Next(const uint8_t* position, const uint8_t* end)
{
    if (!Fits(position, end)) {
        return nullptr;
    }
    const uint8_t* next = position + position[0];
    return Fits(next, end) ? next : nullptr;
}

// The first descriptor from `position` on (itself included) that fits and satisfies `match`.
template <typename Match>
const uint8_t* Find(const uint8_t* position, const uint8_t* end, Match match)
{
    for (const uint8_t* descriptor = Fits(position, end) ? position : nullptr; descriptor != nullptr;
         descriptor = Next(descriptor, end)) {
        if (match(descriptor)) {
            return descriptor;
        }
    }
    return nullptr;
}

// The first class-specific interface descriptor of the audio-control interface whose entity id
// (byte 3) is `entity`; null when none.
inline const uint8_t* FindEntity(const uint8_t* begin, const uint8_t* end, uint8_t entity)
{
    return Find(begin, end, [entity](const uint8_t* descriptor) {
        return descriptor[1] == kClassSpecificInterfaceType && descriptor[0] >= 4 && descriptor[3] == entity;
    });
}

} // namespace USBDescriptorWalk
