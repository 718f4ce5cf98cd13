#pragma once

// The played signal. Every value is k / 2^23 with |k| < 2^23, so it survives float -> 24-bit ->
// float unchanged: channel 0 a 440 Hz sine at -6 dBFS, channel 1 a frame counter that is never 0
// (silence stays apart from data), further channels a pseudo-random sequence of the frame number.

#include <cstdint>

namespace Demo {

constexpr double kSampleScale = 8388608.0; // 2^23
constexpr int64_t kCounterPeriod = (int64_t(1) << 23) - 2;
constexpr uint32_t kSineChannel = 0;
constexpr uint32_t kCounterChannel = 1;

// The 24-bit value of `channel` at frame `frame` of a stream at `rate`.
int32_t SignalValue(uint32_t channel, int64_t frame, uint32_t rate);

inline float ToFloat(int32_t value)
{
    return float(double(value) / kSampleScale);
}

// The nearest 24-bit value of a float sample.
int32_t ToValue(float sample);

// The played frame a counter value names, taken nearest to `near`.
int64_t FrameOfCounter(int32_t counter, int64_t near);

} // namespace Demo
