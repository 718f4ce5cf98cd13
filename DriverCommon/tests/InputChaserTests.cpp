#include "KorvanChaseRoutinesMac.h"
#include "RecordingLog.h"
#include "SyntheticRing.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <DarwinTesting/ManualClock.h>
#include <mach/mach_time.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace KorvanDeviceIO;
using testing::StartsWith;

namespace {

constexpr uint32_t kMaxPacket = 100;
constexpr uint32_t kBytesPerFrame = 6;

using Chaser = USBInputChaser<Driver::CoreAudio, RecordingLog>;

class InputChaser : public SyntheticRingTest
{
protected:
    // Packets are numbered across the ring: packet p sits in block p / 160 at index p % 160.
    static USBRequestIter at(std::size_t p)
    {
        return ring().at(p / kPacketsPerBlock, uint32_t(p % kPacketsPerBlock), kMaxPacket);
    }
    static std::size_t number(const USBRequestIter& it)
    {
        return it.blockNumber() * kPacketsPerBlock + it.fPacketIndex;
    }

    static ChaseRecord& record(std::size_t p) { return ring().block(p / kPacketsPerBlock).fChase[0]; }
    static uint8_t dropped(std::size_t p) { return record(p).fDropped[p % kPacketsPerBlock]; }
    static uint32_t length(std::size_t p) { return record(p).fPacketLengths[p % kPacketsPerBlock]; }

    static void arrive(std::size_t p, uint32_t total, uint8_t frames)
    {
        WritePacketHeader(at(p).packet(), {total, frames});
    }
    // A packet that arrived and was consumed earlier: stale until the controller writes it again.
    static void consumed(std::size_t p, uint32_t total, uint8_t frames)
    {
        arrive(p, total, frames);
        record(p).fPacketHeaders[p % kPacketsPerBlock] = {total, frames};
    }

    Chaser chaser(uint8_t version = 2, bool headers = true, uint32_t bytesPerFrame = kBytesPerFrame)
    {
        return Chaser(kMaxPacket, bytesPerFrame, headers, version, &fLog);
    }

    static std::vector<uint8_t> recordBytes(std::size_t block, Driver side)
    {
        const auto* bytes = reinterpret_cast<const uint8_t*>(&ring().block(block).fChase[int(side)]);
        return {bytes, bytes + sizeof(ChaseRecord)};
    }

    static std::string requestLine(std::size_t p, long long frames, long long toSchedule, int packetsLeft)
    {
        char line[256];
        std::snprintf(
            line, sizeof line,
            "Request %p index %u: numSampleFrames: %lld (%u bytes), numSampleFramesToSchedule: %lld, "
            "packetsLeft: %d\n",
            static_cast<const void*>(at(p).fBlock), unsigned(p % kPacketsPerBlock), frames,
            unsigned(frames * kBytesPerFrame + 5), toSchedule, packetsLeft);
        return line;
    }

