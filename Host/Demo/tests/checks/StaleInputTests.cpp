// Played frames one input period old in a recording: the newest frames of a cycle read before the
// bus wrote them are late bus writes; input that stopped coming is not.

#include "Recording.h"

#include <gtest/gtest.h>

namespace {

using namespace DemoTesting;

constexpr uint32_t kCycles = 160;
// Where the input goes stale, well after the plug-in's buffer was first written.
constexpr int64_t kStale = CycleEnd(3 * int64_t(kPeriod)) - 6;

TEST(StaleInput, NewestFramesOfACycleOnePeriodOldAreLateBusWrites)
{
    const Demo::LoopbackResult result = Record(
        [](int64_t time) { return time >= kStale && time < kStale + 6 ? time - kPeriod : time; }, kCycles);
    EXPECT_EQ(result.lateBusFrames, 6u);
    EXPECT_EQ(result.lost, 0u);
    EXPECT_EQ(result.duplicated, 0u);
    EXPECT_TRUE(result.latencyConstant);
}

// The plug-in's buffer no longer rewritten: each position gives what it held one period ago, then
// two periods ago.
TEST(StaleInput, InputThatStoppedComingIsNoLateBusWrite)
{
    const Demo::LoopbackResult result = Record(
        [](int64_t time) { return time < kStale ? time : time - kPeriod * (1 + (time - kStale) / kPeriod); },
        kCycles);
    EXPECT_EQ(result.lateBusFrames, kPeriod);
    EXPECT_GT(result.duplicated, 0u);
    EXPECT_FALSE(result.latencyConstant);
}

} // namespace
