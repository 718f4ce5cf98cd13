// Recorded silence, cycle by cycle through the loopback check, and what explains it: a dropped
// packet, input read before the bus wrote it while the plug-in's buffer still held silence from the
// stream's start, or nothing (frames lost).

#include <DropAttribution.h>
#include <LoopbackCheck.h>
#include <TestSignal.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

using Demo::Attribution;
using Demo::InputLayout;
using Demo::LoopbackCheck;

constexpr uint32_t kRate = 48000;
constexpr uint32_t kChannels = 2;
constexpr uint32_t kBuffer = 512;
constexpr uint32_t kPeriod = 16384;
// The first cycle's input sample time, and the first frame that carries played audio back: the
// device sent silence before it.
constexpr int64_t kSegmentStart = -528;
constexpr int64_t kFirstPlayedBack = 528;
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

// The end of the cycle that holds `time`, as the run's cycles fall.
constexpr int64_t CycleEnd(int64_t time)
{
    return kSegmentStart + ((time - kSegmentStart) / kBuffer + 1) * kBuffer;
}

// A recording at a latency of 0 frames, cycle by cycle, with the row's silence in it.
Attribution Attribute(const Row& row)
{
    LoopbackCheck check(InputLayout{kRate, kChannels, kChannels, false, kPeriod});
    std::vector<float> cycle(size_t(kBuffer) * kChannels);
    for (uint32_t index = 0; index < kCycles; ++index) {
        const int64_t first = kSegmentStart + int64_t(index) * kBuffer;
        for (uint32_t frame = 0; frame < kBuffer; ++frame) {
            const int64_t time = first + frame;
            const bool silent = time < kFirstPlayedBack ||
                                (time >= row.silenceStart && time < row.silenceStart + row.silenceFrames);
            for (uint32_t channel = 0; channel < kChannels; ++channel) {
                cycle[size_t(frame) * kChannels + channel] =
                    silent ? 0.0f : Demo::ToFloat(Demo::SignalValue(channel, time, kRate));
            }
        }
        check.add(first, cycle.data(), kBuffer);
    }
    EXPECT_EQ(check.result().lost, 0u);
    EXPECT_EQ(check.result().duplicated, 0u);
    EXPECT_EQ(check.result().silences.size(), 1u);
    return Demo::AttributeSilences(check.result().silences, row.drops);
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
