#include "FrameSnapshots.h"

#include <IOKit/IOLib.h>
#include <mach/mach_time.h>

namespace {

constexpr int kTries = 10;
// How long one try polls for the next frame, and how close the readings around the boundary must be.
constexpr uint64_t kTryLimit = 3'000'000;
constexpr uint64_t kReadGap = 10'000;

} // namespace

FrameSnapshots::FrameSnapshots() : fWaiting(int(sizeof(Snapshot)), 3) {}

bool FrameSnapshots::Try(FrameReader reader, void* context, Snapshot* snapshot)
{
    AbsoluteTime previous = 0;
    const uint64_t frame = reader(context, &previous);
    const uint64_t deadline = mach_absolute_time() + kTryLimit;
    while (mach_absolute_time() < deadline) {
        AbsoluteTime time = 0;
        const uint64_t now = reader(context, &time);
        if (now > frame + 1) {
            IOLog("read timestamp skipped a frame\n");
            return false;
        }
        if (now == frame + 1) {
            if (time - previous > kReadGap) {
                return false;
            }
            *snapshot = {now, time};
            return true;
        }
        previous = time;
    }
    return false;
}

bool FrameSnapshots::Take(FrameReader reader, void* context)
{
    for (int attempt = 0; attempt < kTries; ++attempt) {
        Snapshot snapshot{};
        if (Try(reader, context, &snapshot)) {
            if (snapshot.fFrame != fLatest.fFrame) {
                fWaiting.push(&snapshot);
            }
            fLatest = snapshot;
            return true;
        }
    }
    IOLog("UpdateFrameTimestamps FAIL\n");
    return false;
}

void FrameSnapshots::Update()
{
    Snapshot snapshot{};
    if (!fWaiting.pop(&snapshot)) {
        return;
    }
    const Snapshot previous = fCurrent;
    fCurrent = snapshot;
    if (previous.fFrame != 0 && previous.fFrame != snapshot.fFrame) {
        fSamples[fSampleIndex] =
            (snapshot.fHostTime - previous.fHostTime) / (snapshot.fFrame - previous.fFrame);
        fSampleIndex = (fSampleIndex + 1) % 4;
        fPeriod = (fSamples[0] + fSamples[1] + fSamples[2] + fSamples[3]) >> 2;
    }
}

uint64_t FrameSnapshots::FrameToHostTime(uint64_t frame) const
{
    return uint64_t(int64_t(frame - fCurrent.fFrame) * int64_t(fPeriod)) + fCurrent.fHostTime;
}
