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
    // old, all at the end of a cycle.
    int64_t silent;
    int64_t late;
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
    {"ReadWhole", kInserted, 0, kInserted, kInserted, 0, 0},
    {"PartReadBeforeTheBusWrote", 4, 2, kInserted, kInserted, 0, 0},
    {"AllReadBeforeTheBusWrote", 0, kInserted, kInserted, kInserted, 0, 0},
    // After the silence of a late cycle's output, which stands in for as many played frames.
    {"AfterOtherSilence", 512 + kInserted, 0, kInserted, kInserted, 0, 512},
    // Four frames cannot have held six of silence: the later frames came back twice.
    {"TooShortForTheDelay", 2, 2, kInserted, 0, kInserted, 2},
    // A delay far beyond what empty OUT microframes insert, after a long silence: frames came twice.
    {"FarBeyondAnInsert", 4096 + 512, 0, 512, 0, 512, 4096 + 512},
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
                return time < start + row.silent + row.late ? time - kPeriod : time - row.delay;
            },
            kCycles);
        EXPECT_EQ(result.loopbackUnderrunFrames, row.underrunFrames);
        EXPECT_EQ(result.duplicated, row.duplicated);
        EXPECT_EQ(result.lost, 0u);
        EXPECT_EQ(result.lateBusFrames, uint64_t(row.late));
        EXPECT_EQ(result.mismatchedSamples, 0u);
        const bool stretched = !result.silences.empty() && result.silences.back().start == start;
        EXPECT_EQ(stretched ? result.silences.back().frames : 0, row.stretch);
        if (stretched) {
            EXPECT_EQ(result.silences.back().played, start);
        }
    }
}

} // namespace
