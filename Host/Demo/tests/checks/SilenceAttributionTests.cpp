// Recorded silence and stale frames, cycle by cycle through the loopback check, and what explains
// them: a dropped packet (repaired, or read before its repair), input read before the bus wrote it
// where the plug-in's buffer held silence one period earlier, or nothing (frames lost).

#include "Recording.h"

#include <DropAttribution.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using namespace DemoTesting;
using Demo::Attribution;
using Demo::ExpectedDrop;
using Demo::FrameStretch;

constexpr uint32_t kCycles = 100;
// A cycle's output sample time is this far ahead of its input sample time: two buffers and both
// safety offsets.
constexpr int64_t kOutputAhead = 2 * int64_t(kBuffer) + 32;

struct Row
{
    const char* name;
    // Silence recorded in place of played frames, and played frames recorded one period old.
    std::vector<FrameStretch> silences;
    std::vector<FrameStretch> stale;
    std::vector<ExpectedDrop> drops;
    // Output sample times of cycles whose output came too late.
    std::vector<int64_t> lateOutputs;
    uint64_t repaired;
    uint64_t readBeforeRepair;
    uint64_t unwritten;
    uint64_t unexplained;
    uint64_t xrun;
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

bool Within(const std::vector<FrameStretch>& stretches, int64_t time)
{
    for (const FrameStretch& stretch : stretches) {
        if (time >= stretch.start && time < stretch.start + stretch.frames) {
            return true;
        }
    }
    return false;
}

class SilenceAttribution : public testing::TestWithParam<Row>
{};

TEST_P(SilenceAttribution, TellsDropsStaleReadsAndLossesApart)
{
    const Row& row = GetParam();
    const Demo::LoopbackResult result = Record(
        [&](int64_t time) -> std::optional<int64_t> {
            if (Within(row.silences, time)) {
                return std::nullopt;
            }
            return Within(row.stale, time) ? time - kPeriod : time;
        },
        kCycles);
    EXPECT_EQ(result.lost, 0u);
    EXPECT_EQ(result.duplicated, 0u);
    EXPECT_EQ(result.silences.size(), row.silences.size());
    std::vector<Demo::CyclePoint> cycles;
    for (uint32_t index = 0; index < kCycles; ++index) {
        // At a latency of 0 frames, output comes back at its own sample time.
        const int64_t output = kSegmentStart + int64_t(index) * kBuffer + kOutputAhead;
        const bool late =
            std::find(row.lateOutputs.begin(), row.lateOutputs.end(), output) != row.lateOutputs.end();
        cycles.push_back({0, 0, late, 1, output, kBuffer});
    }
    const Attribution attribution = Demo::AttributeSilences(result, row.drops, cycles);
    EXPECT_EQ(attribution.repairedFrames, row.repaired);
    EXPECT_EQ(attribution.readBeforeRepairFrames, row.readBeforeRepair);
    EXPECT_EQ(attribution.unwrittenFrames, row.unwritten);
    EXPECT_EQ(attribution.unexplainedFrames, row.unexplained);
    EXPECT_EQ(attribution.xrunFrames, row.xrun);
}

// The newest packet of the cycle at 16362, a period after the segment's first cycle but within a
// period of the first played frame, read before the bus wrote it: silence one period old.
constexpr int64_t kLatePacket = CycleEnd(16362) - 6;
// A packet inside a cycle well after the buffer was first written, and the cycle's last packet.
constexpr int64_t kInside = CycleEnd(2 * int64_t(kPeriod)) - 200;
constexpr int64_t kLast = CycleEnd(2 * int64_t(kPeriod)) - 6;

// The output sample time of the cycle whose output holds `time`.
constexpr int64_t OutputHolding(int64_t time)
{
    return CycleEnd(time - kOutputAhead) - kBuffer + kOutputAhead;
}

// Columns: silences, stale frames, drops, late cycles' outputs; then the frames repaired, read
// before their repair, read before the bus wrote them, unexplained, and lost to xruns.
const Row kRows[] = {
    {"NewestPacketReadEarlyInTheFirstPeriod", {{kLatePacket, 6}}, {}, {}, {}, 0, 0, 6, 0, 0},
    {"NewestPacketsReadEarlyAtTheStart", {{CycleEnd(9000) - 94, 94}}, {}, {}, {}, 0, 0, 94, 0, 0},
    {"SilenceInsideACycle", {{kLatePacket - 100, 6}}, {}, {}, {}, 0, 0, 0, 6, 0},
    {"SilenceAtACycleEndAfterTheFirstPeriod", {{kLast, 6}}, {}, {}, {}, 0, 0, 0, 6, 0},
    {"SilenceWhereAPacketWasDropped", {{kInside, 6}}, {}, {{double(kInside), 6}}, {}, 6, 0, 0, 0, 0},
    {"DroppedPacketReadBeforeItsRepair", {}, {{kLast - 10, 16}}, {{double(kLast), 6}}, {}, 0, 6, 0, 0, 0},
    // Two packets dropped and repaired elsewhere show where drops land; the third straddles a
    // cycle's end: its first frames were read before the repair, the rest came as its silence.
    {"DroppedPacketSplitByACycleEnd",
     {{kInside, 6}, {kInside - 1000, 6}, {kLast + 6, 2}},
     {{kLast - 10, 16}},
     {{double(kInside), 6}, {double(kInside - 1000), 6}, {double(kLast + 2), 6}},
     {},
     14,
     4,
     0,
     0,
     0},
    // Eight packets dropped in a row: the first 38 frames read before the repair, up to the middle
    // of the seventh packet, the rest came as the stretch's silence.
    {"BurstSplitByACycleEnd",
     {{kInside, 6}, {kInside - 1000, 6}, {kLast + 6, 10}},
     {{kLast + 6 - 38, 38}},
     {{double(kInside), 6},
      {double(kInside - 1000), 6},
      {double(kLast - 32), 6},
      {double(kLast - 26), 6},
      {double(kLast - 20), 6},
      {double(kLast - 14), 6},
      {double(kLast - 8), 6},
      {double(kLast - 2), 6},
      {double(kLast + 4), 6},
      {double(kLast + 10), 6}},
     {},
     22,
     38,
     0,
     0,
     0},
    // Two packets dropped with one between them that was read before the bus wrote it: two
    // repairs, each as long as its drop.
    {"RepairsAroundAStaleRead",
     {{kInside, 6}, {kInside + 12, 6}},
     {{kInside + 6, 6}},
     {{double(kInside), 6}, {double(kInside + 12), 6}},
     {},
     12,
     0,
     0,
     0,
     0},
    // Read before the bus wrote it, the buffer gave two frames of a repair a period earlier, then
    // the repair of the packet dropped right after them.
    {"RepairAfterAStaleReadOfAnEarlierRepair",
     {{kInside - kPeriod, 6}, {kInside - 1000, 6}, {kInside, 8}},
     {{kInside - 4, 4}},
     {{double(kInside - kPeriod), 6}, {double(kInside - 1000), 6}, {double(kInside + 2), 6}},
     {},
     18,
     0,
     2,
     0,
     0},
    // As above, where the earlier packet's frames were read before its repair: the read a period
    // later still returns two frames of that repair's silence.
    {"RepairAfterAStaleReadOfARepairNoReadSaw",
     {{kInside - kPeriod + 4, 2}, {kInside - 2000, 6}, {kInside - 1000, 6}, {kInside, 8}},
     {{kInside - kPeriod - 6, 10}, {kInside - 4, 4}},
     {{double(kInside - kPeriod), 6},
      {double(kInside - 2000), 6},
      {double(kInside - 1000), 6},
      {double(kInside + 2), 6}},
     {},
     20,
     4,
     2,
     0,
     0},
    // The newest packets of a cycle read before the bus wrote them: two of them give the silence
    // of repairs a period earlier, the one between them a period-old frame.
    {"NewestPacketsReadEarlyAroundAStaleFrame",
     {{kLast - 12 - kPeriod, 6}, {kLast - kPeriod, 6}, {kLast - 12, 6}, {kLast, 6}},
     {{kLast - 6, 6}},
     {{double(kLast - 12 - kPeriod), 6}, {double(kLast - kPeriod), 6}},
     {},
     12,
     0,
     12,
     0,
     0},
    // Two bursts of eight: the first half read before its repair, the second read before it
    // whole; the start's stale reads pair with the bursts as often as the one repair does.
    {"BurstsReadEarlyBesideStaleReadsAtTheStart",
     {{3048, 8}, {16362, 6}, {24048, 24}},
     {{24018, 30}, {40274, 158}},
     {{24024, 6},
      {24030, 6},
      {24036, 6},
      {24042, 6},
      {24048, 6},
      {24054, 6},
      {24060, 6},
      {24066, 6},
      {40280, 6},
      {40286, 6},
      {40292, 6},
      {40298, 6},
      {40304, 6},
      {40310, 6},
      {40316, 6},
      {40322, 6}},
     {},
     24,
     72,
     14,
     0,
     0},
    {"StaleReadWhereARepairWasAPeriodEarlier",
     {{kInside, 6}, {kInside + kPeriod, 4}},
     {{kInside + kPeriod + 4, 196}},
     {{double(kInside), 6}},
     {},
     6,
     0,
     4,
     0,
     0},
    // A packet dropped at a cycle's end, read before its repair; a period later the cycle's end is
    // read early again and returns that repair's silence.
    {"StaleReadOfARepairNoReadSaw",
     {{kInside, 6}, {kInside - 1000, 6}, {kLast + kPeriod, 6}},
     {{kLast - 10, 16}},
     {{double(kInside), 6}, {double(kInside - 1000), 6}, {double(kLast), 6}},
     {},
     12,
     6,
     6,
     0,
     0},
    {"StaleFramesNearNoDrop", {}, {{kLast - 10, 16}}, {{double(kInside), 6}}, {}, 0, 0, 0, 0, 0},
    {"SilenceWhereALateCycleOutputWas", {{kInside, 100}}, {}, {}, {OutputHolding(kInside)}, 0, 0, 0, 0, 100},
    {"SilenceWhereOnTimeOutputWas", {{kInside, 100}}, {}, {}, {OutputHolding(kLast + 2000)}, 0, 0, 0, 100, 0},
};

std::string RowName(const testing::TestParamInfo<Row>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Recordings, SilenceAttribution, testing::ValuesIn(kRows), RowName);

} // namespace
