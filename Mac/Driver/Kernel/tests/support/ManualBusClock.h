#pragma once

// Streaming on the manual clock: the bus's frames start on whole milliseconds of the clock, and each
// frame-number read is followed by 1 µs of it, so a driver polling for a frame boundary catches the
// frame's start exactly and an advance returns once the driver has served what it woke.

#include <DarwinTesting/ManualClock.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace KextTesting {

class ManualBusClock
{
public:
    static constexpr uint64_t kFrame = 1'000'000;

    // Enters manual time with the clock at the start of frame 1000.
    ManualBusClock();
    ~ManualBusClock();
    ManualBusClock(const ManualBusClock&) = delete;
    ManualBusClock& operator=(const ManualBusClock&) = delete;

    DarwinTesting::ManualClock& clock() { return fClock; }
    // The host time at which frame `frame` starts on the bus.
    static uint64_t frameStart(uint64_t frame);
    // Frame-number reads on threads other than the one that made this clock.
    size_t loopReads() const { return fLoopReads.load(); }

private:
    DarwinTesting::ManualClock fClock;
    const std::thread::id fOwner = std::this_thread::get_id();
    std::atomic<size_t> fLoopReads{0};
};

} // namespace KextTesting
