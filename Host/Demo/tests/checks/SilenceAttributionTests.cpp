// Recorded silence, cycle by cycle through the loopback check, and what explains it: a dropped
// packet, input read before the bus wrote it while the plug-in's buffer still held silence from the
// stream's start, or nothing (frames lost).

#include "Recording.h"

#include <DropAttribution.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace DemoTesting;
using Demo::Attribution;

constexpr uint32_t kCycles = 80;

struct Row
{
    const char* name;
    // Input sample time and length of the silence recorded in place of played frames.
    int64_t silenceStart;
    int64_t silenceFrames;
    // Input sample times where the run expects dropped packets.
    std::vector<double> drops;
    uint64_t repaired;
    uint64_t unwritten;
    uint64_t unexplained;
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << row.name;
}

// A recording at a latency of 0 frames with the row's silence in it.
Attribution Attribute(const Row& row)
{
    const Demo::LoopbackResult result = Record(
        [&](int64_t time) -> std::optional<int64_t> {
            if (time >= row.silenceStart && time < row.silenceStart + row.silenceFrames) {
                return std::nullopt;
            }
            return time;
        },
        kCycles);
    EXPECT_EQ(result.lost, 0u);
    EXPECT_EQ(result.duplicated, 0u);
    EXPECT_EQ(result.silences.size(), 1u);
    return Demo::AttributeSilences(result.silences, row.drops);
}

class SilenceAttribution : public testing::TestWithParam<Row>
{};

TEST_P(SilenceAttribution, TellsDropsStaleReadsAndLossesApart)
{
    const Row& row = GetParam();
    const Attribution attribution = Attribute(row);
    EXPECT_EQ(attribution.repairedFrames, row.repaired);
    EXPECT_EQ(attribution.unwrittenFrames, row.unwritten);
    EXPECT_EQ(attribution.unexplainedFrames, row.unexplained);
}

// The newest packet of the cycle at 16362, a period after the segment's first cycle but within a
// period of the first played frame, read before the bus wrote it: silence one period old.
constexpr int64_t kLatePacket = CycleEnd(16362) - 6;

const Row kRows[] = {
    {"NewestPacketReadEarlyInTheFirstPeriod", kLatePacket, 6, {}, 0, 6, 0},
    {"NewestPacketsReadEarlyAtTheStart", CycleEnd(9000) - 94, 94, {}, 0, 94, 0},
    {"SilenceInsideACycle", kLatePacket - 100, 6, {}, 0, 0, 6},
    {"SilenceAtACycleEndAfterTheFirstPeriod", CycleEnd(kFirstPlayedBack + kPeriod + 600) - 6, 6, {}, 0, 0, 6},
    {"SilenceWhereAPacketWasDropped", kLatePacket - 100, 6, {double(kLatePacket - 100)}, 6, 0, 0},
};

std::string RowName(const testing::TestParamInfo<Row>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Recordings, SilenceAttribution, testing::ValuesIn(kRows), RowName);

} // namespace
