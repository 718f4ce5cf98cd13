#pragma once

// What the configuration descriptors say about a device's audio streams: the bytes per sample and,
// per direction, the streaming interface with the alternate setting, channel count and max packet
// of each rate family.

#include "KorvanDeviceIO.h"

#include <cstdint>

enum RateFamily : int
{
    kRateFamily1x = 0, // 44.1 and 48 kHz
    kRateFamily2x = 1, // 88.2 and 96 kHz
    kRateFamily4x = 2, // 176.4 and 192 kHz
    kRateFamilyCount = 3,
};

// False for a rate of no family.
bool RateFamilyOf(uint32_t rate, RateFamily& family);

struct IsocFamilyInfo
{
    uint8_t fAlt;
    uint8_t fNumCh;
    uint32_t fMaxPacket;
};

struct IsocInfo
{
    // 0: no streaming interface found.
    uint8_t fInterface;
    IsocFamilyInfo fFamily[kRateFamilyCount];
};

// The largest max packet a streaming endpoint may have: the limit of a high-speed isochronous
// endpoint, which also keeps every packet of a block inside the ring.
constexpr uint32_t kMaxUsablePacketBytes = 3072;
constexpr uint32_t kDefaultBusBytesPerSample = 4;

// The next audio-streaming interface descriptor (UAC2) from `position` on, itself included; null
// when none.
const uint8_t* GetNextAudioStreamingAlternateInterface(const uint8_t* position, const uint8_t* end);

// The subslot size of the first 24-bit type I format of a streaming alternate setting; 4 when none
// has a subslot of 3 or 4.
uint32_t FindBusBytesPerSample(const KorvanDeviceIO::USBDescriptors& descriptors);

// The streaming interface of each direction with its rate families.
void FindIsocInfo(const KorvanDeviceIO::USBDescriptors& descriptors, IsocInfo& in, IsocInfo& out);
