#pragma once

// The stream's clock of USB frames against host time: snapshots of a frame boundary, taken by
// polling the frame number on a queue of their own and handed to the bus queue through a small
// lock-free buffer, and a frame period averaged over the last ten snapshot intervals. Host time is
// mach absolute time, one unit a nanosecond.

#include <CircularBuffer.h>

#include <atomic>
#include <cstdint>

class FrameClock
{
public:
    // Reads the current frame number and, when asked, the host time of the reading; false when the
    // read fails.
    using FrameReader = bool (*)(void* context, uint64_t* frame, uint64_t* time);

    FrameClock();

    // Snapshot taker: up to ten tries to catch a frame boundary; an accepted snapshot of a new frame
    // waits in the buffer, unless three already wait. Stops early when `abort` is set.
    void takeSnapshot(FrameReader reader, void* context, const std::atomic<bool>& abort);
    // Bus queue: applies the waiting snapshots in order, each new frame giving a period sample.
    void applySnapshots(const std::atomic<bool>& abort);
    // Bus queue, with the taker stopped: drops the snapshots that wait.
    void dropWaitingSnapshots();

    // The host time predicted for USB frame `frame`.
    uint64_t predictedHostTime(uint64_t frame) const;
    bool hasSnapshot() const { return fSnapshotFrame != 0 || fSnapshotHostTime != 0; }
    uint64_t framePeriod() const { return fFramePeriod; }

private:
    bool tryOnce(FrameReader reader, void* context, uint64_t* frame, uint64_t* time);

    static constexpr uint32_t kPeriodSamples = 10;

    // The applied snapshot and the period belong to the bus queue.
    uint64_t fSnapshotFrame = 0;
    uint64_t fSnapshotHostTime = 0;
    uint64_t fFramePeriod;
    uint64_t fPeriodSamples[kPeriodSamples];
    uint32_t fSampleIndex = 0;
    // The latest accepted snapshot belongs to the taker.
    uint64_t fLatestFrame = 0;
    uint64_t fLatestHostTime = 0;
    CircularBuffer fWaiting;
};
