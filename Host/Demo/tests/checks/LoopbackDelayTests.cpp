// Recorded frames that come back later after a silence: the device's loopback had nothing played
// waiting and inserted silence, which delays every later frame. However long the silence around it,
// no played frame came twice.

#include "Recording.h"

#include <gtest/gtest.h>

namespace {

using namespace DemoTesting;

constexpr uint32_t kCycles = 40;
constexpr int64_t kSilenceStart = 10000;

struct DelayCase
{
    const char* name;
    int64_t silence;
    int64_t delay;
    uint64_t underrun;
    uint64_t duplicated;
    // The silence left to stand in for played frames.
    int64_t silenceLeft;
};

TEST(LoopbackDelay, SilenceThenLaterFramesIsTheLoopbacksUnderrun)
{
    const DelayCase cases[] = {
        {"the underrun alone", 6, 6, 6, 0, 0},
        {"an underrun within a late cycle's silence", 512, 6, 6, 0, 506},
        {"later by more than the silence", 6, 18, 0, 18, 6},
    };
    for (const DelayCase& delayCase : cases) {
        SCOPED_TRACE(delayCase.name);
        const Demo::LoopbackResult result = Record(
            [&](int64_t time) -> std::optional<int64_t> {
                if (time < kSilenceStart) {
                    return time;
                }
                if (time < kSilenceStart + delayCase.silence) {
                    return std::nullopt;
                }
                return time - delayCase.delay;
            },
            kCycles);
        EXPECT_EQ(result.loopbackUnderrunFrames, delayCase.underrun);
        EXPECT_EQ(result.duplicated, delayCase.duplicated);
        EXPECT_EQ(result.lost, 0u);
        EXPECT_EQ(result.latencyFrames, delayCase.delay);
        int64_t silence = 0;
        for (const Demo::SilentStretch& stretch : result.silences) {
            EXPECT_EQ(stretch.start, kSilenceStart);
            if (delayCase.underrun != 0) {
                // What is left of the silence stands in for played frames at the old latency.
                EXPECT_EQ(stretch.played, kSilenceStart);
            }
            silence += stretch.frames;
        }
        EXPECT_EQ(silence, delayCase.silenceLeft);
    }
}

} // namespace