    RecordingLog fLog;
};

TEST_F(InputChaser, FindNextFreshIsocIn)
{
    struct Row
    {
        std::size_t fStart;
        int fCount;
        std::size_t fFresh;
        bool fFound;
        int fDistance;
    };
    const Row rows[] = {
        {10, 5, 13, true, 3},  {10, 3, 13, true, 3},    {10, 2, 13, false, 0},
        {10, 0, 13, false, 0}, {10, -1, 11, false, 0},  {158, 4, 161, true, 3},
        {3199, 1, 0, true, 1}, {3190, 20, 5, true, 15}, {10, 3200, 9, true, 3199},
    };
    for (const Row& row : rows) {
        ring().clear();
        arrive(row.fFresh, 1000, 6);
        USBRequestIter next;
        int distance = -7;
        const bool found = chaser().FindNextFreshIsocIn(at(row.fStart), row.fCount, next, distance);
        EXPECT_EQ(found, row.fFound) << row.fStart << " count " << row.fCount;
        if (row.fFound) {
            EXPECT_EQ(number(next), row.fFresh) << row.fStart;
            EXPECT_EQ(distance, row.fDistance) << row.fStart;
        } else {
            EXPECT_EQ(distance, -7);
        }
    }
    EXPECT_TRUE(fLog.fMessages.empty());
}

TEST_F(InputChaser, CountsOutOfRangeAreRefusedBeforeAnyPacketIsRead)
{
    arrive(11, 1000, 6);
    arrive(12, 1006, 6);
    for (int count : {0, -3, 3200, 5000}) {
        USBRequestIter next;
        int dropped = -7;
        EXPECT_FALSE(chaser(2).didIsocInGetDropped(at(10), count, next, dropped)) << count;
        EXPECT_EQ(dropped, -7);
    }
    EXPECT_EQ(InputChaser::dropped(11), 0);
    EXPECT_TRUE(fLog.fMessages.empty());

    // Version 1 only searches: only a count below 1 is refused.
    USBRequestIter next;
    int distance = 0;
    EXPECT_FALSE(chaser(1).didIsocInGetDropped(at(10), 0, next, distance));
    EXPECT_TRUE(chaser(1).didIsocInGetDropped(at(10), 3200, next, distance));
    EXPECT_EQ(number(next), 11u);
    EXPECT_EQ(distance, 1);
}

TEST_F(InputChaser, VersionOneReturnsTheFreshPacketUnflagged)
{
    consumed(11, 994, 6);
    arrive(12, 1006, 6);
    arrive(13, 1012, 6);
    USBRequestIter next;
    int distance = 0;
    ASSERT_TRUE(chaser(1).didIsocInGetDropped(at(10), 9, next, distance));
    EXPECT_EQ(number(next), 12u);
    EXPECT_EQ(distance, 2);
    for (std::size_t p = 10; p < 15; ++p) {
        EXPECT_EQ(dropped(p), 0) << p;
    }
}

// The first fresh packet ends the stretch, whatever follows it: its frames are the device's next
// ones. The stale packets before it are flagged.
TEST_F(InputChaser, StretchEndsAtTheFirstFreshPacket)
{
    consumed(9, 994, 6);
    consumed(11, 1006, 6);
    // 10 and 11 never arrived; 12 did, and 13 not yet.
    arrive(12, 1012, 6);
    USBRequestIter nextGood;
    int numPacketsDropped = 0;
    ASSERT_TRUE(chaser().didIsocInGetDropped(at(10), 9, nextGood, numPacketsDropped));
    EXPECT_EQ(number(nextGood), 12u);
    EXPECT_EQ(numPacketsDropped, 2);
    const uint8_t flags[] = {0, 1, 1, 0, 0};
    for (std::size_t p = 9; p < 14; ++p) {
        EXPECT_EQ(dropped(p), flags[p - 9]) << p;
    }
}

TEST_F(InputChaser, NoFreshPacketWithinTheCountGivesFalse)
{
    arrive(20, 1000, 6);
    USBRequestIter nextGood;
    int numPacketsDropped = -7;
    EXPECT_FALSE(chaser().didIsocInGetDropped(at(10), 9, nextGood, numPacketsDropped));
    EXPECT_EQ(numPacketsDropped, -7);
    for (std::size_t p = 10; p < 21; ++p) {
        EXPECT_EQ(dropped(p), 0) << p;
    }

    ring().clear();
    EXPECT_FALSE(chaser().didIsocInGetDropped(at(0), 3199, nextGood, numPacketsDropped));
}

// Packet 10 was the last good one and 11 never arrived; 12 is the first after the stretch. It is
// taken only once a packet after it has arrived, and never when 11 turns out to have arrived after
// all.
TEST_F(InputChaser, SettlingWaitsForAPacketAfterTheStretch)
{
    for (uint8_t version : {uint8_t(1), uint8_t(2)}) {
        ring().clear();
        consumed(10, 1000, 6);
        arrive(12, 1012, 6);
        USBRequestIter nextGood;
        int count = 0;
        ASSERT_TRUE(chaser(version).didIsocInGetDropped(at(11), 9, nextGood, count)) << version;
        ASSERT_EQ(number(nextGood), 12u);
        EXPECT_FALSE(chaser(version).SettleDroppedStretch(at(11), 9, nextGood, count)) << version;

        arrive(13, 1018, 6);
        EXPECT_TRUE(chaser(version).SettleDroppedStretch(at(11), 9, nextGood, count)) << version;
        EXPECT_EQ(number(nextGood), 12u);
        EXPECT_EQ(count, 1);

        arrive(11, 1006, 6);
        EXPECT_FALSE(chaser(version).SettleDroppedStretch(at(11), 9, nextGood, count)) << version;
    }
}

// The search passed 12 just before it arrived, and met 13 and 14 already there. Once 15 has come,
// every packet up to it is as it stays, and the second search finds 12.
TEST_F(InputChaser, SettlingFindsAPacketThatArrivedDuringTheSearch)
{
    for (uint8_t version : {uint8_t(1), uint8_t(2)}) {
        ring().clear();
        consumed(10, 1000, 6);
        arrive(13, 1018, 6);
        arrive(14, 1024, 6);
        USBRequestIter nextGood;
        int count = 0;
        ASSERT_TRUE(chaser(version).didIsocInGetDropped(at(11), 9, nextGood, count)) << version;
        EXPECT_EQ(number(nextGood), 13u) << version;
        EXPECT_EQ(count, 2) << version;

        arrive(12, 1012, 6);
        arrive(15, 1030, 6);
        ASSERT_TRUE(chaser(version).SettleDroppedStretch(at(11), 9, nextGood, count)) << version;
        EXPECT_EQ(number(nextGood), 12u) << version;
        EXPECT_EQ(count, 1) << version;
    }
}

TEST_F(InputChaser, SpreadsFramesOverTheDroppedPackets)
{
    struct Row
    {
        long long fTotal;
        int fPackets;
        std::vector<long long> fFrames;
    };
    for (const Row& row : {Row{7, 3, {2, 2, 3}}, Row{6, 4, {1, 1, 2, 2}}, Row{18, 3, {6, 6, 6}}}) {
        ring().clear();
        fLog.fMessages.clear();
        chaser().setTransferLengthsForDroppedInputPackets(at(20), row.fPackets, row.fTotal);

        std::vector<std::string> expected = {
            "setTransferLengthsForDroppedInputPackets - totalNumSampleFrames = " +
                std::to_string(row.fTotal) + "\n",
            "setTransferLengthsForDroppedInputPackets - nominalSampleFramesPerPacket = " +
                std::to_string(row.fTotal / row.fPackets) + "\n"};
        long long toSchedule = row.fTotal;
        for (int i = 0; i < row.fPackets; ++i) {
            toSchedule -= row.fFrames[std::size_t(i)];
            EXPECT_EQ(length(21 + std::size_t(i)), row.fFrames[std::size_t(i)] * kBytesPerFrame + 5) << i;
            expected.push_back(
                requestLine(21 + std::size_t(i), row.fFrames[std::size_t(i)], toSchedule, row.fPackets - i));
        }
        EXPECT_EQ(fLog.fMessages, expected) << row.fTotal << " over " << row.fPackets;
        EXPECT_EQ(length(20), 0u);
        EXPECT_EQ(length(21 + std::size_t(row.fPackets)), 0u);
    }
}

TEST_F(InputChaser, SpreadingRecordsFlaggedPacketsAsConsumed)
{
    DarwinTesting::ManualClock clock;
    ring().block(0).fMicroframe = 800;
    arrive(22, 1012, 6);
    record(22).fDropped[22] = 1;
    chaser().setTransferLengthsForDroppedInputPackets(at(20), 3, 18);
    EXPECT_EQ(dropped(22), 0);
    EXPECT_EQ(record(22).fPacketHeaders[22], (IsocPacketHeader{1012, 6}));
    EXPECT_EQ(record(0).fChaseMicroframe, 823u);
    EXPECT_EQ(record(0).fChaseHostTime, mach_absolute_time());

    ring().clear();
    std::memset(at(42).packet(), 0x33, kMaxPacket);
    record(42).fDropped[42] = 1;
    chaser(2, false).setTransferLengthsForDroppedInputPackets(at(40), 3, 18);
    EXPECT_EQ(dropped(42), 0);
    EXPECT_EQ(at(42).packet()[kMaxPacket - 1], 0xAA);
    EXPECT_EQ(length(42), 6u * kBytesPerFrame + 5);
}

TEST_F(InputChaser, SpreadingWithNothingToSpreadWritesNothing)
{
    struct Row
    {
        uint32_t fBytesPerFrame;
        int fPackets;
    };
    for (const Row& row : {Row{0, 3}, Row{kBytesPerFrame, 0}, Row{kBytesPerFrame, -2}}) {
        fLog.fMessages.clear();
        const auto before = recordBytes(0, Driver::CoreAudio);
        chaser(2, true, row.fBytesPerFrame).setTransferLengthsForDroppedInputPackets(at(20), row.fPackets, 7);
        EXPECT_EQ(recordBytes(0, Driver::CoreAudio), before);
        ASSERT_EQ(fLog.fMessages.size(), 2u) << row.fPackets;
        EXPECT_EQ(fLog.fMessages[0], "setTransferLengthsForDroppedInputPackets - totalNumSampleFrames = 7\n");
        EXPECT_THAT(fLog.fMessages[1],
                    StartsWith("ASSERTION FAILURE: fInBytesPerSampleFrame and totalNumSampleFrames "
                               "> 0 and numPacketsDropped > 0 (void KorvanDeviceIO::USBInputChaser"));
    }
}

// Neither a negative total nor a stretch longer than the ring is spread: nothing sends one, and the
// loop runs on a real-time thread.
TEST_F(InputChaser, ImpossibleSpreadsWriteNothing)
{
    struct Row
    {
        int fPackets;
        int64_t fTotal;
    };
    for (const Row& row : {Row{3, -7}, Row{int(kPacketsPerRing) + 1, 7000}}) {
        fLog.fMessages.clear();
        chaser().setTransferLengthsForDroppedInputPackets(at(20), row.fPackets, row.fTotal);
        for (std::size_t block = 0; block < kRequestBlockCount; ++block) {
            EXPECT_EQ(recordBytes(block, Driver::CoreAudio), std::vector<uint8_t>(sizeof(ChaseRecord), 0))
                << block;
        }
        EXPECT_EQ(fLog.fMessages.size(), row.fTotal < 0 ? 2u : 1u) << row.fPackets;
    }
}

TEST_F(InputChaser, PacketsWithoutFramesAreAsserted)
{
    chaser().setTransferLengthsForDroppedInputPackets(at(20), 3, 1);
    EXPECT_EQ(length(21), 5u);
    EXPECT_EQ(length(22), 5u);
    EXPECT_EQ(length(23), kBytesPerFrame + 5);
    const auto assertions =
        std::count_if(fLog.fMessages.begin(), fLog.fMessages.end(), [](const std::string& m) {
            return m.rfind("ASSERTION FAILURE: numSampleFrames > 0 (void KorvanDeviceIO::USBInputChaser",
                           0) == 0;
        });
    EXPECT_EQ(assertions, 2);
}

// A dropped stretch as the plug-in's chase meets it: packet 10 was the last good one, 11 and 12
// never arrived, 13 and 14 did, and 15 after them, so 14's header is whole. 18 frames went missing
// over packets 11 to 13.
class DroppedStretch : public InputChaser
{
protected:
    void SetUp() override
    {
        InputChaser::SetUp();
        ring().block(0).fMicroframe = 1600;
        std::memset(at(10).packet(), 0x7E, kMaxPacket);
    }

