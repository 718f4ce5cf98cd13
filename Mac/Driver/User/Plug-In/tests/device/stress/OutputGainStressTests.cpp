#include "DeviceFixture.h"

#include <atomic>
#include <thread>
#include <vector>

using namespace DeviceTesting;
using namespace KorvanDeviceIO;

namespace {

// A started device whose output block 0 stays the block the IO cycle writes.
class OutputGainStress : public DeviceFixture
{
protected:
    void SetUp() override
    {
        DeviceFixture::SetUp();
        Activate();
        SubmitFirstOutputBlock();
        ASSERT_EQ(fDevice->StartIO(1), 0);
    }

    void TearDown() override
    {
        EXPECT_EQ(fDevice->StopIO(1), 0);
        DeviceFixture::TearDown();
    }

    // The volume and mute control of output channel 1, from the device's control list: its input
    // controls first, then a volume and a mute per output channel.
    std::pair<AudioObjectID, AudioObjectID> FirstOutputControls() const
    {
        const AudioObjectPropertyAddress list{kAudioObjectPropertyControlList,
                                              kAudioObjectPropertyScopeGlobal,
                                              kAudioObjectPropertyElementMain};
        std::vector<AudioObjectID> ids(fDevice->GetPropertyDataSize(fDeviceID, 0, list, 0, nullptr) /
                                       sizeof(AudioObjectID));
        UInt32 size = 0;
        fDevice->GetPropertyData(fDeviceID, 0, list, 0, nullptr, UInt32(ids.size() * sizeof(AudioObjectID)),
                                 size, ids.data());
        const std::size_t inputs = fDevice->GetInputChannels() + fDevice->GetExtraInputChannels();
        return {ids.at(inputs), ids.at(inputs + 1)};
    }

    template <typename T>
    void Set(AudioObjectID control, AudioObjectPropertySelector selector, T value)
    {
        const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeOutput, 1};
        fDevice->SetPropertyData(control, 0, address, 0, nullptr, sizeof(value), &value);
    }

    // One IO cycle's output of half scale on every channel, at sample time 0.
    void WriteCycle()
    {
        std::vector<float> mix(std::size_t(kFrames) * fDevice->GetOutputChannels(), 0.5f);
        AudioServerPlugInIOCycleInfo cycle{};
        fDevice->DoIOOperation(fDevice->GetOutputStreamID(), kAudioServerPlugInIOOperationWriteMix, kFrames,
                               cycle, mix.data());
    }

    // The sample of `channel` in the first frame of output block 0, as 24 bits at the top of 32.
    SInt32 FirstFrameSample(UInt32 channel)
    {
        const auto* ring = reinterpret_cast<const USBRequestBlock*>(fService.ring(kOutputRingMemoryType));
        const UInt32 bytes = fDevice->GetBusBytesPerSample();
        const UInt8* sample = ring[0].fBuffer + std::size_t(channel) * bytes;
        UInt32 value = 0;
        for (UInt32 byte = 0; byte < bytes; ++byte) {
            value |= UInt32(sample[byte]) << (8 * (byte + 4 - bytes));
        }
        return SInt32(value);
    }

    static constexpr UInt32 kFrames = 64;
};

// The audio server sets the volume and mute of output channel 1 on its own thread while its IO
// thread writes output: every cycle writes at a gain that was set, the other channels keep theirs,
// and the last set reaches the next cycle.
TEST_F(OutputGainStress, VolumeAndMuteSetDuringIO)
{
    const auto [volume, mute] = FirstOutputControls();
    WriteCycle();
    const SInt32 full = FirstFrameSample(0);
    ASSERT_NE(full, 0);

    std::atomic<bool> setting{true};
    std::atomic<int> cycles{0};
    std::atomic<int> foreignSamples{0};
    std::thread io([&] {
        while (setting) {
            WriteCycle();
            const SInt32 first = FirstFrameSample(0);
            foreignSamples += (first != full && first != 0) || FirstFrameSample(1) != full ? 1 : 0;
            ++cycles;
        }
    });
    EXPECT_TRUE(DarwinTesting::eventually([&] { return cycles > 0; }));
    for (int round = 0; round < 200; ++round) {
        Set(volume, kAudioLevelControlPropertyScalarValue, Float32(0));
        Set(volume, kAudioLevelControlPropertyScalarValue, Float32(1));
        Set(mute, kAudioBooleanControlPropertyValue, UInt32(1));
        Set(mute, kAudioBooleanControlPropertyValue, UInt32(0));
    }
    const int during = cycles;
    EXPECT_TRUE(DarwinTesting::eventually([&] { return cycles > during; }));
    setting = false;
    io.join();
    EXPECT_EQ(foreignSamples.load(), 0);

    Set(volume, kAudioLevelControlPropertyScalarValue, Float32(0));
    WriteCycle();
    EXPECT_EQ(FirstFrameSample(0), 0);
    Set(volume, kAudioLevelControlPropertyScalarValue, Float32(1));
    WriteCycle();
    EXPECT_EQ(FirstFrameSample(0), full);
}

} // namespace
