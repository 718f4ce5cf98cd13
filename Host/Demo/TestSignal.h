#pragma once

// The played signal. Every value is k / 2^23 with |k| < 2^23: channel 0 a 440 Hz sine at -6 dBFS,
// channel 1 a frame counter that is never 0 (silence stays apart from data), further channels a
// pseudo-random sequence of the frame number.
//
// At full volume the plug-in scales by 2^31 - 256 before it keeps the top 24 bits, a gain just below
// one: a value may come back one step nearer zero. The counter therefore counts in steps of four,
// so the frame it names is still exact.

#include <cstdint>

namespace Demo {

constexpr double kSampleScale = 8388608.0; // 2^23
constexpr int64_t kCounterStep = 4;
constexpr int64_t kCounterPeriod = (int64_t(1) << 21) - 2;
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

// Whether `recorded` is what full-volume playback makes of `played` (see above).
inline bool CameBack(int32_t played, int32_t recorded)
{
    const int32_t nearerZero = played > 0 ? played - 1 : (played < 0 ? played + 1 : 0);
    return recorded == played || recorded == nearerZero;
}

// The played frame a recorded counter value names, taken nearest to `near`.
int64_t FrameOfCounter(int32_t counter, int64_t near);

} // namespace Demo