    void stretch(IsocPacketHeader lastGood, IsocPacketHeader f, IsocPacketHeader nextGood)
    {
        arrive(10, lastGood.totalNumSampleFramesSent, lastGood.numSampleFramesThisPacket);
        arrive(13, f.totalNumSampleFramesSent, f.numSampleFramesThisPacket);
        arrive(14, nextGood.totalNumSampleFramesSent, nextGood.numSampleFramesThisPacket);
        arrive(15, nextGood.totalNumSampleFramesSent + 6, 6);
    }

    bool repair(unsigned numPacketsDropped = 3)
    {
        return chaser().handleDroppedIsoc(
            [this](const uint8_t* samples, uint32_t bytes) {
                fCopies.emplace_back(samples, samples + bytes);
            },
            at(10), at(14), numPacketsDropped, fChased, fDroppedFrames);
    }

    std::vector<std::vector<uint8_t>> fCopies;
    int64_t fChased = 994;
    int64_t fDroppedFrames = -1;
};

TEST_F(DroppedStretch, RepairCopiesTheLastGoodPacketOnceAndSpreadsTheRest)
{
    DarwinTesting::ManualClock clock;
    stretch({1000, 6}, {1018, 6}, {1024, 6});
    record(13).fDropped[13] = 1;
    ASSERT_TRUE(repair());

    ASSERT_EQ(fCopies.size(), 1u);
    EXPECT_EQ(fCopies[0], std::vector<uint8_t>(6 * kBytesPerFrame, 0x7E));
    EXPECT_EQ(fChased, 1000);
    EXPECT_EQ(fDroppedFrames, 18);
    EXPECT_EQ(length(10), 6 * kBytesPerFrame + 5);
    EXPECT_EQ(record(10).fPacketHeaders[10], (IsocPacketHeader{1000, 6}));
    for (std::size_t p : {11, 12, 13}) {
        EXPECT_EQ(length(p), 6 * kBytesPerFrame + 5) << p;
    }
    EXPECT_EQ(dropped(13), 0);
    EXPECT_EQ(record(13).fPacketHeaders[13], (IsocPacketHeader{1018, 6}));
    EXPECT_EQ(length(14), 0u) << "the next good packet is left to the chase";
    EXPECT_EQ(record(0).fChaseMicroframe, 1613u);
    EXPECT_EQ(record(0).fChaseHostTime, mach_absolute_time());
    EXPECT_EQ(fLog.fMessages.size(), 5u);
}

// The newest packet may still be being written: its header could be half old, half new.
TEST_F(DroppedStretch, NextGoodIsTakenOnlyOnceALaterPacketHasArrived)
{
    stretch({1000, 6}, {1018, 6}, {1024, 6});
    consumed(15, 1030, 6);
    const auto before = recordBytes(0, Driver::CoreAudio);
    EXPECT_FALSE(repair());
    EXPECT_TRUE(fCopies.empty());
    EXPECT_EQ(fChased, 994);
    EXPECT_EQ(recordBytes(0, Driver::CoreAudio), before);

    arrive(40, 1180, 6);
    ASSERT_TRUE(repair());
    EXPECT_EQ(fDroppedFrames, 18);
}

TEST_F(DroppedStretch, WrappedCounterGivesTheRightCount)
{
    stretch({4294967290u, 6}, {12, 6}, {18, 6});
    fChased = 4294967284;
    ASSERT_TRUE(repair());
    EXPECT_EQ(fDroppedFrames, 18);
    EXPECT_EQ(fChased, 4294967290);
    ASSERT_FALSE(fLog.fMessages.empty());
    EXPECT_EQ(fLog.fMessages[0], "running sample count wrapped!\n");
}

// A repair that fails changes nothing, so that trying again at the next pass is harmless.
TEST_F(DroppedStretch, FailedRepairsChangeNothing)
{
    struct Row
    {
        const char* fCase;
        int64_t fChased;
        IsocPacketHeader fLastGood;
        IsocPacketHeader fNextGood;
        std::vector<std::string> fMessagePrefixes;
    };
    const Row rows[] = {
        {"negative samples after the drop",
         0,
         {2, 2},
         {3, 6},
         {"!! Chase isoc - invalid state detected: prev_uFrameHeader: (2, 2), next_uFrameHeader: (3, 6), num "
          "samples before drop: 2, num samples after drop: -3\n"}},
        {"bound exceeded",
         994,
         {1000, 6},
         {1066, 6},
         {"ASSERTION FAILURE: (sampleFramesDropped * fInBytesPerSampleFrame) <= num_uFramesDropped * "
          "fMaxPacketSize (bool KorvanDeviceIO::USBInputChaser",
          "!! Calculation error: sampleFramesDropped: 60 num_uFramesDropped: 3, samples before drop: 1000, "
          "samples "
          "after drop: 1060, headers: (1000, 6)->(1066, 6)\n"}},
        {"nothing dropped",
         994,
         {1000, 6},
         {1006, 6},
         {"ASSERTION FAILURE: sampleFramesDropped > 0 (bool KorvanDeviceIO::USBInputChaser",
          "!! Calculation error: sampleFramesDropped: 0 num_uFramesDropped: 3"}},
    };
    for (const Row& row : rows) {
        ring().clear();
        stretch(row.fLastGood, {0, 0}, row.fNextGood);
        const auto before = recordBytes(0, Driver::CoreAudio);
        fChased = row.fChased;
        for (int attempt = 0; attempt < 2; ++attempt) {
            fLog.fMessages.clear();
            EXPECT_FALSE(repair()) << row.fCase;
            EXPECT_TRUE(fCopies.empty()) << row.fCase;
            EXPECT_EQ(fChased, row.fChased) << row.fCase;
            EXPECT_EQ(fDroppedFrames, -1) << row.fCase;
            EXPECT_EQ(recordBytes(0, Driver::CoreAudio), before) << row.fCase;
            ASSERT_EQ(fLog.fMessages.size(), row.fMessagePrefixes.size()) << row.fCase;
            for (std::size_t i = 0; i < row.fMessagePrefixes.size(); ++i) {
                EXPECT_THAT(fLog.fMessages[i], StartsWith(row.fMessagePrefixes[i])) << row.fCase;
            }
        }
    }
}

TEST_F(DroppedStretch, OversizedHeaderIsCapped)
{
    stretch({1000, 20}, {1030, 6}, {1036, 6});
    fChased = 980;
    ASSERT_TRUE(repair());
    ASSERT_EQ(fCopies.size(), 1u);
    EXPECT_EQ(fCopies[0].size(), kMaxPacket - 5);
    EXPECT_EQ(length(10), kMaxPacket);
    EXPECT_EQ(fLog.fMessages[0], "Error - isoc in packet header invalid: (1000, 20) max packet size: 100\n");
}

TEST_F(DroppedStretch, CounterMismatchIsPosted)
{
    stretch({1000, 6}, {1018, 6}, {1024, 6});
    fChased = 990;
    ASSERT_TRUE(repair());
    EXPECT_EQ(fLog.fMessages[0], "!!! fInSampleFramesChased: 990, packet header: (1000, 6)\n");
    EXPECT_EQ(fChased, 1000);
}

TEST_F(DroppedStretch, WithoutHeadersNothingIsRepaired)
{
    stretch({1000, 6}, {1018, 6}, {1024, 6});
    int64_t chased = 994;
    int64_t droppedFrames = -1;
    bool copied = false;
    EXPECT_FALSE(chaser(2, false).handleDroppedIsoc([&](const uint8_t*, uint32_t) { copied = true; }, at(10),
                                                    at(14), 3, chased, droppedFrames));
    USBRequestIter noRing;
    EXPECT_FALSE(chaser().handleDroppedIsoc([&](const uint8_t*, uint32_t) { copied = true; }, at(10), noRing,
                                            3, chased, droppedFrames));
    EXPECT_FALSE(copied);
    EXPECT_EQ(chased, 994);
    EXPECT_TRUE(fLog.fMessages.empty());
}

// The max packet size comes from the device. One that would put packets beyond their block, or
// that cannot hold a header, is not used to touch the ring.
TEST_F(InputChaser, UnusablePacketSizesTouchNothing)
{
    for (uint32_t maxPacket : {0u, 4u, 3590u, 70000u}) {
        Chaser bad(maxPacket, kBytesPerFrame, true, 2, &fLog);
        const USBRequestIter start = ring().at(19, 150, maxPacket);
        USBRequestIter next;
        int n = 0;
        int64_t chased = 0;
        int64_t droppedFrames = 0;
        EXPECT_FALSE(bad.FindNextFreshIsocIn(start, 20, next, n));
        EXPECT_FALSE(bad.didIsocInGetDropped(start, 20, next, n));
        EXPECT_FALSE(bad.handleDroppedIsoc([](const uint8_t*, uint32_t) {}, start, start.next(), 1, chased,
                                           droppedFrames));
    }
    Chaser mismatched(kMaxPacket, kBytesPerFrame, true, 2, &fLog);
    USBRequestIter next;
    int n = 0;
    arrive(11, 1000, 6);
    EXPECT_FALSE(mismatched.FindNextFreshIsocIn(ring().at(0, 10, kMaxPacket + 1), 5, next, n));
}

} // namespace
