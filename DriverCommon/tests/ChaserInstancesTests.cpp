#include "KorvanChaseRoutinesMac.h"
#include "LogThread.h"
#include "SyntheticRing.h"

#include <gtest/gtest.h>

#include <vector>

using namespace KorvanDeviceIO;

namespace {

constexpr uint32_t kMaxPacket = 100;
constexpr uint32_t kBytesPerFrame = 6;

class ChaserInstances : public SyntheticRingTest
{
protected:
    static USBRequestIter at(uint32_t packet) { return ring().at(0, packet, kMaxPacket); }

    static std::vector<uint8_t> recordBytes(Driver side)
    {
        const auto* bytes = reinterpret_cast<const uint8_t*>(&ring().block(0).fChase[int(side)]);
        return {bytes, bytes + sizeof(ChaseRecord)};
    }

    // A consumed packet 10, two dropped, then three arrived: found, repaired and spread.
    template <Driver D, class Logger>
    static void runScenario(Logger* logger)
    {
        WritePacketHeader(at(10).packet(), {1000, 6});
        WritePacketHeader(at(13).packet(), {1018, 6});
        WritePacketHeader(at(14).packet(), {1024, 6});
        WritePacketHeader(at(15).packet(), {1030, 6});
        USBInputChaser<D, Logger> chaser(kMaxPacket, kBytesPerFrame, true, 2, logger);
        USBRequestIter nextGood;
        int count = 0;
        ASSERT_TRUE(chaser.didIsocInGetDropped(at(11), 9, nextGood, count));
        int64_t chased = 994;
        int64_t droppedFrames = 0;
        ASSERT_TRUE(chaser.handleDroppedIsoc([](const uint8_t*, uint32_t) {}, at(10), nextGood,
                                             unsigned(count), chased, droppedFrames));
        EXPECT_EQ(droppedFrames, 12);
    }
};

TEST_F(ChaserInstances, EachWritesOnlyItsOwnRecord)
{
    // The plug-in's instance, with its real-time logger.
    LogThread log([](const char*) {});
    std::vector<uint8_t> dextBefore = recordBytes(Driver::Dext);
    runScenario<Driver::CoreAudio>(&log);
    EXPECT_EQ(recordBytes(Driver::Dext), dextBefore);
    EXPECT_NE(ring().block(0).fChase[0].fPacketLengths[11], 0u);

    // The driver extension's instance, whose logger drops everything.
    ring().clear();
    NoOpLogThread noLog;
    const std::vector<uint8_t> coreAudioBefore = recordBytes(Driver::CoreAudio);
    runScenario<Driver::Dext>(&noLog);
    EXPECT_EQ(recordBytes(Driver::CoreAudio), coreAudioBefore);
    EXPECT_NE(ring().block(0).fChase[1].fPacketLengths[11], 0u);
}

} // namespace
