#pragma once

// The conversions between the device's integer samples and the audio server's floats: 24 bits in
// a 3- or 4-byte subslot, little-endian, channels interleaved. Only even channel counts from 2 to
// 32 are converted; callers log any other count.

#include <cstdint>

constexpr float kMaxOutputSample = 2147483392.0f; // 2^31 - 256: 24 bits at the top of 32

bool IsConvertibleChannelCount(uint32_t channels);

// Converts one packet's whole frames into the chase ring at `writePosition` and moves it on. Floats
// written past `chaseEnd` (into the overflow area behind it) are moved to `chaseStart`, and the
// write position continues after them. False, with nothing written, for a channel count that is
// not converted.
bool CopyUframeIntoChaseBuffer(float* chaseStart, const float* chaseEnd, float*& writePosition,
                               const uint8_t* bytes, uint32_t byteCount, uint32_t bytesPerFrame,
                               uint32_t channels, uint64_t& framesCopied);

// Scales, clamps to +-kMaxOutputSample and converts `frames` frames to 32-bit samples with their low
// 8 bits clear. Each frame's channels in whole groups of four are rounded to nearest, the pair left
// over is truncated toward zero. Gives the source position after the last frame converted: the
// source itself for a channel count that is not converted.
const float* WriteSamples(int32_t* destination, const float* source, uint32_t frames, uint32_t channels,
                          const float* scale);

// Stores each 32-bit sample as its upper three bytes, one after another.
void PackSamples3(uint8_t* destination, const int32_t* samples, uint32_t count);
