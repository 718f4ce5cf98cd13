#pragma once

// Recordings made up for the loopback check: IO cycles of the plug-in's input as a host hands them
// over, each frame the played frame a rule names for its input sample time, or silence.

#include <LoopbackCheck.h>
#include <TestSignal.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace DemoTesting {

constexpr uint32_t kRate = 48000;
constexpr uint32_t kChannels = 2;
constexpr uint32_t kBuffer = 512;
constexpr uint32_t kPeriod = 16384;
// The first cycle's input sample time, and the first frame that carries played audio back at a
// latency of 0 frames: the device sent silence before it.
constexpr int64_t kSegmentStart = -528;
constexpr int64_t kFirstPlayedBack = 528;

// The played frame recorded at an input sample time, or nothing for silence.
using Source = std::function<std::optional<int64_t>(int64_t time)>;

// The end of the cycle that holds `time`, as the recording's cycles fall.
constexpr int64_t CycleEnd(int64_t time)
{
    return kSegmentStart + ((time - kSegmentStart) / kBuffer + 1) * kBuffer;
}

// `cycles` IO cycles from the segment's start through a loopback check.
inline Demo::LoopbackResult Record(const Source& source, uint32_t cycles)
{
    Demo::LoopbackCheck check(Demo::InputLayout{kRate, kChannels, kChannels, false, kPeriod});
    std::vector<float> samples(size_t(kBuffer) * kChannels);
    for (uint32_t index = 0; index < cycles; ++index) {
        const int64_t first = kSegmentStart + int64_t(index) * kBuffer;
        for (uint32_t frame = 0; frame < kBuffer; ++frame) {
            const std::optional<int64_t> played =
                first + frame < kFirstPlayedBack ? std::nullopt : source(first + frame);
            for (uint32_t channel = 0; channel < kChannels; ++channel) {
                samples[size_t(frame) * kChannels + channel] =
                    played ? Demo::ToFloat(Demo::SignalValue(channel, *played, kRate)) : 0.0f;
            }
        }
        check.add(first, samples.data(), kBuffer);
    }
    return check.result();
}

} // namespace DemoTesting
