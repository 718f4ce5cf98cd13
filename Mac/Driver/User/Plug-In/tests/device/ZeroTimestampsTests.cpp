#include "DeviceFixture.h"
#include "ZeroTimeFilter.h"

#include <DarwinTesting/ManualClock.h>

using namespace DeviceTesting;
using namespace KorvanDeviceIO;
using namespace PlugInTesting;

namespace {

constexpr uint64_t kFramesPerBlock = 2000;
constexpr double kNanosecondsPerFrame = 1e9 / 48000;

// The device's zero timestamps on the manual clock.
class ZeroTimestampReports : public DeviceFixture
{
protected:
    std::pair<Float64, UInt64> Report()
    {
        Float64 sampleTime = -1;
        UInt64 hostTime = 0;
        UInt64 seed = 0;
        fDevice->GetZeroTimeStamp(sampleTime, hostTime, seed);
        EXPECT_EQ(seed, 1u);
        return {sampleTime, hostTime};
    }

    DarwinTesting::ManualClock fClock;
};

class ZeroTimestamps : public ZeroTimestampReports
{
protected:
    void SetUp() override
    {
        DeviceFixture::SetUp();
        Activate();
        fStart = mach_absolute_time();
        const uint64_t bytesPerFrame =
            uint64_t(fDevice->GetBusBytesPerSample()) * fDevice->GetOutputChannels();
        auto* ring = reinterpret_cast<USBRequestBlock*>(fService.ring(kOutputRingMemoryType));
        for (uint64_t block = 0; block < kRequestBlockCount; ++block) {
            WriteBlockHeader(ring[block],
                             {HostTimeOf(block * kFramesPerBlock), 0, block * kFramesPerBlock * bytesPerFrame,
                              (block + 1) * kFramesPerBlock * bytesPerFrame});
        }
        ASSERT_EQ(fDevice->StartIO(1), 0);
    }

    // The host time of output frame f, as the blocks' host times give it.
    uint64_t HostTimeOf(uint64_t frame) const
    {
        const uint64_t block = frame / kFramesPerBlock;
        const uint64_t blockTime = fStart + uint64_t(double(block * kFramesPerBlock) * kNanosecondsPerFrame);
        return blockTime + uint64_t(double(frame - block * kFramesPerBlock) * 1e9 / 48000.0);
    }

    uint64_t fStart = 0;
};

TEST_F(ZeroTimestamps, EachPeriodFromTheBlockThatPassesIt)
{
    // The filter of the device, replayed: the first time is block 0's, then the two periods.
    ZeroTimeFilter filter;
    filter.Reset(16384, 48000);
    int64_t deviation = 0;
    filter.Filter(fStart, 16384, 48000, deviation);
    filter.Filter(HostTimeOf(16384), 16384, 48000, deviation);
    const uint64_t first = filter.LastZeroHostTime();
    filter.Filter(HostTimeOf(32768), 16384, 48000, deviation);
    const uint64_t second = filter.LastZeroHostTime();
    ASSERT_LT(first, second);

    // Right after the start: the first output block.
    EXPECT_EQ(Report(), std::make_pair(0.0, fStart));

    // Both periods are known, neither has come: the report stays.
    fClock.advanceTo(first - 1);
    EXPECT_EQ(Report(), std::make_pair(0.0, fStart));

    // The first has come, the newer one is still ahead: the delay line's newest past entry.
    fClock.advanceTo(first);
    EXPECT_EQ(Report(), std::make_pair(16384.0, first));
    fClock.advanceTo(second);
    EXPECT_EQ(Report(), std::make_pair(32768.0, second));
    EXPECT_EQ(Report(), std::make_pair(32768.0, second));
}

// Nothing walked the ring while the driver went round it ten times: every block the walk then
// finds starts after the next period, whose host time is reckoned back from the block's.
TEST_F(ZeroTimestamps, StallLongerThanTheRingReckonsPeriodsBackFromLaterBlocks)
{
    constexpr uint64_t kLaps = 10;
    const uint64_t bytesPerFrame = uint64_t(fDevice->GetBusBytesPerSample()) * fDevice->GetOutputChannels();
    auto* ring = reinterpret_cast<USBRequestBlock*>(fService.ring(kOutputRingMemoryType));
    for (uint64_t block = 0; block < kRequestBlockCount; ++block) {
        const uint64_t first = (kLaps * kRequestBlockCount + block) * kFramesPerBlock;
        WriteBlockHeader(ring[block], {HostTimeOf(first), 0, first * bytesPerFrame,
                                       (first + kFramesPerBlock) * bytesPerFrame});
    }
    fClock.advanceTo(HostTimeOf((kLaps + 1) * kRequestBlockCount * kFramesPerBlock));

    // Blocks 1 to 19 give one period each, all of them long before the block.
    const auto [sampleTime, hostTime] = Report();
    EXPECT_EQ(sampleTime, 19 * 16384.0);
    EXPECT_NEAR(double(hostTime), double(HostTimeOf(19 * 16384)), 20000.0);
}

TEST_F(ZeroTimestamps, RestartWalksFromTheFirstBlock)
{
    fClock.advanceTo(HostTimeOf(32768) + 1);
    EXPECT_EQ(Report().first, 32768.0);
    fDevice->StopAudio();
    ASSERT_EQ(fDevice->StartAudio(), 0);
    const auto [sampleTime, hostTime] = Report();
    EXPECT_EQ(sampleTime, 32768.0) << "both periods again, from block 0 on";
    EXPECT_NEAR(double(hostTime), double(HostTimeOf(32768)), 20000.0);
}

} // namespace

namespace {

using SteppedZeroTimestamps = ZeroTimestampReports;

// On the stepped driver: right after the start the report is output block 0's host time; the
// periods move on while the driver writes, and stay once it has stopped.
TEST_F(SteppedZeroTimestamps, FollowTheDriversHostTimesAndStayWhenItStops)
{
    Activate();
    ASSERT_EQ(StartOnSteppedDriver(SteppedFormat(fClock, false)), 0);
    const auto* ring = reinterpret_cast<const USBRequestBlock*>(fService.ring(kOutputRingMemoryType));
    EXPECT_EQ(Report(), std::make_pair(0.0, ReadBlockHeader(ring[0]).fHostTime));

    fService.advance(8 * 1000);
    EXPECT_GE(Report().first, 16384.0);
    fService.stopWriting();
    fService.advance(8 * 1000);
    const auto stalled = Report();
    fService.advance(8 * 1000);
    EXPECT_EQ(Report(), stalled) << "a period without the driver's host times";
}

} // namespace
