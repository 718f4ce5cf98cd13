#include "DextTestSupport.h"

#include <FrameClock.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/LogCapture.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A frame counter read from a script: each read moves the manual clock on by `step` first, and past
// the script's end a read fails.
struct ScriptedFrames
{
    static bool read(void* context, uint64_t* frame, uint64_t* time)
    {
        auto* self = static_cast<ScriptedFrames*>(context);
        self->clock->advance(self->step);
        if (self->next == self->frames.size()) {
            return false;
        }
        *frame = self->frames[self->next++];
        if (time != nullptr) {
            *time = DarwinClock::hostNow();
        }
        return true;
    }

    // One try that sees the boundary from `frame` to the next.
    void boundaryAt(uint64_t frame) { frames.insert(frames.end(), {frame, frame, frame + 1}); }

    DarwinTesting::ManualClock* clock;
    std::chrono::nanoseconds step;
    std::vector<uint64_t> frames;
    size_t next = 0;
};

// A frame counter that runs on the manual clock, one frame a millisecond from `origin`; each read
// moves the clock on by `step` first. Once, when a read is the last to see the frame before
// `pauseBefore`, the reader is held up for `pause` after taking its reading, as a preempted thread
// is.
struct PausingFrameCounter
{
    static bool read(void* context, uint64_t* frame, uint64_t* time)
    {
        auto* self = static_cast<PausingFrameCounter*>(context);
        self->clock->advance(self->step);
        const uint64_t now = DarwinClock::hostNow();
        *frame = (now - self->origin) / 1'000'000;
        if (time != nullptr) {
            *time = now;
        }
        const uint64_t nextFrame = (now + uint64_t(self->step.count()) - self->origin) / 1'000'000;
        if (self->pauseBefore != 0 && *frame + 1 == self->pauseBefore && nextFrame == self->pauseBefore) {
            self->pauseBefore = 0;
            self->clock->advance(self->pause);
        }
        return true;
    }

    DarwinTesting::ManualClock* clock;
    uint64_t origin;
    std::chrono::nanoseconds step;
    uint64_t pauseBefore = 0;
    std::chrono::nanoseconds pause{};
};

class DextFrameClock : public testing::Test
{
protected:
    void take(std::chrono::nanoseconds step, std::vector<uint64_t> frames)
    {
        ScriptedFrames script{&clock, step, std::move(frames)};
        frameClock.takeSnapshot(ScriptedFrames::read, &script, noAbort);
    }

    DarwinTesting::ManualClock clock;
    DarwinTesting::LogCapture capture;
    FrameClock frameClock;
    std::atomic<bool> noAbort{false};
};

TEST_F(DextFrameClock, TenFailedTriesLeaveTheClockAsItWas)
{
    std::vector<uint64_t> skipping;
    for (int i = 0; i < 10; ++i) {
        skipping.insert(skipping.end(), {100, 102});
    }
    take(100ns, skipping);
    frameClock.applySnapshots(noAbort);

    EXPECT_EQ(DextTesting::countLines(capture, "read timestamp skipped a frame ("), 10u);
    EXPECT_TRUE(DextTesting::logged(capture, "DoGetFrameSnapshot FAIL ("));
    EXPECT_FALSE(frameClock.hasSnapshot());
    EXPECT_EQ(frameClock.framePeriod(), 1'000'000u);
}

struct BracketCase
{
    const char* name;
    std::chrono::nanoseconds step;
    bool accepted;
};

class DextFrameClockBracket : public DextFrameClock, public testing::WithParamInterface<BracketCase>
{};

// The last poll that still saw the old frame and the first that sees the new one bracket the
// boundary; a snapshot is taken only when they lie within 10,000 ns.
TEST_P(DextFrameClockBracket, AcceptsATightBoundaryOnly)
{
    take(GetParam().step, {500, 500, 501});
    frameClock.applySnapshots(noAbort);

    EXPECT_EQ(frameClock.hasSnapshot(), GetParam().accepted);
    if (GetParam().accepted) {
        EXPECT_EQ(frameClock.predictedHostTime(501), DarwinClock::hostNow());
    }
}

INSTANTIATE_TEST_SUITE_P(DextBrackets, DextFrameClockBracket,
                         testing::Values(BracketCase{"Within", 10'000ns, true},
                                         BracketCase{"Beyond", 10'001ns, false}),
                         [](const testing::TestParamInfo<BracketCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(DextFrameClock, ThreeSnapshotsWaitAndARepeatedFrameIsNotQueued)
{
    ScriptedFrames script{&clock, 100ns, {}};
    std::vector<uint64_t> taken;
    for (uint64_t frame : {1000u, 1000u, 2000u, 3000u, 4000u}) {
        script.boundaryAt(frame - 1);
        frameClock.takeSnapshot(ScriptedFrames::read, &script, noAbort);
        taken.push_back(DarwinClock::hostNow());
    }

    frameClock.applySnapshots(noAbort);

    // Frames 1000, 2000 and 3000 waited and were applied in order; the repeat of 1000 was not queued
    // and 4000 found the buffer full. Two intervals of a few hundred ns over 1000 frames each gave
    // two samples of 0 among the ten.
    EXPECT_EQ(frameClock.predictedHostTime(3000), taken[3]);
    EXPECT_EQ(frameClock.framePeriod(), 800'000u);
}

TEST_F(DextFrameClock, OneLongIntervalMovesTheAveragedPeriod)
{
    take(100ns, {999, 999, 1000});
    const uint64_t first = DarwinClock::hostNow();
    // The next snapshot is taken three reads after the clock moves on.
    clock.advance(1'000'500'000ns - 300ns);
    take(100ns, {1999, 1999, 2000});
    EXPECT_EQ(DarwinClock::hostNow(), first + 1'000'500'000);

    frameClock.applySnapshots(noAbort);

    EXPECT_EQ(frameClock.framePeriod(), 1'000'050u);
    EXPECT_EQ(frameClock.predictedHostTime(2000), first + 1'000'500'000);
}

// A reader held up between seeing the old frame and the poll that sees the new one must not pass
// for a tight boundary: the snapshot would be late by the pause, and the output block predicted
// from it would come 20 ms plus more than a millisecond after the one before.
TEST_F(DextFrameClock, APauseAfterTheLastOldReadingDoesNotStrayTheBlockTimes)
{
    PausingFrameCounter counter{&clock, DarwinClock::hostNow(), 1us};
    clock.advance(999'500us);
    frameClock.takeSnapshot(PausingFrameCounter::read, &counter, noAbort);
    frameClock.applySnapshots(noAbort);
    const uint64_t firstBlock = frameClock.predictedHostTime(1275);

    clock.advance(19ms);
    counter.pauseBefore = 1020;
    counter.pause = 600us;
    frameClock.takeSnapshot(PausingFrameCounter::read, &counter, noAbort);
    frameClock.applySnapshots(noAbort);
    const uint64_t nextBlock = frameClock.predictedHostTime(1295);

    EXPECT_EQ(counter.pauseBefore, 0u) << "the pause was not reached";
    EXPECT_NEAR(double(nextBlock - firstBlock), 20'000'000.0, 10'000.0);
}

TEST_F(DextFrameClock, AnAbortStopsTheTries)
{
    std::atomic<bool> abort{true};
    ScriptedFrames script{&clock, 100ns, {1, 1, 2}};
    frameClock.takeSnapshot(ScriptedFrames::read, &script, abort);
    EXPECT_EQ(script.next, 0u);
    EXPECT_TRUE(DextTesting::logged(capture, "DoGetFrameSnapshot - Abort requested, returning ("));
}

} // namespace
