#include "FrameClock.h"

#include "DextReport.h"

#include <mach/mach_time.h>

namespace {

constexpr uint64_t kNominalFramePeriod = 1'000'000;
constexpr uint32_t kSnapshotTries = 10;
constexpr uint64_t kSnapshotPollLimit = 3'000'000;
constexpr uint64_t kSnapshotBracket = 10'001;
constexpr short kSnapshotSlots = 3;

struct FrameSnapshot
{
    uint64_t frame;
    uint64_t hostTime;
};
static_assert(sizeof(FrameSnapshot) == 16);

} // namespace

FrameClock::FrameClock() : fFramePeriod(kNominalFramePeriod), fWaiting(sizeof(FrameSnapshot), kSnapshotSlots)
{
    for (uint64_t& sample : fPeriodSamples) {
        sample = kNominalFramePeriod;
    }
}

bool FrameClock::tryOnce(FrameReader reader, void* context, uint64_t* frame, uint64_t* time)
{
    uint64_t current = 0;
    uint64_t t0 = 0;
    const uint64_t target = reader(context, &current, &t0) ? current + 1 : 0;
    const uint64_t deadline = mach_absolute_time() + kSnapshotPollLimit;
    // The time at which the old frame was last seen is the reading's own: a taker held up after a
    // reading, before it looks at the clock, would otherwise narrow the bracket by the hold-up and
    // stamp the boundary that much late.
    uint64_t lastOld = t0;
    for (;;) {
        uint64_t polled = 0;
        uint64_t readAt = 0;
        if (!reader(context, &polled, &readAt)) {
            polled = UINT64_MAX;
        }
        const uint64_t now = mach_absolute_time();
        if (polled > target) {
            DextLog("read timestamp skipped a frame");
            return false;
        }
        if (polled == target) {
            if (now - lastOld < kSnapshotBracket) {
                *frame = target;
                *time = now;
                return true;
            }
            return false;
        }
        lastOld = readAt;
        if (now >= deadline) {
            return false;
        }
    }
}

void FrameClock::takeSnapshot(FrameReader reader, void* context, const std::atomic<bool>& abort)
{
    if (abort.load()) {
        DextLog("%s - Abort requested, returning", "DoGetFrameSnapshot");
        return;
    }
    uint64_t frame = 0;
    uint64_t time = 0;
    bool taken = false;
    for (uint32_t attempt = 0; attempt < kSnapshotTries && !taken; ++attempt) {
        if (attempt > 0 && abort.load()) {
            DextLog("%s - Abort requested, returning", "DoGetFrameSnapshot");
            return;
        }
        taken = tryOnce(reader, context, &frame, &time);
    }
    if (!taken) {
        DextLog("DoGetFrameSnapshot FAIL");
        return;
    }
    const uint64_t previousFrame = fLatestFrame;
    fLatestFrame = frame;
    fLatestHostTime = time;
    if (frame == previousFrame) {
        return;
    }
    const FrameSnapshot snapshot{frame, time};
    fWaiting.push(&snapshot);
}

void FrameClock::applySnapshots(const std::atomic<bool>& abort)
{
    for (;;) {
        if (abort.load()) {
            DextLog("%s - Abort requested, returning", "UpdateFrameTimestamps");
            return;
        }
        FrameSnapshot snapshot;
        if (!fWaiting.pop(&snapshot)) {
            return;
        }
        const uint64_t f0 = fSnapshotFrame;
        const uint64_t t0 = fSnapshotHostTime;
        fSnapshotFrame = snapshot.frame;
        fSnapshotHostTime = snapshot.hostTime;
        if (f0 != 0 && snapshot.frame != f0) {
            fPeriodSamples[fSampleIndex] = (snapshot.hostTime - t0) / (snapshot.frame - f0);
            fSampleIndex = (fSampleIndex + 1) % kPeriodSamples;
            uint64_t sum = 0;
            for (uint64_t sample : fPeriodSamples) {
                sum += sample;
            }
            fFramePeriod = sum / kPeriodSamples;
        }
    }
}

void FrameClock::dropWaitingSnapshots()
{
    fWaiting.reset();
}

uint64_t FrameClock::predictedHostTime(uint64_t frame) const
{
    return (frame - fSnapshotFrame) * fFramePeriod + fSnapshotHostTime;
}
