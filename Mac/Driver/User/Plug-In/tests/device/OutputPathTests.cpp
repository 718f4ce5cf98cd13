#include "DeviceFixture.h"

#include <DarwinTesting/ManualClock.h>

#include <algorithm>
#include <cmath>

using namespace DeviceTesting;
using namespace KorvanDeviceIO;
using namespace KorvanInterface;
using namespace PlugInTesting;

namespace {

constexpr uint64_t kFramesPerBlock = 960; // 20 ms at 48 kHz
constexpr uint64_t kBlockNanoseconds = 20000000;

class OutputPath : public DeviceFixture
{
protected:
    SA_DeviceUSB& Start(Model model = Model::Wrenlet, Variant variant = Variant::Standard)
    {
        UseModel(model, variant);
        SA_DeviceUSB& device = Activate();
        fStart = mach_absolute_time();
        SubmitBlocks(0, kRequestBlockCount);
        EXPECT_EQ(device.StartIO(1), 0);
        return device;
    }

    USBRequestBlock* Ring()
    {
        return reinterpret_cast<USBRequestBlock*>(fService.ring(kOutputRingMemoryType));
    }
    uint64_t BytesPerFrame() const
    {
        return uint64_t(fDevice->GetBusBytesPerSample()) * fDevice->GetOutputChannels();
    }

    // Blocks [first, first + count) as the driver submits them: 960 frames each, 20 ms apart.
    void SubmitBlocks(uint64_t first, uint64_t count)
    {
        for (uint64_t request = first; request < first + count; ++request) {
            WriteBlockHeader(Ring()[request % kRequestBlockCount],
                             {fStart + request * kBlockNanoseconds, 0,
                              request * kFramesPerBlock * BytesPerFrame(),
                              (request + 1) * kFramesPerBlock * BytesPerFrame()});
        }
    }

    void Write(uint64_t sampleTime, const std::vector<float>& frames)
    {
        const uint32_t channels = fDevice->GetOutputChannels();
        fDevice->WriteOutputData(fDevice->GetOutputStreamID(), uint32_t(frames.size() / channels),
                                 Float64(sampleTime), frames.data(), channels);
    }

    // Output frame value of frame f, channel c: small and exact in 24 bits.
    static float Value(uint64_t frame, uint32_t channel)
    {
        return float((frame % 1000) * 32 + channel) / 65536.0f;
    }

    std::vector<float> Frames(uint64_t first, uint64_t count) const
    {
        const uint32_t channels = fDevice->GetOutputChannels();
        std::vector<float> frames;
        for (uint64_t frame = first; frame < first + count; ++frame) {
            for (uint32_t channel = 0; channel < channels; ++channel) {
                frames.push_back(Value(frame, channel));
            }
        }
        return frames;
    }

    // The 24-bit sample at the top of 32 bits that `value` at full gain becomes.
    static int32_t Converted(float value) { return int32_t(std::nearbyint(value * 2147483392.0f)) & ~0xFF; }

    int32_t SampleInBlock(std::size_t block, uint64_t frameInBlock, uint32_t channel)
    {
        const uint32_t bytes = fDevice->GetBusBytesPerSample();
        const uint8_t* at = Ring()[block].fBuffer + frameInBlock * BytesPerFrame() + channel * bytes;
        uint8_t word[4] = {};
        std::memcpy(word + (4 - bytes), at, bytes);
        int32_t sample;
        std::memcpy(&sample, word, 4);
        return sample;
    }

    void ExpectWritten(std::size_t block, uint64_t frameInBlock, uint64_t frame, uint64_t count)
    {
        for (uint64_t index = 0; index < count; ++index) {
            for (uint32_t channel = 0; channel < 4; ++channel) {
                ASSERT_EQ(SampleInBlock(block, frameInBlock + index, channel),
                          Converted(Value(frame + index, channel)))
                    << "block " << block << " frame " << frameInBlock + index << " channel " << channel;
            }
        }
    }

    DarwinTesting::ManualClock fClock;
    uint64_t fStart = 0;
};

TEST_F(OutputPath, WriteStraddlingABlockEndGoesOnInTheNextBlock)
{
    for (Variant variant : {Variant::Standard, Variant::Subslot3}) {
        SCOPED_TRACE(variant == Variant::Standard ? "4-byte samples" : "3-byte samples");
        Start(Model::Wrenlet, variant);
        Write(900, Frames(900, 100));
        ExpectWritten(0, 900, 900, 60);
        ExpectWritten(1, 0, 960, 40);
        Renew();
    }
}

TEST_F(OutputPath, FullScaleSamples)
{
    SA_DeviceUSB& device = Start();
    const uint32_t channels = device.GetOutputChannels();
    std::vector<float> frames(channels, 0.0f);
    frames[0] = 1.0f;
    frames[1] = -1.0f;
    Write(10, frames);
    EXPECT_EQ(uint32_t(SampleInBlock(0, 10, 0)), 0x7FFFFF00u);
    EXPECT_EQ(uint32_t(SampleInBlock(0, 10, 1)), 0x80000100u);
}

TEST_F(OutputPath, StalledWriterResynchronisesOrDrops)
{
    Start();
    // Block 1 is older than block 0: it has not been submitted again. Blocks 2-19 were, later.
    WriteBlockHeader(Ring()[1], {fStart - kBlockNanoseconds, 0, 0, 0});
    SubmitBlocks(20, 1);
    Write(5 * kFramesPerBlock + 7, Frames(5 * kFramesPerBlock + 7, 10));
    ExpectWritten(5, 7, 5 * kFramesPerBlock + 7, 10);

    // A time no block holds is dropped.
    std::vector<uint8_t> before(Ring()[6].fBuffer,
                                Ring()[6].fBuffer + 2 * kFramesPerBlock * BytesPerFrame() / 2);
    Write(100 * kFramesPerBlock, Frames(0, 10));
    EXPECT_TRUE(std::equal(before.begin(), before.end(), Ring()[6].fBuffer));
}

TEST_F(OutputPath, BlockFrameCountIsBoundedByItsDataArea)
{
    SA_DeviceUSB& device = Start();
    // Block 0 claims far more bytes than it holds.
    WriteBlockHeader(Ring()[0], {fStart, 0, 0, uint64_t(1) << 40});
    device.StopAudio();
    ASSERT_EQ(device.StartAudio(), 0);
    const uint64_t capacity = kRequestDataSizeBytes / BytesPerFrame();
    std::vector<uint8_t> next(reinterpret_cast<uint8_t*>(&Ring()[1]),
                              reinterpret_cast<uint8_t*>(&Ring()[1]) + offsetof(USBRequestBlock, fBuffer));
    Write(capacity - 5, Frames(capacity - 5, 20));
    ExpectWritten(0, capacity - 5, capacity - 5, 5);
    EXPECT_TRUE(std::equal(next.begin(), next.end(), reinterpret_cast<uint8_t*>(&Ring()[1])))
        << "block 1's header is untouched";
}

} // namespace
