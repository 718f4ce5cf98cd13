#include "KorvanChaseRoutinesMac.h"
#include "RecordingLog.h"
#include "SyntheticRing.h"
#include "VorkDeadline.h"

#include <gtest/gtest.h>

#include <mach/mach_time.h>

#include <atomic>
#include <thread>

using namespace KorvanDeviceIO;

namespace {

constexpr uint32_t kMaxPacket = 64;
constexpr uint32_t kBytesPerFrame = 6;
constexpr uint8_t kFramesPerPacket = 6;
constexpr uint64_t kLaps = 5;
constexpr uint64_t kPackets = kLaps * kPacketsPerRing;
// The writer stays this far ahead of the slower chaser at most, so it never overwrites a packet
// that a chaser has yet to consume.
constexpr uint64_t kMaxLead = 2400;

uint64_t microframeOfBlock(uint64_t globalBlock)
{
    return globalBlock * 1000;
}

// The USB controller: writes the samples, then the header, one packet after the other. Some
// packets never arrive, though the device counted their frames.
bool arrives(uint64_t packet)
{
    if (packet < 10 || packet + 10 > kPackets) {
        return true;
    }
    return packet % 101 != 50 && packet % 211 != 100 && packet % 211 != 101;
}

// A chase as the plug-in and the driver extension run it: the packet at the position is consumed
// once the one after it has arrived; a stale one after it starts the dropped-packet search.
template <Driver D>
class Chase
{
public:
    explicit Chase(USBRequestBlock* ring)
        : fChaser(kMaxPacket, kBytesPerFrame, true, 2, &fLog), fPosition{ring, ring, 0, kMaxPacket}
    {}

    template <class Copy>
    bool step(Copy&& copy)
    {
        const USBRequestIter next = fPosition.next();
        if (IsPacketFresh(next, D, true)) {
            const IsocPacketHeader header = ReadPacketHeader(fPosition.packet());
            fMismatches += fCounter != 0 && uint32_t(fCounter + header.numSampleFramesThisPacket) !=
                                                header.totalNumSampleFramesSent;
            const uint32_t bytes = header.numSampleFramesThisPacket * kBytesPerFrame;
            copy(fPosition.packet() + kIsocPacketHeaderBytes, bytes, header);
            fCounter = header.totalNumSampleFramesSent;
            StorePacketLength(fPosition, D, bytes + kIsocPacketHeaderBytes);
            ConsumePacket(fPosition, D, true);
            moveTo(next, 1);
            return true;
        }
        if (fCounter < 1) {
            return false;
        }
        USBRequestIter nextGood;
        int count = 0;
        if (!fChaser.didIsocInGetDropped(next, 9, nextGood, count)) {
            return false;
        }
        const IsocPacketHeader header = ReadPacketHeader(fPosition.packet());
        int64_t droppedFrames = 0;
        auto copyLastGood = [&](const uint8_t* samples, uint32_t bytes) { copy(samples, bytes, header); };
        if (!fChaser.handleDroppedIsoc(copyLastGood, fPosition, nextGood, unsigned(count), fCounter,
                                       droppedFrames)) {
            return false;
        }
        fCounter += droppedFrames;
        ++fRepairs;
        moveTo(nextGood, uint64_t(count) + 1);
        return true;
    }

    uint64_t progress() const { return fProgress.load(std::memory_order_acquire); }

