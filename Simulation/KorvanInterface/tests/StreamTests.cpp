#include "KorvanTestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <numeric>

using namespace KorvanInterface;
using KorvanTests::request;
using KorvanTests::startStreaming;
using RecordFault = KorvanDevice::RecordFault;

namespace {

struct Packet
{
    SimUSB::InPacket packet;
    std::vector<uint8_t> bytes;
};

Packet record(KorvanDevice& device, uint64_t microframe)
{
    std::array<uint8_t, 4096> space{};
    Packet result{device.isochronousIn(Endpoint::kRecord, microframe, space), {}};
    result.bytes.assign(space.begin(), space.begin() + ptrdiff_t(result.packet.length));
    return result;
}

uint32_t headerTotal(const Packet& p)
{
    uint32_t total;
    std::memcpy(&total, p.bytes.data(), 4);
    return total;
}

class FramesPerMicroframeTest : public testing::TestWithParam<uint32_t>
{};

TEST_P(FramesPerMicroframeTest, AddUpToTheRateOverOneSecond)
{
    const uint32_t rate = GetParam();
    KorvanDevice device({Model::Pyx, KorvanTests::kVendor});
    startStreaming(device, rate, true);
    uint64_t total = 0;
    for (uint64_t m = 0; m < 8000; ++m) {
        const Packet p = record(device, m);
        ASSERT_TRUE(p.packet.ready);
        const uint8_t frames = p.bytes[4];
        EXPECT_NE(frames, 0);
        if (rate == 44100) {
            EXPECT_TRUE(frames == 5 || frames == 6) << m;
        } else {
            EXPECT_EQ(frames, rate / 8000);
        }
        total += frames;
    }
    EXPECT_EQ(total, rate);
    EXPECT_TRUE(device.protocolErrors().empty());
}

INSTANTIATE_TEST_SUITE_P(Rates, FramesPerMicroframeTest, testing::Values(44100, 48000, 96000, 192000));

TEST(RecordStream, DriftAddsFramesAtItsRate)
{
    KorvanDevice device({Model::Pyx, KorvanTests::kVendor});
    device.setDriftPpm(100);
    startStreaming(device, 48000, true);
    uint64_t total = 0;
    for (uint64_t m = 0; m < 8000; ++m) {
        total += record(device, m).bytes[4];
    }
    EXPECT_EQ(total, 48004u);
}

TEST(RecordStream, HeaderCarriesTheRunningTotalIncludingThePacketAndWraps)
{
    KorvanDevice device({Model::Pyx, KorvanTests::kVendor});
    device.setFrameCounter(uint32_t(0x100000000ull - 1000));
    startStreaming(device, 48000, true);
    uint64_t expected = 0x100000000ull - 1000;
    for (uint64_t m = 0; m < 400; ++m) {
        const Packet p = record(device, m);
        expected += p.bytes[4];
        EXPECT_EQ(headerTotal(p), uint32_t(expected));
        EXPECT_EQ(p.bytes.size(), 5u + p.bytes[4] * 8u * 4u);
    }
    EXPECT_GT(expected, 0x100000000ull);
}

TEST(RecordStream, HeadersAreAbsentWhenOff)
{
    KorvanDevice device({Model::Pyx, KorvanTests::kVendor});
    startStreaming(device, 48000, false);
    EXPECT_EQ(record(device, 0).bytes.size(), 6u * 8u * 4u);
}

struct SignalCase
{
    Variant variant;
    size_t subslot;
};

class SignalTest : public testing::TestWithParam<SignalCase>
{};

TEST_P(SignalTest, IsContinuousSampleForSample)
{
    KorvanDevice device(variantOptions(Model::Tenor, KorvanTests::kVendor, GetParam().variant));
    startStreaming(device, 44100, false);
    const size_t subslot = GetParam().subslot;
    const size_t channels = 4;
    uint64_t frame = 0;
    for (uint64_t m = 0; m < 2000; ++m) {
        const Packet p = record(device, m);
        ASSERT_EQ(p.bytes.size() % (channels * subslot), 0u);
        for (size_t at = 0; at < p.bytes.size(); at += channels * subslot, ++frame) {
            EXPECT_FALSE(std::all_of(p.bytes.begin() + ptrdiff_t(at),
                                     p.bytes.begin() + ptrdiff_t(std::min(at + 8, p.bytes.size())),
                                     [](uint8_t b) { return b == 0xAA; }));
            for (size_t c = 0; c < channels; ++c) {
                // The subslot holds the top bytes of the 24-bit sample, below it zeros.
                uint32_t word = 0;
                for (size_t b = 0; b < subslot; ++b) {
                    word |= uint32_t(p.bytes[at + c * subslot + b]) << (8 * (4 - subslot + b));
                }
                const uint32_t held = 0xFFFFFF00u & (0xFFFFFFFFu << (8 * (4 - subslot)));
                const uint32_t expected = ((uint32_t(frame) & 0xFFFF) << 8 | uint32_t(c)) << 8;
                ASSERT_EQ(word, expected & held) << "frame " << frame;
            }
        }
    }
    EXPECT_GT(frame, 65536u / 8);
}

INSTANTIATE_TEST_SUITE_P(Layouts, SignalTest,
                         testing::Values(SignalCase{Variant::Standard, 4}, SignalCase{Variant::Subslot3, 3},
                                         SignalCase{Variant::Subslot2, 2}));

struct FaultCase
{
    const char* name;
    RecordFault fault;
};

TEST(RecordStream, DroppedPacketAdvancesTheCounter)
{
    KorvanDevice device({Model::Pyx, KorvanTests::kVendor});
    startStreaming(device, 48000, true);
    device.injectRecordFault({RecordFault::Kind::Drop, 1, 2});
    const uint32_t first = headerTotal(record(device, 0));
    EXPECT_FALSE(record(device, 1).packet.ready);
    EXPECT_FALSE(record(device, 2).packet.ready);
    EXPECT_EQ(headerTotal(record(device, 3)), first + 18);
}

TEST(RecordStream, CounterJumps)
{
    KorvanDevice device({Model::Pyx, KorvanTests::kVendor});
    startStreaming(device, 48000, true);
    device.injectRecordFault({RecordFault::Kind::CounterJump, 1, 1, 1000});
    const uint32_t first = headerTotal(record(device, 0));
    EXPECT_EQ(headerTotal(record(device, 1)), first + 1006);
    EXPECT_EQ(headerTotal(record(device, 2)), first + 1012);
}

TEST(RecordStream, BabbleIsLongerThanTheEndpoint)
{
    KorvanDevice device({Model::Pyx, KorvanTests::kVendor});
    startStreaming(device, 48000, true);
    device.injectRecordFault({RecordFault::Kind::Babble, 0, 1});
    EXPECT_EQ(record(device, 0).bytes.size(), recordMaxPacket(8, 4, Family::Single) + 1u);
}

TEST(RecordStream, FillMaxPacketDrivesOutputPastItsMaxPacket)
{
    // The Wrenlet at 4x records 8 channels and plays 10; with 3072-byte endpoints a full IN packet
    // holds 95 frames, which the driver turns into 3800 output bytes.
    KorvanDevice device(variantOptions(Model::Wrenlet, KorvanTests::kVendor, Variant::MaxPacket3072));
    startStreaming(device, 192000, true);
    device.injectRecordFault({RecordFault::Kind::FillMaxPacket, 0, 1});
    const Packet p = record(device, 0);
    EXPECT_EQ(p.bytes[4], 95);
    EXPECT_EQ(p.bytes.size(), 5u + 95 * 32);
    EXPECT_GT(p.bytes[4] * 10u * 4u, 3072u);
    EXPECT_EQ(record(device, 1).bytes[4], 24);
}

TEST(RecordStream, StopRespondingFailsEveryPacket)
{
    KorvanDevice device({Model::Pyx, KorvanTests::kVendor});
    startStreaming(device, 48000, true);
    device.injectRecordFault({RecordFault::Kind::StopResponding, 0, UINT64_MAX});
    for (uint64_t m = 0; m < 10; ++m) {
        EXPECT_EQ(record(device, m).packet.status, SimUSB::kNotResponding);
    }
}

TEST(RecordStream, NothingAtAlternateZero)
{
    KorvanDevice device({Model::Pyx, KorvanTests::kVendor});
    request(device, {0x00, 9, 1, 0, 0});
    EXPECT_FALSE(record(device, 0).packet.ready);
}

// Playback as the driver builds it: each microframe carries what the record stream delivered 2400
// microframes earlier, in output frames.
void play(KorvanDevice& device, uint64_t microframe, uint32_t frames, uint32_t bytesPerFrame,
          uint32_t firstValue)
{
    std::vector<uint8_t> bytes(frames * bytesPerFrame);
    for (size_t i = 0; i < bytes.size(); i += 4) {
        const uint32_t value = firstValue + uint32_t(i / 4);
        bytes[i] = 0;
        bytes[i + 1] = uint8_t(value);
        bytes[i + 2] = uint8_t(value >> 8);
        bytes[i + 3] = uint8_t(value >> 16);
    }
    device.isochronousOut(Endpoint::kPlayback, microframe, bytes);
}

TEST(PlaybackStream, MirrorCheckAcceptsTheDriversScheduleAndFlagsAnOffByOne)
{
    KorvanDevice device({Model::Tenor, KorvanTests::kVendor});
    startStreaming(device, 44100, true);
    std::vector<uint32_t> frames;
    for (uint64_t m = 0; m < 2602; ++m) {
        frames.push_back(record(device, m).bytes[4]);
    }
    const uint32_t bytesPerFrame = 4 * 4;
    for (uint64_t m = 2400; m < 2600; ++m) {
        play(device, m, frames[m - 2400], bytesPerFrame, 0);
    }
    EXPECT_TRUE(device.mirrorMismatches().empty());
    // One frame too many in one microframe.
    play(device, 2600, frames[200] + 1, bytesPerFrame, 0);
    play(device, 2601, frames[201], bytesPerFrame, 0);
    EXPECT_EQ(device.mirrorMismatches(), std::vector<uint64_t>{2600});
}

TEST(PlaybackStream, SamplesAreDecodedInOrder)
{
    KorvanDevice device({Model::Brio, KorvanTests::kVendor});
    startStreaming(device, 48000, false);
    play(device, 0, 3, 8, 100);
    play(device, 1, 2, 8, 106);
    const std::vector<int32_t> expected{100, 101, 102, 103, 104, 105, 106, 107, 108, 109};
    EXPECT_EQ(device.playedSamples(), expected);
    EXPECT_EQ(device.playbackBytes(), (std::vector<std::pair<uint64_t, uint32_t>>{{0, 24}, {1, 16}}));
}

class PlaybackLayoutTest : public testing::TestWithParam<SignalCase>
{};

TEST_P(PlaybackLayoutTest, DecodesTheTopBytesOfEachSubslot)
{
    KorvanDevice device(variantOptions(Model::Brio, KorvanTests::kVendor, GetParam().variant));
    startStreaming(device, 48000, false);
    const size_t subslot = GetParam().subslot;
    std::vector<uint8_t> bytes;
    std::vector<int32_t> expected;
    for (uint32_t k = 0; k < 12; ++k) {
        const uint32_t word = (0x123456 + k * 0x010101) << 8;
        for (size_t b = 0; b < subslot; ++b) {
            bytes.push_back(uint8_t(word >> (8 * (4 - subslot + b))));
        }
        expected.push_back(int32_t((word & (0xFFFFFFFFu << (8 * (4 - subslot)))) >> 8));
    }
    device.isochronousOut(Endpoint::kPlayback, 0, bytes);
    EXPECT_EQ(device.playedSamples(), expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, PlaybackLayoutTest,
                         testing::Values(SignalCase{Variant::Standard, 4}, SignalCase{Variant::Subslot3, 3},
                                         SignalCase{Variant::Subslot2, 2}));

TEST(PlaybackStream, LoopbackReturnsThePlayedSamplesInOrder)
{
    KorvanDevice device({Model::Tenor, KorvanTests::kVendor});
    device.setLoopback(true);
    startStreaming(device, 48000, true);
    // Nothing played yet: zeros.
    const Packet silent = record(device, 0);
    EXPECT_TRUE(std::all_of(silent.bytes.begin() + 5, silent.bytes.end(), [](uint8_t b) { return b == 0; }));
    play(device, 1, 12, 16, 1);
    std::vector<uint32_t> returned;
    for (uint64_t m = 1; m < 3; ++m) {
        const Packet p = record(device, m);
        for (size_t at = 5; at < p.bytes.size(); at += 4) {
            returned.push_back(p.bytes[at + 1] | p.bytes[at + 2] << 8 | p.bytes[at + 3] << 16);
        }
    }
    std::vector<uint32_t> expected(48);
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(returned, expected);
}

TEST(PlaybackStream, LoopbackNeverPlaysAStalePacketStart)
{
    KorvanDevice device(variantOptions(Model::Brio, KorvanTests::kVendor, Variant::Subslot3));
    device.setLoopback(true);
    startStreaming(device, 48000, false);
    // Two frames of 0xAAAAAA in both channels, in 3-byte subslots.
    std::vector<uint8_t> stale(2 * 2 * 3, 0xAA);
    device.isochronousOut(Endpoint::kPlayback, 0, stale);
    const Packet p = record(device, 1);
    EXPECT_FALSE(std::all_of(p.bytes.begin(), p.bytes.begin() + 8, [](uint8_t b) { return b == 0xAA; }));
    EXPECT_EQ(device.flippedFrames(), 1u);
}

} // namespace
