#include "SampleConversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

float Power2(int exponent)
{
    return std::ldexp(1.0f, exponent);
}

TEST(SampleConversion, DeviceSamplesBecomeFloatsAtTheSignExtremes)
{
    const struct
    {
        std::vector<uint8_t> bytes;
        float value;
    } cases[] = {
        {{0xFF, 0xFF, 0x7F}, 1.0f - Power2(-23)}, {{0x00, 0x00, 0x80}, -1.0f},
        {{0x01, 0x00, 0x00}, Power2(-23)},        {{0xFF, 0xFF, 0xFF}, -Power2(-23)},
        {{0xFF, 0xFF, 0xFF, 0x7F}, 1.0f},         {{0x00, 0x00, 0x00, 0x80}, -1.0f},
        {{0x00, 0x01, 0x00, 0x00}, Power2(-23)},  {{0x00, 0xFF, 0xFF, 0xFF}, -Power2(-23)},
    };
    for (const auto& testCase : cases) {
        const uint32_t bytesPerSample = uint32_t(testCase.bytes.size());
        std::vector<uint8_t> frame;
        for (int channel = 0; channel < 2; ++channel) {
            frame.insert(frame.end(), testCase.bytes.begin(), testCase.bytes.end());
        }
        std::vector<float> chase(8 + 16, -9.0f);
        float* write = chase.data();
        uint64_t copied = 0;
        ASSERT_TRUE(CopyUframeIntoChaseBuffer(chase.data(), chase.data() + 8, write, frame.data(),
                                              uint32_t(frame.size()), 2 * bytesPerSample, 2, copied));
        EXPECT_EQ(chase[0], testCase.value) << bytesPerSample << " bytes";
        EXPECT_EQ(chase[1], testCase.value) << bytesPerSample << " bytes";
        EXPECT_EQ(chase[2], -9.0f);
        EXPECT_EQ(copied, 1u);
    }
}

// Frame f, channel c of the test packets carries the 24-bit value f * 16 + c + 1.
std::vector<uint8_t> Packet(uint32_t frames, uint32_t channels, uint32_t bytesPerSample)
{
    std::vector<uint8_t> bytes;
    for (uint32_t frame = 0; frame < frames; ++frame) {
        for (uint32_t channel = 0; channel < channels; ++channel) {
            const uint32_t value = (frame * 16 + channel + 1) << 8;
            for (uint32_t byte = 4 - bytesPerSample; byte < 4; ++byte) {
                bytes.push_back(uint8_t(value >> (8 * byte)));
            }
        }
    }
    return bytes;
}

float Expected(uint32_t frame, uint32_t channel)
{
    return float((frame * 16 + channel + 1) << 8) * Power2(-31);
}

TEST(SampleConversion, PacketFillsConsecutiveFramesAndWrapsAtTheChaseEnd)
{
    constexpr uint32_t kChannels = 2;
    constexpr uint32_t kPeriodFrames = 8;
    const struct
    {
        uint32_t startFrame;
        uint32_t bytesPerSample;
    } cases[] = {{0, 3}, {0, 4}, {5, 3}, {5, 4}, {2, 4}};
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.startFrame);
        std::vector<float> chase(kPeriodFrames * kChannels + 64, -9.0f);
        float* const start = chase.data();
        const float* const end = start + kPeriodFrames * kChannels;
        float* write = start + testCase.startFrame * kChannels;
        uint64_t copied = 10;
        const auto packet = Packet(6, kChannels, testCase.bytesPerSample);
        ASSERT_TRUE(CopyUframeIntoChaseBuffer(start, end, write, packet.data(), uint32_t(packet.size()),
                                              kChannels * testCase.bytesPerSample, kChannels, copied));
        EXPECT_EQ(copied, 16u);
        const uint32_t endFrame = (testCase.startFrame + 6) % kPeriodFrames;
        EXPECT_EQ(write, start + endFrame * kChannels);
        for (uint32_t frame = 0; frame < 6; ++frame) {
            const uint32_t at = (testCase.startFrame + frame) % kPeriodFrames;
            for (uint32_t channel = 0; channel < kChannels; ++channel) {
                EXPECT_EQ(chase[at * kChannels + channel], Expected(frame, channel))
                    << frame << " " << channel;
            }
        }
        if (testCase.startFrame + 6 <= kPeriodFrames) {
            EXPECT_EQ(chase[(testCase.startFrame + 6) % kPeriodFrames * kChannels], -9.0f);
        }
    }
}

