#include "DextTestSupport.h"
#include "SyntheticRing.h"

#include <InputSanitizer.h>
#include <OutputRequestSizes.h>

#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/LogCapture.h>
#include <DarwinTesting/ManualClock.h>

#include <Darwin/Clock.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace KorvanDeviceIO;

constexpr uint32_t kMaxPacket = 200;
constexpr uint32_t kBytesPerFrame = 24;
constexpr uint8_t kFramesPerPacket = 6;
constexpr uint32_t kFullPacket = kFramesPerPacket * kBytesPerFrame + 5;
constexpr size_t kBlock = 3;

// Block 3 of a synthetic ring as the controller left it: every packet six frames, the running totals
// from `start` on, and the frame list as the controller reported it.
class DextInputSanitizer : public SyntheticRingTest
{
protected:
    void SetUp() override
    {
        SyntheticRingTest::SetUp();
        block().fMicroframe = 8000;
        frames.assign(kPacketsPerBlock, IOUSBIsochronousFrame{0, kMaxPacket, kFullPacket, 0, 0});
    }

    USBRequestBlock& block(size_t index = kBlock) const { return ring().block(index); }
    uint8_t* packet(size_t blockIndex, uint32_t index) const
    {
        return ring().at(blockIndex, index, kMaxPacket).packet();
    }

    // Writes the packets from `first` on, through the next block's first packet, with totals that go
    // on from `total`; returns the total after them.
    uint32_t writeFrom(uint32_t first, uint32_t total)
    {
        for (uint32_t i = first; i <= kPacketsPerBlock; ++i) {
            total += kFramesPerPacket;
            WritePacketHeader(i < kPacketsPerBlock ? packet(kBlock, i) : packet(kBlock + 1, 0),
                              {total, kFramesPerPacket});
        }
        return total;
    }

    // Makes a packet look as it did when the driver consumed it last: lost this time round.
    void lose(uint32_t index, IsocPacketHeader old = {77, kFramesPerPacket})
    {
        WritePacketHeader(packet(kBlock, index), old);
        block().fChase[size_t(Driver::Dext)].fPacketHeaders[index] = old;
        frames[index].completeCount = 0;
    }

    void sanitize(uint8_t headerVersion = 2)
    {
        InputSanitizer sanitizer(ring().blocks(), kMaxPacket, kBytesPerFrame, headerVersion);
        sanitizer.sanitize(block(), frames.data());
    }

    std::vector<uint32_t> counts() const
    {
        std::vector<uint32_t> result;
        for (const IOUSBIsochronousFrame& frame : frames) {
            result.push_back(frame.completeCount);
        }
        return result;
    }

    std::vector<IOUSBIsochronousFrame> frames;
};

TEST_F(DextInputSanitizer, HeadersCorrectWhatTheControllerReported)
{
    DarwinTesting::LogCapture capture;
    writeFrom(0, 1000);
    frames[5].completeCount = 100;

    sanitize();

    EXPECT_EQ(counts(), std::vector<uint32_t>(kPacketsPerBlock, kFullPacket));
    EXPECT_EQ(DextTesting::countLines(capture, "Mismatch between packet length"), 1u);
    EXPECT_FALSE(DextTesting::logged(capture, "sanitizeInputRequest - failed"));
}

TEST_F(DextInputSanitizer, APluginThatIsAheadLendsItsLengths)
{
    DarwinTesting::LogCapture capture;
    ChaseRecord& plugin = block().fChase[size_t(Driver::CoreAudio)];
    plugin.fChaseMicroframe = block().fMicroframe + 159;
    plugin.fPacketLengths[0] = 125;
    plugin.fPacketLengths[1] = 300;

    sanitize();

    EXPECT_EQ(frames[0].completeCount, 125u);
    EXPECT_EQ(frames[1].completeCount, kMaxPacket) << "capped at the max packet";
    EXPECT_EQ(frames[2].completeCount, kFullPacket) << "no length of its own: left as reported";
    EXPECT_EQ(DextTesting::countLines(capture, "Mismatch between packet length"), 2u);
}

struct LossCase
{
    const char* name;
    uint32_t start;     // the running total before the block
    uint32_t extraLost; // frames the lost packet carried beyond six
    bool repaired;
};

class DextInputSanitizerLoss : public DextInputSanitizer, public testing::WithParamInterface<LossCase>
{};

