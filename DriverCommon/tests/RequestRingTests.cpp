#include "KorvanRequestRing.h"
#include "SyntheticRing.h"

#include <gtest/gtest.h>

#include <DarwinTesting/ManualClock.h>
#include <mach/mach_time.h>

using namespace KorvanDeviceIO;

namespace {

constexpr uint32_t kStride = 100;

class RequestRing : public SyntheticRingTest
{
protected:
    static USBRequestIter at(std::size_t block, uint32_t packet) { return ring().at(block, packet, kStride); }

    static void fill(const USBRequestIter& it, uint8_t byte, std::size_t bytes = kStride)
    {
        std::memset(it.packet(), byte, bytes);
    }
};

TEST_F(RequestRing, IteratorAdvances)
{
    struct Row
    {
        std::size_t fBlock;
        uint32_t fPacket;
        std::size_t fNextBlock;
        uint32_t fNextPacket;
    };
    for (const Row& row :
         {Row{0, 158, 0, 159}, Row{0, 159, 1, 0}, Row{7, 159, 8, 0}, Row{19, 159, 0, 0}, Row{19, 0, 19, 1}}) {
        const USBRequestIter next = at(row.fBlock, row.fPacket).next();
        EXPECT_EQ(next.blockNumber(), row.fNextBlock) << row.fBlock << "/" << row.fPacket;
        EXPECT_EQ(next.fPacketIndex, row.fNextPacket) << row.fBlock << "/" << row.fPacket;
        EXPECT_EQ(next.fRingBase, ring().blocks());
        EXPECT_EQ(next.fPacketStride, kStride);
    }
    EXPECT_EQ(at(3, 9).packet(), ring().block(3).fBuffer + 9 * kStride);
}

TEST_F(RequestRing, IteratorWithoutBlockStays)
{
    const USBRequestIter none{ring().blocks(), nullptr, 159, kStride};
    const USBRequestIter next = none.next();
    EXPECT_EQ(next.fBlock, nullptr);
    EXPECT_EQ(next.fPacketIndex, 159u);
}

TEST_F(RequestRing, FreshnessWithHeaders)
{
    struct Row
    {
        IsocPacketHeader fPacket;
        IsocPacketHeader fRecord;
        bool fFresh;
    };
    const Row rows[] = {
        {{100, 6}, {94, 6}, true},                              // count differs
        {{100, 7}, {100, 6}, true},                             // frames differ
        {{100, 6}, {100, 6}, false}, {{0, 0}, {100, 6}, false}, // all zero is never fresh
        {{0, 0}, {0, 0}, false},     {{0, 6}, {0, 0}, true},
    };
    const USBRequestIter it = at(2, 40);
    for (const Row& row : rows) {
        WritePacketHeader(it.packet(), row.fPacket);
        ring().block(2).fChase[0].fPacketHeaders[40] = row.fRecord;
        EXPECT_EQ(IsPacketFresh(it, Driver::CoreAudio, true), row.fFresh)
            << row.fPacket.totalNumSampleFramesSent << "," << int(row.fPacket.numSampleFramesThisPacket);
    }
}

TEST_F(RequestRing, FreshnessFollowsTheOwnersRecord)
{
    const USBRequestIter it = at(0, 5);
    WritePacketHeader(it.packet(), {100, 6});
    ring().block(0).fChase[1].fPacketHeaders[5] = {100, 6};
    EXPECT_TRUE(IsPacketFresh(it, Driver::CoreAudio, true));
    EXPECT_FALSE(IsPacketFresh(it, Driver::Dext, true));
}

TEST_F(RequestRing, FreshnessWithoutHeaders)
{
    const USBRequestIter it = at(1, 159);
    fill(it, 0xAA);
    EXPECT_FALSE(IsPacketFresh(it, Driver::CoreAudio, false));
    for (std::size_t byte = 0; byte < 8; ++byte) {
        fill(it, 0xAA);
        it.packet()[byte] = 0xAB;
        EXPECT_TRUE(IsPacketFresh(it, Driver::CoreAudio, false)) << byte;
    }
    fill(it, 0xAA, 8);
    it.packet()[8] = 0;
    EXPECT_FALSE(IsPacketFresh(it, Driver::CoreAudio, false));
}

TEST_F(RequestRing, ConsumptionWithHeaders)
{
    ring().block(4).fMicroframe = 8000;
    const USBRequestIter it = at(4, 17);
    fill(it, 0x11);
    WritePacketHeader(it.packet(), {5000, 6});
    ChaseRecord& record = ring().block(4).fChase[0];
    record.fDropped[17] = 1;

    DarwinTesting::ManualClock clock;
    clock.advance(std::chrono::milliseconds(3));
    ConsumePacket(it, Driver::CoreAudio, true);

    EXPECT_EQ(record.fPacketHeaders[17], (IsocPacketHeader{5000, 6}));
    EXPECT_EQ(record.fDropped[17], 0);
    EXPECT_EQ(record.fChaseHostTime, mach_absolute_time());
    EXPECT_EQ(record.fChaseMicroframe, 8017u);
    EXPECT_EQ(it.packet()[5], 0x11) << "the samples stay";
    EXPECT_FALSE(IsPacketFresh(it, Driver::CoreAudio, true));
}

TEST_F(RequestRing, ConsumptionWithoutHeaders)
{
    ring().block(19).fMicroframe = 123456;
    const USBRequestIter it = at(19, 159);
    fill(it, 0x42);
    const uint8_t beyond = it.packet()[kStride] = 0x42;

    DarwinTesting::ManualClock clock;
    ConsumePacket(it, Driver::Dext, false);

    for (uint32_t i = 0; i < kStride; ++i) {
        ASSERT_EQ(it.packet()[i], 0xAA) << i;
    }
    EXPECT_EQ(it.packet()[kStride], beyond) << "only the packet is refilled";
    const ChaseRecord& record = ring().block(19).fChase[1];
    EXPECT_EQ(record.fChaseHostTime, mach_absolute_time());
    EXPECT_EQ(record.fChaseMicroframe, 123456u + 159u);
    EXPECT_EQ(ring().block(19).fChase[0].fChaseMicroframe, 0u);
}

TEST_F(RequestRing, PreparationWithHeadersZeroesTheRing)
{
    for (std::size_t block : {0, 19}) {
        std::memset(&ring().block(block), 0x5C, 4096);
        std::memset(ring().block(block).fBuffer + kRequestDataSizeBytes - 64, 0x5C, 64);
    }
    PrepareInputRing(ring().blocks(), true);
    const auto* bytes = reinterpret_cast<const uint8_t*>(ring().blocks());
    for (std::size_t i = 0; i < kRequestRingSizeBytes; ++i) {
        ASSERT_EQ(bytes[i], 0) << i;
    }
}

TEST_F(RequestRing, PreparationWithoutHeadersFillsOnlyThePacketAreas)
{
    for (std::size_t block = 0; block < kRequestBlockCount; ++block) {
        WriteBlockHeader(ring().block(block), {block + 1, block + 2, block + 3, block + 4});
        ring().block(block).fChase[0].fPacketLengths[3] = 77;
    }
    PrepareInputRing(ring().blocks(), false);
    for (std::size_t block = 0; block < kRequestBlockCount; ++block) {
        const USBRequestBlock& b = ring().block(block);
        EXPECT_EQ(ReadBlockHeader(b), (BlockHeader{block + 1, block + 2, block + 3, block + 4}));
        EXPECT_EQ(b.fChase[0].fPacketLengths[3], 77u);
        for (std::size_t i = 0; i < kRequestDataSizeBytes; ++i) {
            ASSERT_EQ(b.fBuffer[i], 0xAA) << block << ":" << i;
        }
    }
}

TEST_F(RequestRing, BlockHeaderRoundTrip)
{
    USBRequestBlock& block = ring().block(6);
    WriteBlockHeader(block, {111, 222, 333, 444});
    EXPECT_EQ(block.fHostTime, 111u);
    EXPECT_EQ(block.fMicroframe, 222u);
    EXPECT_EQ(block.fStartByteCount, 333u);
    EXPECT_EQ(block.fEndByteCount, 444u);
    EXPECT_EQ(ReadBlockHeader(block), (BlockHeader{111, 222, 333, 444}));
}

TEST_F(RequestRing, PacketLengthsAndPublishedPosition)
{
    ring().block(2).fMicroframe = 640;
    const USBRequestIter it = at(2, 12);
    StorePacketLength(it, Driver::CoreAudio, 41);
    PublishChase(it, Driver::CoreAudio);
    const ChaseRecord& record = ring().block(2).fChase[0];
    const ChasePosition position = ReadChasePosition(record);
    EXPECT_EQ(position.fMicroframe, 652u);
    EXPECT_EQ(position.fHostTime, record.fChaseHostTime);
    EXPECT_EQ(LoadPacketLength(record, 12), 41u);
}

} // namespace