TEST(SampleConversion, ConvertsEveryEvenChannelCountAndNoOther)
{
    for (uint32_t channels = 0; channels <= 34; ++channels) {
        const bool convertible = channels >= 2 && channels % 2 == 0 && channels <= 32;
        EXPECT_EQ(IsConvertibleChannelCount(channels), convertible) << channels;
        if (channels == 0) {
            continue;
        }
        const auto packet = Packet(3, channels, 4);
        std::vector<float> chase(3 * 34 + 4096, -9.0f);
        float* write = chase.data();
        uint64_t copied = 0;
        EXPECT_EQ(CopyUframeIntoChaseBuffer(chase.data(), chase.data() + 3 * 34, write, packet.data(),
                                            uint32_t(packet.size()), 4 * channels, channels, copied),
                  convertible);
        if (convertible) {
            EXPECT_EQ(chase[2 * channels + channels - 1], Expected(2, channels - 1)) << channels;
            EXPECT_EQ(copied, 3u);
        } else {
            EXPECT_EQ(write, chase.data());
            EXPECT_EQ(chase[0], -9.0f);
        }

        std::vector<float> source(3 * channels, 0.5f);
        std::vector<float> scale(34, 1.0f);
        std::vector<int32_t> out(3 * 34, 7);
        const float* after = WriteSamples(out.data(), source.data(), 3, channels, scale.data());
        EXPECT_EQ(after, source.data() + (convertible ? 3 * channels : 0)) << channels;
        EXPECT_EQ(out[0], convertible ? 0 : 7);
    }
}

TEST(SampleConversion, OutputClampsTo24BitsAtTheTopOf32)
{
    const float scale[2] = {Power2(31), Power2(31)};
    const struct
    {
        float value;
        uint32_t sample;
    } cases[] = {{1.0f, 0x7FFFFF00}, {-1.0f, 0x80000100}, {2.0f, 0x7FFFFF00},     {-7.0f, 0x80000100},
                 {0.0f, 0},          {NAN, 0x7FFFFF00},   {INFINITY, 0x7FFFFF00}, {-INFINITY, 0x80000100}};
    for (const auto& testCase : cases) {
        const float source[2] = {testCase.value, testCase.value};
        int32_t out[2] = {};
        WriteSamples(out, source, 1, 2, scale);
        EXPECT_EQ(uint32_t(out[0]), testCase.sample) << testCase.value;
        EXPECT_EQ(uint32_t(out[1]), testCase.sample) << testCase.value;
    }
}

// Channels in whole groups of four are rounded, the pair left over truncated: 511.6 rounds to 512
// and truncates to 511, whose top 24 bits are 256.
TEST(SampleConversion, RoundsGroupsOfFourAndTruncatesTheRest)
{
    for (uint32_t channels : {2u, 4u, 6u, 8u, 10u, 22u, 30u, 32u}) {
        const std::vector<float> source(2 * channels, 511.6f);
        const std::vector<float> scale(channels, 1.0f);
        std::vector<int32_t> out(2 * channels);
        WriteSamples(out.data(), source.data(), 2, channels, scale.data());
        for (uint32_t index = 0; index < 2 * channels; ++index) {
            const bool rounded = index % channels < channels / 4 * 4;
            EXPECT_EQ(out[index], rounded ? 512 : 256) << channels << " channels, sample " << index;
        }
    }
}

TEST(SampleConversion, ScalesEachChannel)
{
    const float source[4] = {0.5f, 0.5f, 0.5f, 0.5f};
    const float scale[4] = {0.0f, Power2(31), Power2(30), -Power2(30)};
    int32_t out[4];
    WriteSamples(out, source, 1, 4, scale);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 0x40000000);
    EXPECT_EQ(out[2], 0x20000000);
    EXPECT_EQ(out[3], -0x20000000);
}

TEST(SampleConversion, PacksTheUpperThreeBytes)
{
    // Four samples packed together, and two after them one by one.
    const int32_t samples[] = {0x7FFFFF00, int32_t(0x80000100), 0x12345600,
                               -256,       0x00ABCD00,          int32_t(0xFEDCBA00)};
    uint8_t packed[19];
    packed[18] = 0xEE;
    PackSamples3(packed, samples, 6);
    const uint8_t expected[] = {0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x80, 0x56, 0x34, 0x12, 0xFF,
                                0xFF, 0xFF, 0xCD, 0xAB, 0x00, 0xBA, 0xDC, 0xFE, 0xEE};
    EXPECT_EQ(std::vector<uint8_t>(packed, packed + 19), std::vector<uint8_t>(expected, expected + 19));
}

} // namespace
