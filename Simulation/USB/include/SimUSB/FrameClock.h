#pragma once

// The bus's (micro)frame counter. Frame and microframe are computed from the Platform clock on every
// read, with no thread ticking them: a driver that polls for a frame boundary brackets it as
// closely as the real counter allows, and the manual clock moves it.

#include <Darwin/InheritingMutex.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace SimUSB {

struct FrameReading
{
    uint64_t frame = 0;
    uint64_t time = 0;
    bool operator==(const FrameReading&) const = default;
};

class FrameClock
{
public:
    // The counter's reference as it stands: it answers the same questions without the lock, for a
    // pass that asks many of them.
    struct Base
    {
        uint64_t time;
        uint64_t microframe;
        uint64_t periodPs;

        uint64_t microframeAt(uint64_t time) const;
        uint64_t microframeStart(uint64_t microframe) const;
    };

    FrameClock();

    Base base() const;

    // The frame and microframe at host time `time`, and when a microframe starts.
    uint64_t frameAt(uint64_t time) const;
    uint64_t microframeAt(uint64_t time) const;
    uint64_t microframeStart(uint64_t microframe) const;
    uint64_t currentFrame() const;

    // What a host reads as the frame number: the current frame and the time of the reading, with the
    // test hooks below applied.
    FrameReading read();

    // Test hooks.
    // Frame 0 starts at `epoch` (host time), with the period as it is set.
    void restart(uint64_t epoch);
    // The bus period is 1 ms x (1 + ppm / 1e6) from now on; the frame count goes on from where it is.
    void setDeviationPpm(int32_t ppm);
    // Each read sees the counter as it was up to `maxNs` earlier.
    void setReadJitter(uint64_t maxNs);
    // The next read reports `frames` frames more than the counter holds.
    void skipFrames(uint64_t frames);
    // Each read returns the next entry of `readings` and then calls `onRead` (which may, for example,
    // advance the manual clock); past the end the counter reads normally again.
    void setScript(std::vector<FrameReading> readings, std::function<void()> onRead = {});

private:
    // The bus and the drivers read the counter from real-time threads, tests and hosts from ordinary
    // ones.
    mutable DarwinRealTime::InheritingMutex fLock;
    Base fBase;
    uint64_t fJitter = 0;
    uint64_t fJitterState = 0x9E3779B97F4A7C15ull;
    uint64_t fSkip = 0;
    std::vector<FrameReading> fScript;
    size_t fScriptNext = 0;
    std::function<void()> fOnRead;
};

} // namespace SimUSB
