#include "FrameSnapshots.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace {

// A frame counter read every 10,000 units, a hundred reads a frame: every try catches the boundary,
// at the frame's start.
struct SteadyFrames
{
    static uint64_t read(void* context, AbsoluteTime* time)
    {
        auto* self = static_cast<SteadyFrames*>(context);
        *time = self->reads++ * 10'000;
        return *time / 1'000'000;
    }

    uint64_t reads = 100'000;
};

// The snapshot side takes snapshots as fast as it can while the bus side folds them in: every
// snapshot folded in arrives whole, and the period stays the counter's.
TEST(KextSnapshotStress, TheSnapshotLoopPushesWhileTheBusLoopPops)
{
    FrameSnapshots snapshots;
    std::atomic<bool> done{false};
    std::thread taker([&] {
        SteadyFrames frames;
        for (int snapshot = 0; snapshot < 5'000; ++snapshot) {
            snapshots.Take(&SteadyFrames::read, &frames);
        }
        done.store(true);
    });
    size_t folds = 0;
    size_t torn = 0;
    while (!done.load()) {
        snapshots.Update();
        if (snapshots.HasCurrent()) {
            ++folds;
            // A snapshot (F, F x 1,000,000) predicts frame 0 at time 0.
            torn += snapshots.FrameToHostTime(0) != 0 || snapshots.Period() != 1'000'000;
        }
    }
    taker.join();
    EXPECT_GT(folds, 0u);
    EXPECT_EQ(torn, 0u);
}

} // namespace
