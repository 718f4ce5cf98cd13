#include "KorvanChaseRoutinesMac.h"
#include "RecordingLog.h"
#include "SyntheticRing.h"
#include "VorkDeadline.h"

#include <gtest/gtest.h>

#include <mach/mach_time.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <numeric>
#include <random>
#include <thread>

using namespace KorvanDeviceIO;

namespace {

constexpr uint32_t kMaxPacket = 64;
constexpr uint32_t kBytesPerFrame = 6;
constexpr uint8_t kFramesPerPacket = 6;
constexpr uint32_t kSampleBytes = kFramesPerPacket * kBytesPerFrame;
constexpr uint64_t kLaps = 5;
constexpr uint64_t kPackets = kLaps * kPacketsPerRing;
// The writer stays this far ahead of the slower chaser at most, so it never overwrites a packet
// that a chaser has yet to consume.
constexpr uint64_t kMaxLead = 2400;

uint64_t microframeOfBlock(uint64_t globalBlock)
{
    return globalBlock * 1000;
}

// Some packets never arrive, though the device counted their frames.
bool arrives(uint64_t packet)
{
    if (packet < 10 || packet + 10 > kPackets) {
        return true;
    }
    return packet % 101 != 50 && packet % 211 != 100 && packet % 211 != 101;
}

// What the device sends as the packet that starts `packet` packets after the start.
IsocPacketHeader headerOf(uint64_t packet)
{
    return {uint32_t((packet + 1) * kFramesPerPacket), kFramesPerPacket};
}

// Never the stale pattern's byte, and different from one lap to the next.
uint8_t sampleByteOf(uint64_t packet)
{
    static_assert(kPacketsPerRing % 169 != 0);
    return uint8_t(packet % 169 + 1);
}

uint8_t* packetBytes(USBRequestBlock* ring, uint64_t packet)
{
    return ring[(packet / kPacketsPerBlock) % kRequestBlockCount].fBuffer +
           (packet % kPacketsPerBlock) * kMaxPacket;
}

// Stores `count` bytes one at a time in a shuffled order, giving the reader a chance between any two.
void storeShuffled(uint8_t* to, const uint8_t* from, std::size_t count, std::minstd_rand& random)
{
    std::size_t order[kSampleBytes];
    std::iota(order, order + count, std::size_t{0});
    std::shuffle(order, order + count, random);
    for (std::size_t i = 0; i < count; ++i) {
        __atomic_store_n(to + order[i], from[order[i]], __ATOMIC_RELEASE);
        std::this_thread::yield();
    }
}

// The USB controller, one packet after the other: without headers the frames, in any byte order;
// with them the samples first, then the header bytes in any order.
void writePacket(USBRequestBlock* ring, uint64_t packet, bool headersOn, std::minstd_rand& random)
{
    uint8_t* const bytes = packetBytes(ring, packet);
    uint8_t samples[kSampleBytes];
    std::memset(samples, sampleByteOf(packet), sizeof samples);
    if (!headersOn) {
        storeShuffled(bytes, samples, kSampleBytes, random);
        return;
    }
    std::memcpy(bytes + kIsocPacketHeaderBytes, samples, kSampleBytes);
    uint8_t header[kIsocPacketHeaderBytes];
    const IsocPacketHeader sent = headerOf(packet);
    std::memcpy(header, &sent, sizeof header);
    storeShuffled(bytes, header, kIsocPacketHeaderBytes, random);
}

// Frames up to the stale pattern, as a reader without headers counts them.
uint32_t framesBeforeStalePattern(const uint8_t* packet)
{
    uint32_t frames = 0;
    while (frames * kBytesPerFrame + kStalePatternBytes <= kMaxPacket &&
           !HoldsStalePattern(packet + frames * kBytesPerFrame)) {
        ++frames;
    }
    return frames;
}

struct RingMode
{
    const char* fName;
    bool fHeadersOn;
    uint8_t fVersion;
};

void PrintTo(const RingMode& mode, std::ostream* out)
{
    *out << mode.fName;
}

// A chase as the plug-in and the driver extension run it: the packet at the position is consumed
// once the one after it has arrived; a stale one after it starts the dropped-packet search. It
// counts every header, frame count and sample it takes that the device did not send whole.
template <Driver D>
class Chase
{
public:
    Chase(USBRequestBlock* ring, const RingMode& mode)
        : fChaser(kMaxPacket, kBytesPerFrame, mode.fHeadersOn, mode.fVersion, &fLog), fPosition{ring, ring, 0,
                                                                                                kMaxPacket}
    {}

    bool step()
    {
        const USBRequestIter next = fPosition.next();
        if (IsPacketFresh(next, D, fChaser.fStreamingHeadersEnabled)) {
            consume(fPosition);
            moveTo(next, 1);
            return true;
        }
        return fChaser.fStreamingHeadersEnabled ? repair(next) : skipLost(next);
    }

    uint64_t progress() const { return fProgress.load(std::memory_order_acquire); }

