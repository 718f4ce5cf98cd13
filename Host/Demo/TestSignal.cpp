#include "TestSignal.h"

#include <cmath>
#include <numbers>

namespace Demo {

namespace {

constexpr double kSineHz = 440.0;
constexpr double kSineAmplitude = 0.5; // -6 dBFS

// A 3-byte frame that starts with 0xAA bytes could be taken for a stretch the device never wrote.
constexpr int32_t kStaleByte = 0xAA;

uint64_t Mix(uint64_t value)
{
    value ^= value >> 33;
    value *= 0xFF51AFD7ED558CCDull;
    value ^= value >> 33;
    value *= 0xC4CEB9FE1A85EC53ull;
    return value ^ (value >> 33);
}

} // namespace

int32_t SignalValue(uint32_t channel, int64_t frame, uint32_t rate)
{
    if (channel == kSineChannel) {
        // The phase from the frame within one second keeps precision over long runs.
        const double seconds = double(frame % rate) / rate;
        auto value = int32_t(
            std::lround(kSineAmplitude * std::sin(2 * std::numbers::pi * kSineHz * seconds) * kSampleScale));
        if ((value & 0xFF) == kStaleByte) {
            value ^= 1;
        }
        return value;
    }
    if (channel == kCounterChannel) {
        const int64_t wrapped = ((frame % kCounterPeriod) + kCounterPeriod) % kCounterPeriod;
        return -int32_t((1 + wrapped) * kCounterStep);
    }
    const uint64_t bits = Mix(uint64_t(frame) * 0x9E3779B97F4A7C15ull + channel);
    // Within (-2^23, 2^23); only channel 0 starts a frame, so no 0xAA check is needed here.
    return int32_t(int64_t(bits % ((uint64_t(1) << 24) - 1)) - ((int64_t(1) << 23) - 1));
}

int32_t ToValue(float sample)
{
    return int32_t(std::lround(double(sample) * kSampleScale));
}

int64_t FrameOfCounter(int32_t counter, int64_t near)
{
    const int64_t base = std::llround(-double(counter) / kCounterStep) - 1;
    return base + std::llround(double(near - base) / double(kCounterPeriod)) * kCounterPeriod;
}

} // namespace Demo
