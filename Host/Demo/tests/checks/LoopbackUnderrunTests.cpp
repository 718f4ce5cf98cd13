// Silence the device's loopback inserts for an OUT microframe that came empty: every later frame
// comes back that much later. A cycle may read the newest of that silence before the bus wrote it,
// as what the plug-in's buffer held one period earlier.

#include "Recording.h"

#include <gtest/gtest.h>

namespace {

using namespace DemoTesting;

struct UnderrunRow
{
    const char* name;
    // Of the frames before the later ones come back delayed: read as silence, then read one period
    // old, at the end of a cycle; then read as silence at the start of the next.
    int64_t silent;
    int64_t late;
    int64_t silentAfter;
    // How much later the frames after them come back.
    int64_t delay;
    uint64_t underrunFrames;
    uint64_t duplicated;
    // The silence left over as a stretch of its own.
    int64_t stretch;
};

constexpr uint32_t kCycles = 60;
// The frames of the empty OUT microframe.
constexpr int64_t kInserted = 6;

const UnderrunRow kRows[] = {
    {"ReadWhole", kInserted, 0, 0, kInserted, kInserted, 0, 0},
    {"PartReadBeforeTheBusWrote", 4, 2, 0, kInserted, kInserted, 0, 0},
    {"AllReadBeforeTheBusWrote", 0, kInserted, 0, kInserted, kInserted, 0, 0},
    // The cycle's end fell inside the silence, and the bus had not yet written the packet there.
    {"SplitByACycleReadBeforeTheBusWrote", 2, 2, 2, kInserted, kInserted, 0, 0},
    // After the silence of a late cycle's output, which stands in for as many played frames.
    {"AfterOtherSilence", 512 + kInserted, 0, 0, kInserted, kInserted, 0, 512},
    // Four frames cannot have held six of silence: the later frames came back twice.
    {"TooShortForTheDelay", 2, 2, 0, kInserted, 0, kInserted, 2},
    // A delay far beyond what empty OUT microframes insert, after a long silence: frames came twice.
    {"FarBeyondAnInsert", 4096 + 512, 0, 0, 512, 0, 512, 4096 + 512},
};

TEST(LoopbackUnderrun, DelaysTheLaterFramesWithoutLosingAny)
{
    for (const UnderrunRow& row : kRows) {
        SCOPED_TRACE(row.name);
        const int64_t start = CycleEnd(int64_t(kPeriod) + 4000) - row.silent - row.late;
        const Demo::LoopbackResult result = Record(
            [&](int64_t time) -> std::optional<int64_t> {
                if (time < start) {
                    return time;
                }
                if (time < start + row.silent) {
                    return std::nullopt;
                }
                if (time < start + row.silent + row.late) {
                    return time - kPeriod;
                }
                if (time < start + row.silent + row.late + row.silentAfter) {
                    return std::nullopt;
                }
                return time - row.delay;
            },
            kCycles);
        EXPECT_EQ(result.loopbackUnderrunFrames, row.underrunFrames);
        EXPECT_EQ(result.duplicated, row.duplicated);
        EXPECT_EQ(result.lost, 0u);
        EXPECT_EQ(result.lateBusFrames, uint64_t(row.late));
        EXPECT_EQ(result.mismatchedSamples, 0u);
        int64_t silent = 0;
        for (const Demo::SilentStretch& silence : result.silences) {
            EXPECT_EQ(silence.start, start);
            EXPECT_EQ(silence.played, start);
            silent += silence.frames;
        }
        EXPECT_EQ(silent, row.stretch);
    }
}

// A cycle that reads the buffer before the bus wrote it, one period after the device inserted
// silence there, gets that silence back: the buffer held it a period earlier, whether or not the
// silence was read as such then.
TEST(LoopbackUnderrun, SilenceInsertedAPeriodEarlierComesBackWithAReadBeforeTheBusWrote)
{
    constexpr int64_t kStaleFrames = 2 * kInserted + 2;
    const int64_t inserted = CycleEnd(2 * int64_t(kPeriod)) - 2 * kInserted;
    const Source written = [&](int64_t time) -> std::optional<int64_t> {
        if (time < inserted) {
            return time;
        }
        if (time < inserted + kInserted) {
            return std::nullopt;
        }
        return time - kInserted;
    };
    for (const bool readBeforeWrittenThen : {false, true}) {
        SCOPED_TRACE(readBeforeWrittenThen ? "read before the bus wrote it then" : "read as silence then");
        const auto stale = [&](int64_t time) {
            const int64_t end = CycleEnd(time);
            return end - time <= kStaleFrames && ((end == CycleEnd(inserted) && readBeforeWrittenThen) ||
                                                  end == CycleEnd(inserted + kPeriod));
        };
        const Demo::LoopbackResult result = Record(
            [&](int64_t time) { return stale(time) ? written(time - kPeriod) : written(time); }, kCycles * 2);
        EXPECT_EQ(result.loopbackUnderrunFrames, uint64_t(kInserted));
        EXPECT_EQ(result.lateBusFrames,
                  uint64_t(readBeforeWrittenThen ? 2 * kStaleFrames - kInserted : kStaleFrames - kInserted));
        EXPECT_EQ(result.duplicated, 0u);
        EXPECT_EQ(result.lost, 0u);
        ASSERT_EQ(result.silences.size(), 1u);
        const Demo::SilentStretch& silence = result.silences.front();
        EXPECT_EQ(silence.start, inserted + kPeriod);
        EXPECT_EQ(silence.frames, kInserted);
        EXPECT_TRUE(silence.newestOfCycle);
        EXPECT_TRUE(silence.silentPeriodBefore);
    }
}

} // namespace