    RecordingLog fLog;
    uint64_t fNotSent = 0;
    uint64_t fRepairs = 0;

private:
    uint64_t at() const { return fProgress.load(std::memory_order_relaxed); }

    void checkSamples(const uint8_t* samples, uint32_t bytes)
    {
        fNotSent += bytes != kSampleBytes;
        for (uint32_t i = 0; i < bytes; ++i) {
            fNotSent += samples[i] != sampleByteOf(at());
        }
    }

    void checkRecord(const USBRequestIter& it, uint64_t packet)
    {
        fNotSent += !(RecordOf(it, D).fPacketHeaders[it.fPacketIndex] == headerOf(packet));
    }

    void consume(const USBRequestIter& it)
    {
        if (fChaser.fStreamingHeadersEnabled) {
            const IsocPacketHeader header = ReadPacketHeader(it.packet());
            fNotSent += !(header == headerOf(at()));
            checkSamples(it.packet() + kIsocPacketHeaderBytes,
                         header.numSampleFramesThisPacket * kBytesPerFrame);
            fCounter = header.totalNumSampleFramesSent;
        } else {
            checkSamples(it.packet(), framesBeforeStalePattern(it.packet()) * kBytesPerFrame);
        }
        StorePacketLength(it, D, kSampleBytes + kIsocPacketHeaderBytes);
        ConsumePacket(it, D, fChaser.fStreamingHeadersEnabled);
        if (fChaser.fStreamingHeadersEnabled) {
            checkRecord(it, at());
        }
    }

    bool skipLost(const USBRequestIter& stale)
    {
        USBRequestIter fresh;
        int distance = 0;
        if (!fChaser.FindNextFreshIsocIn(stale, 9, fresh, distance)) {
            return false;
        }
        // Packets in order: one still stale now that a later one has arrived was lost; one that is
        // not was still being written when it looked stale.
        for (USBRequestIter it = stale; !(it.fBlock == fresh.fBlock && it.fPacketIndex == fresh.fPacketIndex);
             it = it.next()) {
            if (!HoldsStalePattern(it.packet())) {
                return false;
            }
        }
        consume(fPosition);
        ++fRepairs;
        moveTo(fresh, uint64_t(distance) + 1);
        return true;
    }

    bool repair(const USBRequestIter& stale)
    {
        if (fCounter < 1) {
            return false;
        }
        USBRequestIter nextGood;
        int count = 0;
        if (!fChaser.didIsocInGetDropped(stale, 9, nextGood, count)) {
            return false;
        }
        // As in the plug-in: a packet that has arrived by now was still being written, not lost.
        if (IsPacketFresh(stale, D, true)) {
            return true;
        }
        if (!fChaser.SettleDroppedStretch(stale, 9, nextGood, count)) {
            return false;
        }
        const uint64_t lastGood = at();
        int64_t droppedFrames = 0;
        auto copy = [this](const uint8_t* samples, uint32_t bytes) { checkSamples(samples, bytes); };
        if (!fChaser.handleDroppedIsoc(copy, fPosition, nextGood, unsigned(count), fCounter, droppedFrames)) {
            return false;
        }
        checkRecord(fPosition, lastGood);
        fNotSent += droppedFrames != int64_t(count) * kFramesPerPacket;
        fCounter += droppedFrames;
        ++fRepairs;
        moveTo(nextGood, uint64_t(count) + 1);
        return true;
    }

    void moveTo(const USBRequestIter& position, uint64_t packets)
    {
        fPosition = position;
        fProgress.store(at() + packets, std::memory_order_release);
    }