    RecordingLog fLog;
    uint64_t fMismatches = 0;
    uint64_t fRepairs = 0;

private:
    void moveTo(const USBRequestIter& position, uint64_t packets)
    {
        fPosition = position;
        fProgress.store(fProgress.load(std::memory_order_relaxed) + packets, std::memory_order_release);
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

class RequestRingStress : public SyntheticRingTest
{};

TEST_F(RequestRingStress, BothSidesChaseOneRingWithoutTouchingTheOthersRecord)
{
    USBRequestBlock* const blocks = ring().blocks();
    Chase<Driver::CoreAudio> coreAudio(blocks);
    Chase<Driver::Dext> dext(blocks);
    std::atomic<uint64_t> written{0};
    std::atomic<bool> done{false};
    // A side that stalls would hold the others; each gives up at the deadline.
    const VorkTesting::EventDeadline deadline;

    std::thread writer([&] {
        uint32_t total = 0;
        for (uint64_t packet = 0; packet < kPackets; ++packet) {
            while (packet >= coreAudio.progress() + kMaxLead || packet >= dext.progress() + kMaxLead) {
                if (deadline.passed()) {
                    return;
                }
                std::this_thread::yield();
            }
            USBRequestBlock& block = blocks[(packet / kPacketsPerBlock) % kRequestBlockCount];
            if (packet % kPacketsPerBlock == 0) {
                WriteBlockHeader(block, {mach_absolute_time(), microframeOfBlock(packet / kPacketsPerBlock),
                                         uint64_t(total) * kBytesPerFrame, 0});
            }
            total += kFramesPerPacket;
            if (arrives(packet)) {
                uint8_t* bytes = block.fBuffer + (packet % kPacketsPerBlock) * kMaxPacket;
                std::memset(bytes + kIsocPacketHeaderBytes, uint8_t(total),
                            kFramesPerPacket * kBytesPerFrame);
                WritePacketHeader(bytes, {total, kFramesPerPacket});
            }
            written.store(packet + 1, std::memory_order_release);
        }
    });

    uint64_t badSamples = 0;
    std::thread coreAudioChaser([&] {
        auto copy = [&badSamples](const uint8_t* samples, uint32_t bytes, const IsocPacketHeader& header) {
            for (uint32_t i = 0; i < bytes; ++i) {
                badSamples += samples[i] != uint8_t(header.totalNumSampleFramesSent);
            }
        };
        while (coreAudio.progress() + 1 < kPackets && !deadline.passed()) {
            if (!coreAudio.step(copy)) {
                std::this_thread::yield();
            }
        }
    });

    // The driver extension works on blocks the controller has completed, and the one after them.
    std::thread dextChaser([&] {
        auto noCopy = [](const uint8_t*, uint32_t, const IsocPacketHeader&) {};
        const uint64_t end = kPackets - 2 * kPacketsPerBlock;
        while (dext.progress() < end && !deadline.passed()) {
            const uint64_t completedBlocks = written.load(std::memory_order_acquire) / kPacketsPerBlock;
            const bool inCompletedBlock = dext.progress() / kPacketsPerBlock + 2 <= completedBlocks;
            if (!inCompletedBlock || !dext.step(noCopy)) {
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
        }
    });

    writer.join();
    coreAudioChaser.join();
    dextChaser.join();
    done.store(true, std::memory_order_release);
    reader.join();

    ASSERT_FALSE(deadline.passed()) << "a side stalled";
    EXPECT_EQ(badSamples, 0u);
    EXPECT_EQ(tornReads, 0u);
    EXPECT_EQ(missingLengths, 0u);
    EXPECT_EQ(coreAudio.fMismatches, 0u);
    EXPECT_EQ(dext.fMismatches, 0u);
    EXPECT_GT(coreAudio.fRepairs, 0u);
    EXPECT_GT(dext.fRepairs, 0u);
    EXPECT_TRUE(onlyRoutineMessages(coreAudio.fLog));
    EXPECT_TRUE(onlyRoutineMessages(dext.fLog));
}

// A reader that sees a block's new host time also sees the counts written with it.
TEST_F(RequestRingStress, BlockHeaderCountsArriveWithTheirHostTime)
{
    USBRequestBlock& block = ring().block(7);
    constexpr uint64_t kWrites = 200000;
    std::thread writer([&block] {
        for (uint64_t k = 1; k <= kWrites; ++k) {
            WriteBlockHeader(block, {k, k, k, k});
        }
    });
    uint64_t stale = 0;
    const VorkTesting::EventDeadline deadline;
    for (BlockHeader header{}; header.fHostTime < kWrites && !deadline.passed();) {
        header = ReadBlockHeader(block);
        stale += header.fMicroframe < header.fHostTime || header.fStartByteCount < header.fHostTime ||
                 header.fEndByteCount < header.fHostTime;
    }
    writer.join();
    EXPECT_FALSE(deadline.passed()) << "the last header never arrived";
    EXPECT_EQ(stale, 0u);
}

} // namespace
