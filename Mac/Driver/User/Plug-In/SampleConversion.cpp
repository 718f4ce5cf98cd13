#include "SampleConversion.h"

#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr float kSampleScale = 1.0f / 2147483648.0f;
constexpr uint32_t kMaxChannels = 32;

inline int32_t LoadSample3(const uint8_t* bytes)
{
    return int32_t(uint32_t(bytes[0]) << 8 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 24);
}

inline int32_t LoadSample4(const uint8_t* bytes)
{
    int32_t sample;
    std::memcpy(&sample, bytes, sizeof(sample));
    return sample;
}

// The channel count is a constant of each instance, so the compiler unrolls the frame.
template <uint32_t Channels, uint32_t BytesPerSample>
float* ConvertFrames(float* out, const uint8_t* bytes, uint32_t frames)
{
    for (uint32_t frame = 0; frame < frames; ++frame) {
        for (uint32_t channel = 0; channel < Channels; ++channel) {
            const int32_t sample = BytesPerSample == 3 ? LoadSample3(bytes) : LoadSample4(bytes);
            out[channel] = float(sample) * kSampleScale;
            bytes += BytesPerSample;
        }
        out += Channels;
    }
    return out;
}

inline float Clamp(float value)
{
    // Written so that NaN becomes the upper limit rather than reaching the conversion.
    value = value < kMaxOutputSample ? value : kMaxOutputSample;
    return value > -kMaxOutputSample ? value : -kMaxOutputSample;
}

// To nearest, ties to even.
inline int32_t Round(float value)
{
#if defined(__SSE2__)
    return _mm_cvtss_si32(_mm_set_ss(value));
#else
    return int32_t(std::nearbyint(value));
#endif
}

template <uint32_t Channels>
const float* ScaleFrames(int32_t* out, const float* source, uint32_t frames, const float* scale)
{
    constexpr uint32_t rounded = Channels / 4 * 4;
    for (uint32_t frame = 0; frame < frames; ++frame) {
        for (uint32_t channel = 0; channel < rounded; ++channel) {
            out[channel] = Round(Clamp(source[channel] * scale[channel])) & ~0xFF;
        }
        for (uint32_t channel = rounded; channel < Channels; ++channel) {
            out[channel] = int32_t(Clamp(source[channel] * scale[channel])) & ~0xFF;
        }
        out += Channels;
        source += Channels;
    }
    return source;
}

using ConvertFunction = float* (*)(float*, const uint8_t*, uint32_t);
using ScaleFunction = const float* (*)(int32_t*, const float*, uint32_t, const float*);

// Indexed by channel count / 2 - 1.
template <uint32_t BytesPerSample, std::size_t... Pairs>
constexpr auto ConvertTable(std::index_sequence<Pairs...>)
{
    return std::array<ConvertFunction, sizeof...(Pairs)>{&ConvertFrames<(Pairs + 1) * 2, BytesPerSample>...};
}

template <std::size_t... Pairs>
constexpr auto ScaleTable(std::index_sequence<Pairs...>)
{
    return std::array<ScaleFunction, sizeof...(Pairs)>{&ScaleFrames<(Pairs + 1) * 2>...};
}

constexpr auto kConvert3 = ConvertTable<3>(std::make_index_sequence<kMaxChannels / 2>());
constexpr auto kConvert4 = ConvertTable<4>(std::make_index_sequence<kMaxChannels / 2>());
constexpr auto kScale = ScaleTable(std::make_index_sequence<kMaxChannels / 2>());

} // namespace

bool IsConvertibleChannelCount(uint32_t channels)
{
    return channels >= 2 && channels <= kMaxChannels && channels % 2 == 0;
}

bool CopyUframeIntoChaseBuffer(float* chaseStart, const float* chaseEnd, float*& writePosition,
                               const uint8_t* bytes, uint32_t byteCount, uint32_t bytesPerFrame,
                               uint32_t channels, uint64_t& framesCopied)
{
    if (!IsConvertibleChannelCount(channels) || bytesPerFrame == 0 || bytesPerFrame % channels != 0) {
        return false;
    }
    const uint32_t bytesPerSample = bytesPerFrame / channels;
    if (bytesPerSample != 3 && bytesPerSample != 4) {
        return false;
    }
    const uint32_t frames = byteCount / bytesPerFrame;
    const auto& table = bytesPerSample == 3 ? kConvert3 : kConvert4;
    writePosition = table[channels / 2 - 1](writePosition, bytes, frames);
    framesCopied += frames;
    if (writePosition >= chaseEnd) {
        const std::size_t overflow = std::size_t(writePosition - chaseEnd);
        std::memmove(chaseStart, chaseEnd, overflow * sizeof(float));
        writePosition = chaseStart + overflow;
    }
    return true;
}

const float* WriteSamples(int32_t* destination, const float* source, uint32_t frames, uint32_t channels,
                          const float* scale)
{
    if (!IsConvertibleChannelCount(channels)) {
        return source;
    }
    return kScale[channels / 2 - 1](destination, source, frames, scale);
}

void PackSamples3(uint8_t* destination, const int32_t* samples, uint32_t count)
{
    for (uint32_t index = 0; index < count; ++index) {
        uint8_t bytes[4];
        std::memcpy(bytes, &samples[index], sizeof(bytes));
        destination[0] = bytes[1];
        destination[1] = bytes[2];
        destination[2] = bytes[3];
        destination += 3;
    }
}