    USBInputChaser<D, RecordingLog> fChaser;
    USBRequestIter fPosition;
    int64_t fCounter = 0;
    std::atomic<uint64_t> fProgress{0};
};

bool onlyRoutineMessages(const RecordingLog& log)
{
    for (const std::string& message : log.fMessages) {
        if (message.rfind("setTransferLengthsForDroppedInputPackets - ", 0) != 0 &&
            message.rfind("Request ", 0) != 0) {
            ADD_FAILURE() << message;
            return false;
        }
    }
    return true;
}

class RequestRingStress : public SyntheticRingTest, public testing::WithParamInterface<RingMode>
{};

// Both sides chase one ring with headers; without, the pattern each consumer writes back would hide
// packets from the other, so only the plug-in chases.
TEST_P(RequestRingStress, ChasesTakeOnlyWhatTheDeviceWroteWhole)
{
    const RingMode mode = GetParam();
    USBRequestBlock* const blocks = ring().blocks();
    PrepareInputRing(blocks, mode.fHeadersOn);
    Chase<Driver::CoreAudio> coreAudio(blocks, mode);
    Chase<Driver::Dext> dext(blocks, mode);
    const uint64_t dextEnd = mode.fHeadersOn ? kPackets - 2 * kPacketsPerBlock : 0;
    std::atomic<uint64_t> written{0};
    std::atomic<bool> done{false};
    // A side that stalls would hold the others; each gives up once none has moved for a while.
    const VorkTesting::StallDeadline deadline(
        [&] { return written.load(std::memory_order_acquire) + coreAudio.progress() + dext.progress(); });

    std::thread writer([&] {
        std::minstd_rand random(7);
        for (uint64_t packet = 0; packet < kPackets; ++packet) {
            while (packet >= coreAudio.progress() + kMaxLead ||
                   (dext.progress() < dextEnd && packet >= dext.progress() + kMaxLead)) {
                if (deadline.passed()) {
                    return;
                }
                std::this_thread::yield();
            }
            if (packet % kPacketsPerBlock == 0) {
                WriteBlockHeader(blocks[(packet / kPacketsPerBlock) % kRequestBlockCount],
                                 {mach_absolute_time(), microframeOfBlock(packet / kPacketsPerBlock),
                                  packet * kSampleBytes, 0});
            }
            if (arrives(packet)) {
                writePacket(blocks, packet, mode.fHeadersOn, random);
            }
            written.store(packet + 1, std::memory_order_release);
        }
    });

    std::thread coreAudioChaser([&] {
        while (coreAudio.progress() + 1 < kPackets && !deadline.passed()) {
            if (!coreAudio.step()) {
                std::this_thread::yield();
            }
        }
    });

    // The driver extension works on blocks the controller has completed, and the one after them.
    std::thread dextChaser([&] {
        while (dext.progress() < dextEnd && !deadline.passed()) {
            const uint64_t completedBlocks = written.load(std::memory_order_acquire) / kPacketsPerBlock;
            const bool inCompletedBlock = dext.progress() / kPacketsPerBlock + 2 <= completedBlocks;
            if (!inCompletedBlock || !dext.step()) {
                std::this_thread::yield();
            }
        }
    });

    uint64_t tornReads = 0;
    uint64_t missingLengths = 0;
    std::thread reader([&] {
        ChasePosition last[kRequestBlockCount] = {};
        while (!done.load(std::memory_order_acquire)) {
            for (std::size_t b = 0; b < kRequestBlockCount; ++b) {
                const ChaseRecord& record = blocks[b].fChase[0];
                const ChasePosition position = ReadChasePosition(record);
                if (position.fMicroframe == 0) {
                    continue;
                }
                tornReads += position.fMicroframe % 1000 >= kPacketsPerBlock ||
                             position.fMicroframe < last[b].fMicroframe ||
                             position.fHostTime < last[b].fHostTime;
                missingLengths += LoadPacketLength(record, position.fMicroframe % 1000) == 0;
                last[b] = position;
            }
            // A pass that did not yield would starve the sides it watches on a machine of few cores.
            std::this_thread::yield();
        }
    });

    writer.join();
    coreAudioChaser.join();
    dextChaser.join();
    done.store(true, std::memory_order_release);
    reader.join();

    ASSERT_FALSE(deadline.passed()) << "a side stalled";
    EXPECT_EQ(tornReads, 0u);
    EXPECT_EQ(missingLengths, 0u);
    EXPECT_EQ(coreAudio.fNotSent, 0u);
    EXPECT_EQ(dext.fNotSent, 0u);
    EXPECT_GT(coreAudio.fRepairs, 0u);
    EXPECT_EQ(dext.fRepairs > 0, mode.fHeadersOn);
    EXPECT_TRUE(onlyRoutineMessages(coreAudio.fLog));
    EXPECT_TRUE(onlyRoutineMessages(dext.fLog));
}

INSTANTIATE_TEST_SUITE_P(Modes, RequestRingStress,
                         testing::Values(RingMode{"HeadersVersion1", true, 1},
                                         RingMode{"HeadersVersion2", true, 2},
                                         RingMode{"HeadersOff", false, 0}),
                         [](const testing::TestParamInfo<RingMode>& info) { return info.param.fName; });

class BlockHeaderStress : public SyntheticRingTest
{};

// A reader that sees a block's new host time also sees the counts written with it.
TEST_F(BlockHeaderStress, CountsArriveWithTheirHostTime)
{
    USBRequestBlock& block = ring().block(7);
    constexpr uint64_t kWrites = 200000;
    std::thread writer([&block] {
        for (uint64_t k = 1; k <= kWrites; ++k) {
            WriteBlockHeader(block, {k, k, k, k});
        }
    });
    uint64_t stale = 0;
    BlockHeader header{};
    const VorkTesting::StallDeadline deadline([&header] { return header.fHostTime; });
    while (header.fHostTime < kWrites && !deadline.passed()) {
        header = ReadBlockHeader(block);
        stale += header.fMicroframe < header.fHostTime || header.fStartByteCount < header.fHostTime ||
                 header.fEndByteCount < header.fHostTime;
    }
    writer.join();
    EXPECT_FALSE(deadline.passed()) << "the last header never arrived";
    EXPECT_EQ(stale, 0u);
}

} // namespace
