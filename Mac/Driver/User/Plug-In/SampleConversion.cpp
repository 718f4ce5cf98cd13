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

#if defined(__SSE2__)
// Four packed 3-byte samples, read as three little-endian words.
inline __m128i LoadFourSamples3(const uint8_t* bytes)
{
    uint32_t words[3];
    std::memcpy(words, bytes, sizeof(words));
    return _mm_set_epi32(int32_t(words[2] & 0xFFFFFF00u),
                         int32_t((words[1] >> 8 & 0xFFFF00u) | words[2] << 24),
                         int32_t((words[0] >> 16 & 0xFF00u) | words[1] << 16), int32_t(words[0] << 8));
}
#endif

// Device samples are converted in fours where the processor has vector instructions, which give
// the same floats as the scalar conversion: both round to nearest, and the scale is a power of two.
template <uint32_t BytesPerSample>
float* ConvertSamples(float* out, const uint8_t* bytes, std::size_t count)
{
    std::size_t index = 0;
#if defined(__SSE2__)
    const __m128 scale = _mm_set1_ps(kSampleScale);
    for (; index + 4 <= count; index += 4) {
        const uint8_t* at = bytes + index * BytesPerSample;
        __m128i samples;
        if constexpr (BytesPerSample == 4) {
            samples = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        } else {
            samples = LoadFourSamples3(at);
        }
        _mm_storeu_ps(out + index, _mm_mul_ps(_mm_cvtepi32_ps(samples), scale));
    }
#endif
    for (; index < count; ++index) {
        const uint8_t* at = bytes + index * BytesPerSample;
        out[index] = float(BytesPerSample == 3 ? LoadSample3(at) : LoadSample4(at)) * kSampleScale;
    }
    return out + count;
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

// The channel count is a constant of each instance, so the compiler unrolls the frame; the rounded
// channels go four at a time where the processor has vector instructions, with the same clamp and
// rounding as the scalar path.
template <uint32_t Channels>
const float* ScaleFrames(int32_t* out, const float* source, uint32_t frames, const float* scale)
{
    constexpr uint32_t rounded = Channels / 4 * 4;
    for (uint32_t frame = 0; frame < frames; ++frame) {
        uint32_t channel = 0;
#if defined(__SSE2__)
        const __m128 upper = _mm_set1_ps(kMaxOutputSample);
        const __m128 lower = _mm_set1_ps(-kMaxOutputSample);
        const __m128i mask = _mm_set1_epi32(~0xFF);
        for (; channel < rounded; channel += 4) {
            // min takes its second operand for NaN, as Clamp does.
            const __m128 scaled = _mm_mul_ps(_mm_loadu_ps(source + channel), _mm_loadu_ps(scale + channel));
            const __m128 clamped = _mm_max_ps(_mm_min_ps(scaled, upper), lower);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + channel),
                             _mm_and_si128(_mm_cvtps_epi32(clamped), mask));
        }
#endif
        for (; channel < rounded; ++channel) {
            out[channel] = Round(Clamp(source[channel] * scale[channel])) & ~0xFF;
        }
        for (channel = rounded; channel < Channels; ++channel) {
            out[channel] = int32_t(Clamp(source[channel] * scale[channel])) & ~0xFF;
        }
        out += Channels;
        source += Channels;
    }
    return source;
}

using ScaleFunction = const float* (*)(int32_t*, const float*, uint32_t, const float*);

// Indexed by channel count / 2 - 1.
template <std::size_t... Pairs>
constexpr auto ScaleTable(std::index_sequence<Pairs...>)
{
    return std::array<ScaleFunction, sizeof...(Pairs)>{&ScaleFrames<(Pairs + 1) * 2>...};
}

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
    const std::size_t samples = std::size_t(frames) * channels;
    writePosition = bytesPerSample == 3 ? ConvertSamples<3>(writePosition, bytes, samples)
                                        : ConvertSamples<4>(writePosition, bytes, samples);
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
    uint32_t index = 0;
    // Four samples' top three bytes make a little-endian 64-bit and a 32-bit word.
    for (; index + 4 <= count; index += 4) {
        const uint32_t s0 = uint32_t(samples[index]) >> 8;
        const uint32_t s1 = uint32_t(samples[index + 1]) >> 8;
        const uint32_t s2 = uint32_t(samples[index + 2]) >> 8;
        const uint32_t s3 = uint32_t(samples[index + 3]) >> 8;
        const uint64_t low = uint64_t(s0) | uint64_t(s1) << 24 | uint64_t(s2) << 48;
        const uint32_t high = s2 >> 16 | s3 << 8;
        std::memcpy(destination, &low, sizeof(low));
        std::memcpy(destination + sizeof(low), &high, sizeof(high));
        destination += sizeof(low) + sizeof(high);
    }
    for (; index < count; ++index) {
        uint8_t bytes[4];
        std::memcpy(bytes, &samples[index], sizeof(bytes));
        destination[0] = bytes[1];
        destination[1] = bytes[2];
        destination[2] = bytes[3];
        destination += 3;
    }
}
