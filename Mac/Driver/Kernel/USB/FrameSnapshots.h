#pragma once

// The stream's USB frames against host time: snapshots of a frame boundary, caught by polling the
// frame number on the snapshot work loop and handed to the bus work loop through a three-slot
// circular buffer, and a frame period that is the mean of the last four samples. Host time is mach
// absolute time.

#include <IOKit/IOKernelTypes.h>

#include <CircularBuffer.h>

#include <cstdint>

class FrameSnapshots
{
public:
    // Reads the current frame number and the host time of the reading.
    using FrameReader = uint64_t (*)(void* context, AbsoluteTime* time);

    FrameSnapshots();

    // Snapshot side: up to ten tries to catch a frame boundary, logging "UpdateFrameTimestamps FAIL"
    // when none does. A caught boundary of a frame other than the latest one waits in the buffer
    // unless three wait already. True when a try caught one.
    bool Take(FrameReader reader, void* context);
    // Bus side: the oldest waiting snapshot, if any, becomes the current one; a new frame gives a
    // period sample.
    void Update();

    // The host time predicted for USB frame `frame`.
    uint64_t FrameToHostTime(uint64_t frame) const;
    bool HasCurrent() const { return fCurrent.fFrame != 0 || fCurrent.fHostTime != 0; }
    uint64_t Period() const { return fPeriod; }

private:
    struct Snapshot
    {
        uint64_t fFrame;
        uint64_t fHostTime;
    };

    static bool Try(FrameReader reader, void* context, Snapshot* snapshot);

    CircularBuffer fWaiting;
    // The latest caught snapshot belongs to the snapshot side, the rest to the bus side.
    Snapshot fLatest{};
    Snapshot fCurrent{};
    uint64_t fSamples[4] = {1'000'000, 1'000'000, 1'000'000, 1'000'000};
    uint32_t fSampleIndex = 0;
    uint64_t fPeriod = 1'000'000;
};
