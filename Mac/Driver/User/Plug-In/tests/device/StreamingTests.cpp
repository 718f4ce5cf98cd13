#include "DeviceFixture.h"
#include "IORunner.h"
#include "SA_PlugInInterface.h"
#include "ScriptedInput.h"

#include <DarwinTesting/LogCapture.h>

#include <cmath>
#include <mutex>

using namespace DeviceTesting;
using namespace KorvanDeviceIO;
using namespace KorvanInterface;
using namespace PlugInTesting;

namespace {

constexpr UInt32 kBufferFrames = 512;
constexpr auto kRunTime = std::chrono::seconds(3);

struct Config
{
    const char* name;
    Model model;
    Variant variant;
    std::optional<uint8_t> headers;
    uint32_t rate;
};

// The device on the scripted driver streaming on the real clock, with the audio server's IO
// cycles; every input buffer is kept.
class Streaming : public DeviceFixture, public testing::WithParamInterface<Config>
{
protected:
    void Run()
    {
        const Config& config = GetParam();
        UseModel(config.model, config.variant);
        fService.setStreamingHeadersVersion(config.headers);
        fService.setCurValue(Entity::kClockSource, 1, RateBytes(config.rate));
        SA_DeviceUSB& device = Activate();
        StreamFormat format;
        format.fInputStride = device.GetInIsocInfo().fFamily[0].fMaxPacket;
        format.fBytesPerSample = device.GetBusBytesPerSample();
        format.fRate = config.rate;
        format.fHeaders = config.headers == 1 || config.headers == 2;
        fService.setStreaming(format);

        fChannels = device.GetInputChannels() + device.GetExtraInputChannels();
        IOConfiguration io{fDeviceID,
                           1,
                           kBufferFrames,
                           Float64(config.rate),
                           16,
                           16,
                           {{device.GetInputStreamID(), true, 4 * fChannels},
                            {device.GetOutputStreamID(), false, 4 * device.GetOutputChannels()}}};
        IORunner runner(SA_DriverRef(), io, [this](const AudioServerPlugInIOCycleInfo& cycle,
                                                     const std::vector<IOBuffer>& inputs, std::vector<IOBuffer>&) {
            std::lock_guard<std::mutex> lock(fMutex);
            fCycles.push_back({cycle.mInputTime.mSampleTime, inputs.at(0).fBytes});
        });
        ASSERT_EQ(runner.Start(), 0);
        const auto until = std::chrono::steady_clock::now() + kRunTime;
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        runner.Stop();
    }

    struct Cycle
    {
        Float64 fInputTime;
        std::vector<UInt8> fBytes;
    };

    DarwinTesting::LogCapture fCapture;
    std::mutex fMutex;
    std::vector<Cycle> fCycles;
    uint32_t fChannels = 0;
};

// The device frame a sample of the scripted signal carries, modulo 2^16.
uint32_t FrameOf(float sample)
{
    const auto value = int64_t(std::llround(double(sample) * 2147483648.0));
    return uint32_t(value >> 16) & 0xFFFF;
}

TEST_P(Streaming, InputFollowsTheDeviceAtOneOffset)
{
    Run();
    for (const std::string& text : fCapture.texts(DarwinLog::Source::OSLog)) {
        EXPECT_EQ(text.find("ASSERTION FAILURE"), std::string::npos) << text;
        EXPECT_EQ(text.find("!!!"), std::string::npos) << text;
    }
    std::lock_guard<std::mutex> lock(fMutex);
    ASSERT_GT(fCycles.size(), 100u);
    const uint32_t period = fDevice->GetZeroTimeSamplePeriod();
    std::optional<uint32_t> offset;
    uint64_t checked = 0;
    for (const Cycle& cycle : fCycles) {
        if (cycle.fInputTime < period) {
            continue;
        }
        const auto* samples = reinterpret_cast<const float*>(cycle.fBytes.data());
        for (UInt32 frame = 0; frame < kBufferFrames; ++frame) {
            const uint32_t time = uint32_t(int64_t(cycle.fInputTime) + frame) & 0xFFFF;
            const uint32_t carried = FrameOf(samples[frame * fChannels]);
            if (!offset) {
                offset = (carried - time) & 0xFFFF;
            }
            ASSERT_EQ((time + *offset) & 0xFFFF, carried) << "input time " << cycle.fInputTime << " frame " << frame;
            ASSERT_EQ(samples[frame * fChannels + 1],
                      ScriptedInput::Expected(carried, 1))
                << "channel 1";
            ++checked;
        }
    }
    EXPECT_GT(checked, 10000u);
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, Streaming,
    testing::Values(Config{"HeadersV2", Model::Wrenlet, Variant::Standard, uint8_t(2), 48000},
                    Config{"HeadersV1", Model::Wrenlet, Variant::Standard, uint8_t(1), 48000},
                    Config{"HeadersOff", Model::Wrenlet, Variant::Standard, std::nullopt, 48000},
                    Config{"Subslot3", Model::Wrenlet, Variant::Subslot3, uint8_t(2), 48000},
                    Config{"Rate44100", Model::Wrenlet, Variant::Standard, uint8_t(2), 44100},
                    Config{"Brio", Model::Brio, Variant::Standard, uint8_t(2), 48000}),
    [](const testing::TestParamInfo<Config>& info) { return std::string(info.param.name); });

} // namespace
