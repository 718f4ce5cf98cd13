#include <SimUSB/FrameClock.h>

#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

class FrameClockTest : public testing::Test
{
protected:
    void SetUp() override { frames.restart(DarwinClock::hostNow()); }

    DarwinTesting::ManualClock clock;
    SimUSB::FrameClock frames;
};

struct FrameCase
{
    int32_t ppm;
    std::chrono::nanoseconds elapsed;
    uint64_t frame;
    uint64_t microframe;
};

class FrameNumberTest : public FrameClockTest, public testing::WithParamInterface<FrameCase>
{};

TEST_P(FrameNumberTest, FollowsTheManualClock)
{
    frames.setDeviationPpm(GetParam().ppm);
    clock.advance(GetParam().elapsed);
    EXPECT_EQ(frames.currentFrame(), GetParam().frame);
    EXPECT_EQ(frames.microframeAt(DarwinClock::hostNow()), GetParam().microframe);
    EXPECT_EQ(frames.read().frame, GetParam().frame);
}

INSTANTIATE_TEST_SUITE_P(Periods, FrameNumberTest,
                         testing::Values(FrameCase{0, 0ns, 0, 0}, FrameCase{0, 999'999ns, 0, 7},
                                         FrameCase{0, 1ms, 1, 8}, FrameCase{0, 5'500us, 5, 44},
                                         FrameCase{1000, 1'000'999ns, 0, 7},
                                         FrameCase{1000, 1'001'000ns, 1, 8},
                                         FrameCase{1000, 1001ms, 1000, 8000},
                                         FrameCase{-500, 999'500ns, 1, 8}));

TEST_F(FrameClockTest, MicroframeStartIsTheFirstNanosecondOfTheMicroframe)
{
    frames.setDeviationPpm(300);
    const uint64_t start = frames.microframeStart(12345);
    EXPECT_EQ(frames.microframeAt(start), 12345u);
    EXPECT_EQ(frames.microframeAt(start - 1), 12344u);
}

TEST_F(FrameClockTest, DeviationChangeKeepsTheCountGoing)
{
    clock.advance(10ms);
    frames.setDeviationPpm(100'000);
    EXPECT_EQ(frames.currentFrame(), 10u);
    clock.advance(11ms);
    EXPECT_EQ(frames.currentFrame(), 20u);
}

TEST_F(FrameClockTest, SkipAddsFramesToTheNextReadOnly)
{
    clock.advance(3ms);
    frames.skipFrames(2);
    EXPECT_EQ(frames.read().frame, 5u);
    EXPECT_EQ(frames.read().frame, 3u);
}

TEST_F(FrameClockTest, JitterSeesTheCounterAtMostThatMuchLate)
{
    clock.advance(1ms);
    frames.setReadJitter(100'000);
    bool sawOld = false;
    for (int i = 0; i < 200; ++i) {
        const auto reading = frames.read();
        EXPECT_TRUE(reading.frame == 0 || reading.frame == 1);
        EXPECT_EQ(reading.time, DarwinClock::hostNow());
        sawOld = sawOld || reading.frame == 0;
    }
    EXPECT_TRUE(sawOld);
    clock.advance(100us);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(frames.read().frame, 1u);
    }
}

TEST_F(FrameClockTest, ScriptedReadsComeInOrderAndMayAdvanceTheClock)
{
    const uint64_t start = DarwinClock::hostNow();
    frames.setScript({{7, 100}, {8, 200}}, [&] { clock.advance(10us); });
    EXPECT_EQ(frames.read(), (SimUSB::FrameReading{7, 100}));
    EXPECT_EQ(frames.read(), (SimUSB::FrameReading{8, 200}));
    EXPECT_EQ(DarwinClock::hostNow(), start + 20'000);
    EXPECT_EQ(frames.read().frame, 0u);
}

} // namespace