// Packet 40 is lost and takes the frames that went missing, as long as it could have carried them;
// packet 41 keeps its own.
TEST_P(DextInputSanitizerLoss, SpreadsTheMissingFramesOrGivesUp)
{
    DarwinTesting::LogCapture capture;
    const LossCase& c = GetParam();
    const uint32_t before = writeFrom(0, c.start) - (kPacketsPerBlock + 1 - 40) * kFramesPerPacket;
    writeFrom(40, before + c.extraLost);
    lose(40);

    sanitize();

    if (c.repaired) {
        EXPECT_EQ(frames[40].completeCount, (kFramesPerPacket + c.extraLost) * kBytesPerFrame + 5);
        EXPECT_EQ(frames[41].completeCount, kFullPacket);
        EXPECT_FALSE(DextTesting::logged(capture, "sanitizeInputRequest - failed"));
    } else {
        EXPECT_EQ(frames[40].completeCount, 0u) << "left as the controller reported it";
        EXPECT_TRUE(DextTesting::logged(capture,
                                        "sanitizeInputRequest - failed to recover from apparent isoc "
                                        "errors, only chased 39 uframes!"));
    }
}

INSTANTIATE_TEST_SUITE_P(DextLosses, DextInputSanitizerLoss,
                         testing::Values(LossCase{"OnePacket", 1000, 0, true},
                                         LossCase{"AcrossTheWrap", 0xFFFFFF00u, 0, true},
                                         LossCase{"MoreFramesThanUsual", 1000, 2, true},
                                         // 9 frames of 24 bytes do not fit a 200-byte packet.
                                         LossCase{"MoreThanThePacketsHold", 1000, 3, false}),
                         [](const testing::TestParamInfo<LossCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(DextInputSanitizer, GivingUpRecordsEveryHeaderAndClearsTheFlags)
{
    writeFrom(0, 1000);
    for (uint32_t i = 100; i < kPacketsPerBlock; ++i) {
        lose(i, {uint32_t(5000 + i), kFramesPerPacket});
    }
    WritePacketHeader(packet(kBlock + 1, 0), {0, 0});
    block().fChase[size_t(Driver::Dext)].fDropped[120] = 1;

    sanitize();

    const ChaseRecord& record = block().fChase[size_t(Driver::Dext)];
    for (uint32_t i = 0; i < kPacketsPerBlock; ++i) {
        EXPECT_TRUE(record.fPacketHeaders[i] == ReadPacketHeader(packet(kBlock, i))) << i;
        EXPECT_EQ(record.fDropped[i], 0) << i;
    }
    EXPECT_EQ(frames[100].completeCount, 0u);
}

// The last packet is complete only once the next request's first has come; that one gets a
// millisecond.
TEST_F(DextInputSanitizer, TheLastPacketWaitsOnceForTheNextRequest)
{
    DarwinTesting::LogCapture capture;
    const uint32_t total = writeFrom(0, 1000);
    WritePacketHeader(packet(kBlock + 1, 0), {0, 0});
    frames[159].completeCount = 0;
    DarwinTesting::ManualClock clock;

    std::thread chase([&] { sanitize(); });
    while (clock.nextDeadline() == DarwinClock::kNever) {
        std::this_thread::yield();
    }
    WritePacketHeader(packet(kBlock + 1, 0), {total, kFramesPerPacket});
    clock.advance(std::chrono::milliseconds(1));
    chase.join();

    EXPECT_EQ(frames[159].completeCount, kFullPacket);
    EXPECT_FALSE(DextTesting::logged(capture, "sanitizeInputRequest - failed"));
}

// Packets 158 and 159 are lost, and the stretch ends in the next request, whose first packet is the
// newest and only half written: its frame count and the low byte of its total. The repair waits for
// a packet after it, then takes the whole header.
TEST_F(DextInputSanitizer, AStretchEndingInTheNextRequestWaitsForAPacketAfterIt)
{
    for (uint8_t version : {uint8_t(1), uint8_t(2)}) {
        SCOPED_TRACE("headers v" + std::to_string(version));
        SetUp();
        DarwinTesting::LogCapture capture;
        const uint32_t nextGoodTotal = writeFrom(0, 1000);
        lose(158);
        lose(159);
        WritePacketHeader(packet(kBlock + 1, 0), {nextGoodTotal & 0xFF, kFramesPerPacket});
        DarwinTesting::ManualClock clock;

        std::atomic<bool> done{false};
        std::thread chase([&] {
            sanitize(version);
            done = true;
        });
        EXPECT_TRUE(
            DarwinTesting::eventually([&] { return done || clock.nextDeadline() != DarwinClock::kNever; }));
        EXPECT_FALSE(done) << "the half-written header was taken";
        WritePacketHeader(packet(kBlock + 1, 0), {nextGoodTotal, kFramesPerPacket});
        WritePacketHeader(packet(kBlock + 1, 1), {nextGoodTotal + kFramesPerPacket, kFramesPerPacket});
        clock.advance(std::chrono::milliseconds(1));
        chase.join();

        EXPECT_EQ(frames[158].completeCount, kFullPacket);
        EXPECT_EQ(frames[159].completeCount, kFullPacket);
        EXPECT_FALSE(DextTesting::logged(capture, "sanitizeInputRequest - failed"));
    }
}

struct BoundaryCase
{
    const char* name;
    uint32_t firstLost; // counted across the request and the next one: 160 is the next one's first
    uint32_t lost;
    bool endArrivesDuringTheWait;
};

// A stretch of lost packets that crosses into the next request is repaired once, when the request
// it starts in completes, and the next request's chase goes on after it: neither request keeps a
// packet without its frames, so no output microframe goes out empty.
class DextInputSanitizerBoundary : public DextInputSanitizer, public testing::WithParamInterface<BoundaryCase>
{
protected:
    static constexpr uint32_t kThroughNextRequest = 2 * kPacketsPerBlock + 1;
    // What a lost packet still holds from the ring's last round, with another frame count than now.
    static constexpr IsocPacketHeader kLastRound{77, 3};

    uint8_t* packetAcross(uint32_t index) const
    {
        return packet(kBlock + index / kPacketsPerBlock, index % kPacketsPerBlock);
    }

    // Packets [from, to) as the controller writes them, six frames each.
    void write(uint32_t from, uint32_t to) const
    {
        for (uint32_t i = from; i < to; ++i) {
            WritePacketHeader(packetAcross(i), {1000 + (i + 1) * kFramesPerPacket, kFramesPerPacket});
        }
    }

    void loseAcross(uint32_t index, std::vector<IOUSBIsochronousFrame>& next)
    {
        const uint32_t inBlock = index % kPacketsPerBlock;
        WritePacketHeader(packetAcross(index), kLastRound);
        block(kBlock + index / kPacketsPerBlock).fChase[size_t(Driver::Dext)].fPacketHeaders[inBlock] =
            kLastRound;
        (index < kPacketsPerBlock ? frames : next)[inBlock].completeCount = 0;
    }
};

TEST_P(DextInputSanitizerBoundary, RepairsTheStretchOnceAcrossBothRequests)
{
    DarwinTesting::LogCapture capture;
    const BoundaryCase& c = GetParam();
    const uint32_t end = c.firstLost + c.lost;
    block(kBlock + 1).fMicroframe = block().fMicroframe + kPacketsPerBlock;
    std::vector<IOUSBIsochronousFrame> next(kPacketsPerBlock,
                                            IOUSBIsochronousFrame{0, kMaxPacket, kFullPacket, 0, 0});
    write(0, c.firstLost);
    for (uint32_t i = c.firstLost; i < end; ++i) {
        loseAcross(i, next);
    }
    if (!c.endArrivesDuringTheWait) {
        write(end, kThroughNextRequest);
    }
    {
        DarwinTesting::ManualClock clock;
        std::atomic<bool> done{false};
        std::thread chase([&] {
            sanitize();
            done = true;
        });
        if (c.endArrivesDuringTheWait) {
            EXPECT_TRUE(DarwinTesting::eventually(
                [&] { return done || clock.nextDeadline() != DarwinClock::kNever; }));
            EXPECT_FALSE(done) << "gave up before the stretch's end arrived";
            write(end, kThroughNextRequest);
        } else {
            EXPECT_TRUE(DarwinTesting::eventually([&] { return done.load(); })) << "waited for what had come";
        }
        clock.advance(std::chrono::milliseconds(1));
        chase.join();
    }
    InputSanitizer(ring().blocks(), kMaxPacket, kBytesPerFrame, 2).sanitize(block(kBlock + 1), next.data());
    std::vector<IOUSBIsochronousFrame> output(kPacketsPerBlock);
    SizeOutputRequest(next.data(), output.data(), {kBytesPerFrame, kBytesPerFrame, kMaxPacket, true}, 4);

    const std::vector<uint32_t> whole(kPacketsPerBlock, kFullPacket);
    EXPECT_EQ(counts(), whole);
    std::vector<uint32_t> nextCounts;
    for (const IOUSBIsochronousFrame& frame : next) {
        nextCounts.push_back(frame.completeCount);
    }
    EXPECT_EQ(nextCounts, whole);
    EXPECT_FALSE(DextTesting::logged(capture, "sanitizeInputRequest - failed"));
    EXPECT_FALSE(DextTesting::logged(capture, "!!! Isoc out request"));
}

INSTANTIATE_TEST_SUITE_P(DextBoundaries, DextInputSanitizerBoundary,
                         testing::Values(BoundaryCase{"TheNextRequestsFirstPacket", 160, 1, false},
                                         BoundaryCase{"TheNextRequestsFirstTwo", 160, 2, false},
                                         BoundaryCase{"TwoOnEitherSide", 158, 4, false},
                                         BoundaryCase{"ABurstOfEightEndingLater", 155, 8, true}),
                         [](const testing::TestParamInfo<BoundaryCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
